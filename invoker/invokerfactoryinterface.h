#pragma once

#include <QByteArray>
#include <QString>

class QObject;
class DBusInvokerInterface;
class SettingsInvokerInterface;

class InvokerFactoryInterface
{
public:
    // busType 0 is the system bus, anything else the session bus.
    virtual DBusInvokerInterface *createDBusInvoker(const QString &service, const QString &path,
                                                    const QString &interface, int busType,
                                                    QObject *parent) = 0;
    virtual SettingsInvokerInterface *
    createSettingsInvoker(const QByteArray &schemaId, const QByteArray &path, QObject *parent) = 0;
    virtual ~InvokerFactoryInterface() = default;
};
