#include "invoker/settingsreply.h"

#include <QDBusArgument>
#include <QDBusVariant>

namespace snx::settingsreply {

namespace {
bool hasValue(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
}
} // namespace

QVariant variantOf(const QDBusMessage &reply)
{
    if (!hasValue(reply))
        return {};
    const QVariant first = reply.arguments().first();
    if (first.userType() != qMetaTypeId<QDBusVariant>())
        return {};
    return first.value<QDBusVariant>().variant();
}

QStringList stringListOf(const QDBusMessage &reply)
{
    if (!hasValue(reply))
        return {};
    const QVariant first = reply.arguments().first();
    if (first.userType() == QMetaType::QStringList)
        return first.toStringList();
    // An empty "as" can arrive as a QDBusArgument when the signature is not known up front.
    if (first.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument arg = first.value<QDBusArgument>();
        if (arg.currentSignature() == QLatin1String("as"))
            return qdbus_cast<QStringList>(arg);
    }
    return {};
}

bool boolOf(const QDBusMessage &reply)
{
    if (!hasValue(reply))
        return false;
    const QVariant first = reply.arguments().first();
    return first.userType() == QMetaType::Bool && first.toBool();
}

} // namespace snx::settingsreply
