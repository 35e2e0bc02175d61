#include "cache/filedigest.h"

#include <QCryptographicHash>
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

} // namespace

bool digestAndCopy(int from, int to, FileDigest *digest)
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    QCryptographicHash sha256(QCryptographicHash::Sha256);
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
        md5.addData(block.constData(), int(got));
        sha256.addData(block.constData(), int(got));
        if (to >= 0 && !writeAll(to, block.constData(), got))
            return false;
        offset += got;
    }
    digest->md5 = QString::fromLatin1(md5.result().toHex());
    digest->sha256 = QString::fromLatin1(sha256.result().toHex());
    return true;
}

} // namespace snx
