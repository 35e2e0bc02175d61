#pragma once

#include "invoker/dbusinvokerinterface.h"

#include <QDBusConnection>
#include <QObject>

class DBusInvoker : public QObject, public DBusInvokerInterface
{
    Q_OBJECT
public:
    DBusInvoker(const QString &serviceName, const QString &objectPath, const QString &interfaceName,
                int bus, QObject *parent = nullptr);

    QDBusMessage invoke(const QString &name, const QList<QVariant> &args = {},
                        QDBus::CallMode mode = QDBus::Block) override;
    bool emitSignal(const QString &name, const QList<QVariant> &args = {}) override;
    bool connectSignal(const QString &name, QObject *receiver, const char *slot) override;

private:
    const QString service;
    const QString path;
    const QString interface;
    const int busType;
    QDBusConnection connection;
};
