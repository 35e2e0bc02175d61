#pragma once

#include <QString>
#include <QVariant>

class SettingsInvokerInterface
{
public:
    virtual QVariant get(const QString &key) = 0;
    virtual void set(const QString &key, const QVariant &value) = 0;
    virtual void reset(const QString &key) = 0;
    virtual ~SettingsInvokerInterface() = default;
};
