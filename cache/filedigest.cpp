#include "cache/filedigest.h"

// The one-shot digest calls keep no state outside their context. EVP, their successor, keeps a
// per-thread error state in the database thread that a sanitizer saw outlive it; these are as
// fast and need no provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <QByteArray>
#include <QVector>
#include <algorithm>
#include <cerrno>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace snx {
namespace {

bool writeAllAt(int fd, const char *data, ssize_t size, off_t offset)
{
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size_t(size), offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
        offset += written;
    }
    return true;
}

QString hexOf(const unsigned char *value, int size)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(value), size).toHex());
}

} // namespace

// NOLINTNEXTLINE(readability-function-cognitive-complexity): holes, data and the file's end
bool digestAndCopy(int from, int to, FileDigest *digest, qint64 maxBytes)
{
    MD5_CTX md5;
    SHA256_CTX sha256;
    MD5_Init(&md5);
    SHA256_Init(&sha256);
    QVector<char> block(1 << 20);
    QVector<char> zeros;
    off_t offset = 0;
    // A hole reads as zeros: it is digested as such, never read, and left a hole in the copy,
    // so that a sparse file of a few KiB in data takes no more than that in root's quarantine.
    // File systems that cannot tell holes (EINVAL) are read and written through.
    bool sparse = true;
    // Finding holes moves the file offset, which is put back on every way out.
    struct OffsetKeeper
    {
        int fd;
        off_t saved;
        ~OffsetKeeper()
        {
            const int error = errno;
            if (saved >= 0)
                ::lseek(fd, saved, SEEK_SET);
            errno = error;
        }
    } keeper{from, ::lseek(from, 0, SEEK_CUR)};
    bool atEnd = false;
    while (!atEnd) {
        off_t dataEnd = std::numeric_limits<off_t>::max();
        if (sparse) {
            off_t data = ::lseek(from, offset, SEEK_DATA);
            if (data < 0 && errno == EINVAL) {
                sparse = false;
            } else if (data < 0 && errno != ENXIO) {
                return false;
            } else {
                if (data < 0) {
                    // No data from here on: what is left up to the size is one hole.
                    struct stat st;
                    if (::fstat(from, &st) != 0)
                        return false;
                    data = std::max(offset, st.st_size);
                }
                if (maxBytes >= 0 && data > maxBytes) {
                    errno = EFBIG;
                    return false;
                }
                if (data > offset && zeros.isEmpty())
                    zeros.fill('\0', block.size());
                while (offset < data) {
                    const off_t length = std::min<off_t>(data - offset, zeros.size());
                    MD5_Update(&md5, zeros.constData(), size_t(length));
                    SHA256_Update(&sha256, zeros.constData(), size_t(length));
                    offset += length;
                }
                dataEnd = ::lseek(from, offset, SEEK_HOLE);
                if (dataEnd < 0 && errno != ENXIO)
                    return false;
                if (dataEnd <= offset)
                    break; // at the end, or past it once the file shrank
            }
        }
        while (offset < dataEnd) {
            const ssize_t got =
                ::pread(from, block.data(), size_t(std::min<off_t>(block.size(), dataEnd - offset)),
                        offset);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return false;
            if (got == 0) {
                atEnd = true;
                break;
            }
            if (maxBytes >= 0 && offset + got > maxBytes) {
                errno = EFBIG;
                return false;
            }
            MD5_Update(&md5, block.constData(), size_t(got));
            SHA256_Update(&sha256, block.constData(), size_t(got));
            if (to >= 0 && !writeAllAt(to, block.constData(), got, offset))
                return false;
            offset += got;
        }
    }
    // A hole at the end is written as the size alone.
    if (to >= 0 && sparse && ::ftruncate(to, offset) != 0)
        return false;
    unsigned char md5Value[MD5_DIGEST_LENGTH];
    unsigned char sha256Value[SHA256_DIGEST_LENGTH];
    MD5_Final(md5Value, &md5);
    SHA256_Final(sha256Value, &sha256);
    digest->md5 = hexOf(md5Value, MD5_DIGEST_LENGTH);
    digest->sha256 = hexOf(sha256Value, SHA256_DIGEST_LENGTH);
    return true;
}

} // namespace snx
