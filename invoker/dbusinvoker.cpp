#include "invoker/dbusinvoker.h"

#include <QDBusError>
#include <QDebug>

namespace {
const QString propertyReadName = QStringLiteral("dbusPropertyInvoker");

QDBusMessage invalidArgs(const QString &text)
{
    return QDBusMessage::createError(QDBusError::InvalidArgs, text);
}
} // namespace

DBusInvoker::DBusInvoker(const QString &serviceName, const QString &objectPath,
                         const QString &interfaceName, int bus, QObject *parent)
    : QObject(parent), service(serviceName), path(objectPath), interface(interfaceName),
      busType(bus),
      // Our convention runs the other way from Qt's BusType: 0 is the system bus here.
      connection(bus == 0 ? QDBusConnection::systemBus() : QDBusConnection::sessionBus())
{
}

QDBusMessage DBusInvoker::invoke(const QString &name, const QList<QVariant> &args,
                                 QDBus::CallMode mode)
{
    if (name.isEmpty())
        return invalidArgs(QStringLiteral("name.isEmpty"));

    QDBusMessage call;
    if (name == propertyReadName) {
        if (args.isEmpty())
            return invalidArgs(QStringLiteral("property not exist"));
        call = QDBusMessage::createMethodCall(service, path,
                                              QStringLiteral("org.freedesktop.DBus.Properties"),
                                              QStringLiteral("Get"));
        call.setArguments({interface, args.first().toString()});
    } else {
        call = QDBusMessage::createMethodCall(service, path, interface, name);
        call.setArguments(args);
    }
    return connection.call(call, mode, -1);
}

bool DBusInvoker::emitSignal(const QString &name, const QList<QVariant> &args)
{
    if (name.isEmpty())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
    signal.setArguments(args);
    return connection.send(signal);
}

bool DBusInvoker::connectSignal(const QString &name, QObject *receiver, const char *slot)
{
    const bool connected = connection.connect(service, path, interface, name, receiver, slot);
    if (!connected)
        qWarning() << "signal connect failed : " << name << "for reason ["
                   << connection.lastError().message() << "]";
    return connected;
}
