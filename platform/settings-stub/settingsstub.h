#pragma once

#include <QDBusContext>
#include <QDBusVariant>
#include <QMap>
#include <QObject>
#include <QStringList>

// The least settings daemon the scanner can talk to: values in memory, set from the command
// line, every write answered true and announced. It can also answer late or with wrong types,
// to show how the scanner copes with a daemon that misbehaves.
class SettingsStub : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.velmar.sentinex.MonitorNetFlow")
public:
    struct Options
    {
        QStringList whiteList;
        QMap<QString, int> values;
        int replyDelayMs = 0;
        bool wrongTypes = false;
    };
    explicit SettingsStub(Options stubOptions, QObject *parent = nullptr);

public slots:
    QStringList QueryScanWhiteList();
    QDBusVariant GetSysSettingValue(const QString &key);
    bool SetSysSettingValue(const QString &key, const QDBusVariant &value);

signals:
    void SysSettingValueChanged(const QString &key, const QDBusVariant &value);

private:
    // Answers late or wrongly when asked to; returns true when the reply is taken care of.
    bool answerSpecially(const QVariant &normalAnswer);

    Options options;
};
