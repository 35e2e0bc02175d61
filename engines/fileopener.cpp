#include "engines/fileopener.h"

#include "core/fsidentity.h"
#include "engines/enginetext.h"
#include "engines/filewalk.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace snx {
namespace {

// Without openat2 (kernels before 5.6, or a filter that refuses it), one component at a time.
int openEachComponent(int dir, const QByteArray &relative, int flags)
{
    const QList<QByteArray> components = relative.split('/');
    int at = dir;
    for (int i = 0; i < components.size(); ++i) {
        const QByteArray &component = components.at(i);
        const bool last = i == components.size() - 1;
        const int next =
            component.isEmpty() || component == "." || component == ".."
                ? -1
                : ::openat(at, component.constData(),
                           last ? flags : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (at != dir)
            ::close(at);
        if (next < 0)
            return -1;
        at = next;
    }
    return at;
}

// The walk lists names, so the part below the requested directory is names and slashes alone.
// openat2 would resolve ".", ".." and "//" where they stay beneath; the walk one component at a
// time refuses them, and both must answer alike.
bool onlyNames(const QByteArray &relative)
{
    const QList<QByteArray> components = relative.split('/');
    return std::none_of(components.cbegin(), components.cend(),
                        [](const QByteArray &c) { return c.isEmpty() || c == "." || c == ".."; });
}

int openBeneath(int dir, const QByteArray &relative, int flags, FileOpener::Resolution how)
{
    if (!onlyNames(relative)) {
        errno = EINVAL;
        return -1;
    }
    if (how == FileOpener::Resolution::EachComponent)
        return openEachComponent(dir, relative, flags);
    struct open_how beneath = {};
    beneath.flags = std::uint64_t(flags);
    beneath.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const int fd = int(::syscall(SYS_openat2, dir, relative.constData(), &beneath, sizeof beneath));
    if (fd < 0 && (errno == ENOSYS || errno == EPERM))
        return openEachComponent(dir, relative, flags);
    return fd;
}

} // namespace

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
