#include "cache/safepath.h"

#include <QFile>
#include <sys/stat.h>

namespace snx::safepath {
namespace {

// A link on the way that someone else owns could point the operation anywhere.
QString refusalOfDirectories(const QByteArray &path)
{
    int slash = path.indexOf('/', 1);
    while (slash > 0) {
        const QByteArray prefix = path.left(slash);
        struct stat st;
        if (::lstat(prefix.constData(), &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid != 0)
            return QStringLiteral("a directory on the way is a link owned by another user:");
        slash = path.indexOf('/', slash + 1);
    }
    return QString();
}

} // namespace

QString refusalToMove(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    const QString directories = refusalOfDirectories(native);
    if (!directories.isEmpty())
        return directories;
    struct stat st;
    if (::lstat(native.constData(), &st) != 0)
        return QStringLiteral("no file at");
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("the path is a symbolic link:");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("not a regular file:");
    return QString();
}

QString refusalToCreate(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    const QString directories = refusalOfDirectories(native);
    if (!directories.isEmpty())
        return directories;
    struct stat st;
    if (::lstat(native.constData(), &st) == 0)
        return QStringLiteral("something already stands at");
    return QString();
}

} // namespace snx::safepath
