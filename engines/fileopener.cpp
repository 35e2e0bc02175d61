#include "engines/fileopener.h"

#include "core/fsidentity.h"
#include "engines/filewalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace snx {

FileOpener::FileOpener(CallerIdentity owner, QSet<QString> requested, int sizeLimit)
    : caller(std::move(owner)), requestedPaths(std::move(requested)), fileSizeLimit(sizeLimit)
{
}

int FileOpener::open(const QString &path, const QByteArray &nativePath) const
{
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                      (requestedPaths.contains(path) ? 0 : O_NOFOLLOW);
    int fd = -1;
    {
        FsIdentityScope scope(caller);
        if (scope.active())
            fd = ::open(nativePath.constData(), flags);
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
