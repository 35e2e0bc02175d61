#include "invoker/invokerfactory.h"

#include "invoker/dbusinvoker.h"
#include "invoker/velmarsentinexsettingsinvoker.h"

InvokerFactoryInterface *InvokerFactory::instance()
{
    static InvokerFactory factory;
    return &factory;
}

DBusInvokerInterface *InvokerFactory::createDBusInvoker(const QString &service, const QString &path,
                                                        const QString &interface, int busType,
                                                        QObject *parent)
{
    return new DBusInvoker(service, path, interface, busType, parent);
}

SettingsInvokerInterface *InvokerFactory::createSettingsInvoker(const QByteArray &schemaId,
                                                                const QByteArray &path,
                                                                QObject *parent)
{
    return new VelmarSentinexSettingsInvoker(schemaId, path, parent);
}
