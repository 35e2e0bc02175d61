#include "engines/fileopener.h"

#include "core/fsidentity.h"
#include "core/pathopen.h"
#include "engines/enginetext.h"
#include "engines/filewalk.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace snx {
FileOpener::FileOpener(CallerIdentity owner, QSet<QString> requested, int sizeLimit)
    : caller(std::move(owner)), requestedPaths(std::move(requested)), fileSizeLimit(sizeLimit)
{
}

int FileOpener::openBelowRequested(const QString &path, const QByteArray &nativePath,
                                   int flags) const
{
    // The walk listed the file under the longest requested directory that holds it.
    for (int slash = path.lastIndexOf(QLatin1Char('/')); slash >= 0;
         slash = slash > 0 ? path.lastIndexOf(QLatin1Char('/'), slash - 1) : -1) {
        const QString top = slash == 0 ? QStringLiteral("/") : path.left(slash);
        if (!requestedPaths.contains(top))
            continue;
        const QByteArray nativeTop = enginetext::nativePath(top);
        const int skip = slash == 0 ? 1 : nativeTop.size() + 1;
        if (!nativePath.startsWith(nativeTop) || nativePath.size() <= skip)
            return -1;
        // The requested directory itself may be reached through links, as the walk reached it.
        const int dir = openRequestedPath(nativeTop.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0)
            return -1;
        const int fd = openBeneath(dir, nativePath.mid(skip), flags | O_NOFOLLOW, resolution);
        ::close(dir);
        return fd;
    }
    return -1;
}

int FileOpener::open(const QString &path, const QByteArray &nativePath) const
{
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = -1;
    {
        FsIdentityScope scope(caller);
        if (scope.active())
            fd = requestedPaths.contains(path) ? openRequestedPath(nativePath.constData(), flags)
                                               : openBelowRequested(path, nativePath, flags);
    }
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                    !sizeAdmitted(st.st_size, fileSizeLimit))) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

} // namespace snx
