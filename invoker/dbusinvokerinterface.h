#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QString>
#include <QVariant>

class QObject;

// A handle on one interface of one remote object. Failures come back as error messages, never
// as exceptions or log lines, so each caller decides what a failure means to it.
class DBusInvokerInterface
{
public:
    virtual QDBusMessage invoke(const QString &name, const QList<QVariant> &args = {},
                                QDBus::CallMode mode = QDBus::Block) = 0;
    virtual bool emitSignal(const QString &name, const QList<QVariant> &args = {}) = 0;
    virtual bool connectSignal(const QString &name, QObject *receiver, const char *slot) = 0;
    virtual ~DBusInvokerInterface() = default;
};
