#include "service/progresssignal.h"

#include <QVariant>

namespace snx {

ProgressSignal::ProgressSignal(const QDBusConnection &connection, const QString &objectPath,
                               const QString &interface)
    : connection(connection), objectPath(objectPath), interface(interface)
{
}

void ProgressSignal::send(const QString &path, double process, int type, const QString &vname)
{
    QDBusMessage message =
        QDBusMessage::createSignal(objectPath, interface, QStringLiteral("SendDissectionProgInfo"));
    message.setArguments({path, process, type, vname});
    connection.send(message);
}

} // namespace snx
