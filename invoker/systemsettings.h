#pragma once

#include <QDBusVariant>
#include <QObject>
#include <QVariant>

class DBusInvokerInterface;

namespace snx {

// Typed access to the settings daemon's values, and its change signal as a Qt signal.
class SystemSettings : public QObject
{
    Q_OBJECT
public:
    explicit SystemSettings(QObject *parent = nullptr);

    QVariant getValue(const QString &key);
    bool setValue(const QString &key, const QVariant &value);

signals:
    void valueChanged(QString key, QVariant value);

public slots:
    void onValueChanged(QString key, QDBusVariant value);

private:
    DBusInvokerInterface *invoker = nullptr;
};

} // namespace snx
