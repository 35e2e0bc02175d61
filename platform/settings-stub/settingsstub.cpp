#include "settingsstub.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>
#include <cstdio>

SettingsStub::SettingsStub(Options stubOptions, QObject *parent)
    : QObject(parent), options(std::move(stubOptions))
{
}

bool SettingsStub::answerSpecially(const QVariant &normalAnswer)
{
    if (!options.wrongTypes && options.replyDelayMs == 0)
        return false;
    setDelayedReply(true);
    const QDBusMessage reply = message().createReply(
        options.wrongTypes ? QVariant(QStringLiteral("not what you asked for")) : normalAnswer);
    QDBusConnection bus = connection();
    QTimer::singleShot(options.replyDelayMs, this, [bus, reply]() mutable { bus.send(reply); });
    return true;
}

QStringList SettingsStub::QueryScanWhiteList()
{
    answerSpecially(options.whiteList);
    return options.whiteList;
}

QDBusVariant SettingsStub::GetSysSettingValue(const QString &key)
{
    QDBusVariant value(options.values.contains(key) ? QVariant(options.values.value(key))
                                                    : QVariant(0));
    answerSpecially(QVariant::fromValue(value));
    return value;
}

bool SettingsStub::SetSysSettingValue(const QString &key, const QDBusVariant &value)
{
    options.values[key] = value.variant().toInt();
    std::printf("set %s %d\n", qPrintable(key), options.values[key]);
    std::fflush(stdout);
    emit SysSettingValueChanged(key, value);
    answerSpecially(true);
    return true;
}
