#pragma once

#include "invoker/settingsinvokerinterface.h"

#include <QByteArray>
#include <QObject>

class QGSettings;

class VelmarSentinexSettingsInvoker : public QObject, public SettingsInvokerInterface
{
    Q_OBJECT
public:
    VelmarSentinexSettingsInvoker(const QByteArray &schemaId, const QByteArray &path,
                                  QObject *parent = nullptr);

    QVariant get(const QString &key) override;
    void set(const QString &key, const QVariant &value) override;
    void reset(const QString &key) override;

private:
    // Owned by the parent given to the constructor, or by this invoker when there is none.
    QGSettings *settings = nullptr;
};
