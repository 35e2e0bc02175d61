#include "invoker/velmarsentinexsettingsinvoker.h"

#include <QGSettings>

VelmarSentinexSettingsInvoker::VelmarSentinexSettingsInvoker(const QByteArray &schemaId,
                                                             const QByteArray &path,
                                                             QObject *parent)
    : QObject(parent)
{
    // GLib aborts the process on an unknown schema; check first and stay without settings.
    if (QGSettings::isSchemaInstalled(schemaId))
        settings = new QGSettings(schemaId, path, parent ? parent : this);
}

QVariant VelmarSentinexSettingsInvoker::get(const QString &key)
{
    return settings ? settings->get(key) : QVariant();
}

void VelmarSentinexSettingsInvoker::set(const QString &key, const QVariant &value)
{
    if (settings)
        settings->set(key, value);
}

void VelmarSentinexSettingsInvoker::reset(const QString &key)
{
    if (settings)
        settings->reset(key);
}
