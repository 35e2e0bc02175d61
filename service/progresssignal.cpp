#include "service/progresssignal.h"

#include <QVariant>

namespace snx {

ProgressSignal::ProgressSignal(const QDBusConnection &bus, const QString &path,
                               const QString &interfaceName)
    : connection(bus), objectPath(path), interface(interfaceName)
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
