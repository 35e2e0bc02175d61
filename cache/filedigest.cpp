#include "cache/filedigest.h"

// The one-shot digest calls keep no state outside their context. EVP, their successor, keeps a
// per-thread error state in the database thread that a sanitizer saw outlive it; these are as
// fast and need no provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <QByteArray>
#include <QVector>
#include <cerrno>
#include <unistd.h>

namespace snx {
namespace {

bool writeAll(int fd, const char *data, ssize_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

QString hexOf(const unsigned char *value, int size)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(value), size).toHex());
}

} // namespace

bool digestAndCopy(int from, int to, FileDigest *digest, qint64 maxBytes)
{
    MD5_CTX md5;
    SHA256_CTX sha256;
    MD5_Init(&md5);
    SHA256_Init(&sha256);
    QVector<char> block(1 << 20);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(from, block.data(), size_t(block.size()), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (maxBytes >= 0 && offset + got > maxBytes) {
            errno = EFBIG;
            return false;
        }
        MD5_Update(&md5, block.constData(), size_t(got));
        SHA256_Update(&sha256, block.constData(), size_t(got));
        if (to >= 0 && !writeAll(to, block.constData(), got))
            return false;
        offset += got;
    }
    unsigned char md5Value[MD5_DIGEST_LENGTH];
    unsigned char sha256Value[SHA256_DIGEST_LENGTH];
    MD5_Final(md5Value, &md5);
    SHA256_Final(sha256Value, &sha256);
    digest->md5 = hexOf(md5Value, MD5_DIGEST_LENGTH);
    digest->sha256 = hexOf(sha256Value, SHA256_DIGEST_LENGTH);
    return true;
}

} // namespace snx
