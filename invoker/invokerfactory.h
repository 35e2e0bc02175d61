#pragma once

#include "invoker/invokerfactoryinterface.h"

#include <QObject>

class InvokerFactory : public QObject, public InvokerFactoryInterface
{
    Q_OBJECT
public:
    // The one process-wide factory, created on first use.
    static InvokerFactoryInterface *instance();

    DBusInvokerInterface *createDBusInvoker(const QString &service, const QString &path,
                                            const QString &interface, int busType,
                                            QObject *parent) override;
    SettingsInvokerInterface *createSettingsInvoker(const QByteArray &schemaId,
                                                    const QByteArray &path,
                                                    QObject *parent) override;

private:
    InvokerFactory() = default;
};
