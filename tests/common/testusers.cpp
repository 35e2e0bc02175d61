#include "testusers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TestUser lookUp(const QString &name)
{
    TestUser user;
    const struct passwd *entry = ::getpwnam(name.toLocal8Bit().constData());
    if (!entry)
        return user;
    user.name = name;
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    return user;
}

} // namespace

TestUser ensureTestUser(const QString &name)
{
    TestUser user = lookUp(name);
    if (user.valid() || ::geteuid() != 0)
        return user;
    QProcess::execute(QStringLiteral("useradd"),
                      {QStringLiteral("--system"), QStringLiteral("--user-group"),
                       QStringLiteral("--no-create-home"), QStringLiteral("--shell"),
                       QStringLiteral("/usr/sbin/nologin"), name});
    return lookUp(name);
}

QStringList commandAsUser(const TestUser &user, const QString &program,
                          const QStringList &arguments)
{
    return QStringList{QStringLiteral("setpriv"),
                       QStringLiteral("--reuid=%1").arg(user.uid),
                       QStringLiteral("--regid=%1").arg(user.gid),
                       QStringLiteral("--init-groups"),
                       QStringLiteral("--"),
                       program} +
           arguments;
}

QString makeSharedDir(const QString &parent, const QString &name, const TestUser &owner, int mode)
{
    const QString path = QDir(parent).filePath(name);
    QDir().mkpath(path);
    const QByteArray native = QFile::encodeName(path);
    if (::chown(native.constData(), owner.uid, owner.valid() ? owner.gid : 0) != 0 ||
        ::chmod(native.constData(), static_cast<mode_t>(mode)) != 0)
        return QString();
    return path;
}
