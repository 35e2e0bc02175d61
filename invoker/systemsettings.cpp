#include "invoker/systemsettings.h"

#include "invoker/dbusinvokerinterface.h"
#include "invoker/invokerfactory.h"
#include "invoker/settingsdaemon.h"
#include "invoker/settingsreply.h"

namespace snx {

SystemSettings::SystemSettings(QObject *parent) : QObject(parent)
{
    invoker = InvokerFactory::instance()->createDBusInvoker(
        settingsdaemon::service, settingsdaemon::path, settingsdaemon::interface,
        settingsdaemon::busType, this);
    invoker->connectSignal(settingsdaemon::sysSettingValueChanged, this,
                           SLOT(onValueChanged(QString, QDBusVariant)));
}

QVariant SystemSettings::getValue(const QString &key)
{
    return settingsreply::variantOf(
        invoker->invoke(settingsdaemon::getSysSettingValue, {key}, settingsdaemon::readMode));
}

bool SystemSettings::setValue(const QString &key, const QVariant &value)
{
    const QDBusMessage reply =
        invoker->invoke(settingsdaemon::setSysSettingValue,
                        {key, QVariant::fromValue(QDBusVariant(value))}, QDBus::Block);
    return settingsreply::boolOf(reply);
}

void SystemSettings::onValueChanged(QString key, QDBusVariant value)
{
    emit valueChanged(key, value.variant());
}

} // namespace snx
