#pragma once

#include <QDBusMessage>
#include <QList>
#include <QObject>

// Every signal of the scanner as a listener on the bus receives it, in order.
class SignalLog : public QObject
{
    Q_OBJECT
public:
    SignalLog();

    QList<QDBusMessage> all() const { return messages; }
    QList<QDBusMessage> named(const QString &member) const;
    int count(const QString &member) const { return named(member).size(); }
    // Members in order, e.g. "SendDissectionProgInfo", "SendDissectionFinished".
    QStringList members() const;
    void clear() { messages.clear(); }
    bool waitFor(const QString &member, int count = 1, int timeoutMs = 30000);
    // Waits until no signal has arrived for `quietMs`: the service has relayed its backlog.
    void waitQuiet(int quietMs = 500, int timeoutMs = 60000);

public slots:
    void record(const QDBusMessage &message) { messages.append(message); }

private:
    QList<QDBusMessage> messages;
};
