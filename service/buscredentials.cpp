#include "service/buscredentials.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QVariantMap>
#include <grp.h>
#include <pwd.h>
#include <vector>

namespace snx {
namespace {

// Groups of the caller when the bus does not list them: those of its account.
QVector<gid_t> accountGroups(uid_t uid)
{
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    int count = 64;
    QVector<gid_t> groups(count);
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(count);
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
            return {};
    }
    groups.resize(count);
    return groups;
}

gid_t primaryGroup(uid_t uid)
{
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return static_cast<gid_t>(-1);
    return found->pw_gid;
}

// "nogroup": a file-system group that grants nothing of its own.
constexpr gid_t noGroup = 65534;

} // namespace

CallerIdentity busCallerIdentity(const QDBusConnection &bus, const QString &sender)
{
    CallerIdentity identity;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionCredentials"));
    call << sender;
    const QDBusMessage reply = bus.call(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return identity;
    const QVariantMap credentials =
        qdbus_cast<QVariantMap>(reply.arguments().constFirst().value<QDBusArgument>());
    const QVariant uid = credentials.value(QStringLiteral("UnixUserID"));
    const QVariant pid = credentials.value(QStringLiteral("ProcessID"));
    if (!uid.isValid() || !pid.isValid())
        return identity;
    identity.uid = uid.toUInt();
    identity.pid = pid.toUInt();

    const QVariant groups = credentials.value(QStringLiteral("UnixGroupIDs"));
    if (groups.isValid()) {
        for (uint gid : qdbus_cast<QList<uint>>(groups.value<QDBusArgument>()))
            identity.groups.append(gid);
    } else {
        identity.groups = accountGroups(identity.uid);
    }
    // The bus names no primary group. Take the account's if the caller still holds it, else
    // one it holds, else one that grants nothing: never a group the caller does not have.
    const gid_t primary = primaryGroup(identity.uid);
    if (identity.groups.contains(primary))
        identity.gid = primary;
    else
        identity.gid = identity.groups.isEmpty() ? noGroup : identity.groups.constFirst();
    identity.known = true;
    return identity;
}

} // namespace snx
