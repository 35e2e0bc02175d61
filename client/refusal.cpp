#include "refusal.h"

#include <QFile>
#include <pwd.h>
#include <unistd.h>

namespace {

QString userName(uid_t uid)
{
    struct passwd entry, *user = nullptr;
    char names[1024];
    getpwuid_r(uid, &entry, names, sizeof names, &user);
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(uid);
}

QString reasonFor(const QDBusError &error)
{
    const QString text = error.message();
    if (error.type() == QDBusError::AccessDenied)
        return QStringLiteral("the system bus policy does not let this user make this call; "
                              "members of the group velmar-sentinex and root may");
    if (error.type() != QDBusError::Failed)
        return QString();
    if (text.contains(QLatin1String("is not allowed to transfer sentinex inter")))
        return QStringLiteral(
            "this program is not one the service lets steer it: only the "
            "suite's programs and the installed /usr/bin/velmar-sentinex-cli are");
    // The caller check's text for a foreign namespace or foreign libraries.
    if (text.startsWith(QLatin1String("Illegal calls")))
        return QStringLiteral("the service takes no call from another mount namespace (a "
                              "container or sandbox) or from a process with libraries from "
                              "outside /usr/lib and /opt/velmar-sentinex-vdbup (LD_PRELOAD, "
                              "LD_LIBRARY_PATH, a build tree)");
    return QString();
}

} // namespace

QJsonObject refusalDetail(const QDBusError &error)
{
    const QString reason = reasonFor(error);
    if (reason.isEmpty())
        return {};
    const uid_t uid = getuid();
    return {{"user", userName(uid)},
            {"uid", int(uid)},
            {"program", QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))},
            {"reason", reason}};
}
