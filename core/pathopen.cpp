#include "core/pathopen.h"

#include <QList>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace snx {
namespace {

// Without openat2 (kernels before 5.6, or a filter that refuses it), one component at a time.
int openEachComponent(int dir, const QList<QByteArray> &components, int flags)
{
    int at = dir;
    for (int i = 0; i < components.size(); ++i) {
        const bool last = i == components.size() - 1;
        const int next = ::openat(at, components.at(i).constData(),
                                  last ? flags : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (at != dir)
            ::close(at);
        if (next < 0)
            return -1;
        at = next;
    }
    return at;
}

} // namespace

int openRequestedPath(const char *path, int flags)
{
    struct open_how how = {};
    how.flags = std::uint64_t(flags);
    how.resolve = RESOLVE_NO_MAGICLINKS;
    const int fd = int(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
    // Kernels before 5.6, or a filter that refuses the call, leave only the plain open.
    if (fd < 0 && (errno == ENOSYS || errno == EPERM))
        return ::open(path, flags);
    return fd;
}

bool statRequestedPath(const char *path, struct stat &st)
{
    const int fd = openRequestedPath(path, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool statted = ::fstat(fd, &st) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return statted;
}

int openBeneath(int dir, const QByteArray &relative, int flags, BeneathResolution how)
{
    // What is opened here was listed by a walk, so it is names and slashes alone. openat2 would
    // resolve ".", ".." and "//" where they stay beneath; the walk one component at a time
    // refuses them, and both must answer alike.
    const QList<QByteArray> components = relative.split('/');
    if (std::any_of(components.cbegin(), components.cend(),
                    [](const QByteArray &c) { return c.isEmpty() || c == "." || c == ".."; })) {
        errno = EINVAL;
        return -1;
    }
    if (how == BeneathResolution::EachComponent)
        return openEachComponent(dir, components, flags | O_NOFOLLOW);
    struct open_how beneath = {};
    beneath.flags = std::uint64_t(flags);
    beneath.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const int fd = int(::syscall(SYS_openat2, dir, relative.constData(), &beneath, sizeof beneath));
    if (fd < 0 && (errno == ENOSYS || errno == EPERM))
        return openEachComponent(dir, components, flags | O_NOFOLLOW);
    return fd;
}

} // namespace snx
