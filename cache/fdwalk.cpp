#include "cache/fdwalk.h"

#include <QList>
#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace snx::fdwalk {

UniqueFd openParent(const QByteArray &path, QByteArray *leaf)
{
    if (!path.startsWith('/')) {
        errno = EINVAL;
        return UniqueFd();
    }
    QList<QByteArray> parts = path.split('/');
    parts.removeAll(QByteArray());
    for (const QByteArray &part : parts) {
        if (part == "." || part == "..") {
            errno = EINVAL;
            return UniqueFd();
        }
    }
    if (parts.isEmpty() || path.endsWith('/')) {
        errno = EINVAL;
        return UniqueFd();
    }
    *leaf = parts.takeLast();
    UniqueFd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const QByteArray &part : qAsConst(parts)) {
        if (!dir.valid())
            break;
        dir = UniqueFd(
            ::openat(dir.get(), part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return dir;
}

bool stillNames(int dir, const QByteArray &leaf, const struct stat &st)
{
    struct stat now;
    return ::fstatat(dir, leaf.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

QString refusalToMoveAway(uid_t caller, int dir, const struct stat &dirSt,
                          const struct stat &fileSt)
{
    // faccessat2 with AT_EACCESS asks with the file-system identity the thread acts with; the
    // glibc wrapper would fall back to the effective uid on older kernels, so call it raw.
    if (::syscall(SYS_faccessat2, dir, "", W_OK | X_OK, AT_EMPTY_PATH | AT_EACCESS) != 0)
        return failure("no right to move it out of its directory", errno);
    const bool sticky = (dirSt.st_mode & S_ISVTX) != 0;
    if (caller != 0 && sticky && fileSt.st_uid != caller && dirSt.st_uid != caller)
        return QStringLiteral("a sticky directory, and the caller owns neither it nor the file:");
    return QString();
}

QString failure(const char *what, int error)
{
    return QStringLiteral("%1 (%2):").arg(QLatin1String(what), qt_error_string(error));
}

} // namespace snx::fdwalk
