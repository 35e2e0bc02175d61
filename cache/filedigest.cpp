#include "cache/filedigest.h"

#include <QByteArray>
#include <QVector>
#include <cerrno>
#include <memory>
#include <openssl/evp.h>
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

using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

Context contextFor(const EVP_MD *type)
{
    Context context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (context && EVP_DigestInit_ex(context.get(), type, nullptr) != 1)
        context.reset();
    return context;
}

QString hexOf(EVP_MD_CTX *context)
{
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context, value, &size) != 1)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(value), int(size)).toHex());
}

} // namespace

bool digestAndCopy(int from, int to, FileDigest *digest)
{
    const Context md5 = contextFor(EVP_md5());
    const Context sha256 = contextFor(EVP_sha256());
    if (!md5 || !sha256) {
        errno = ENOMEM;
        return false;
    }
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
        if (EVP_DigestUpdate(md5.get(), block.constData(), size_t(got)) != 1 ||
            EVP_DigestUpdate(sha256.get(), block.constData(), size_t(got)) != 1) {
            errno = EIO;
            return false;
        }
        if (to >= 0 && !writeAll(to, block.constData(), got))
            return false;
        offset += got;
    }
    digest->md5 = hexOf(md5.get());
    digest->sha256 = hexOf(sha256.get());
    return !digest->md5.isEmpty() && !digest->sha256.isEmpty();
}

} // namespace snx
