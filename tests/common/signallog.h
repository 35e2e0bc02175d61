#pragma once

#include <QDBusMessage>
#include <QList>
#include <QObject>

// What a listener keeps of one signal. Not the received message itself: libdbus stops reading
// a connection once the messages still held add up to its receive limit (63 MiB), and a long
// test holds many.
class ReceivedSignal
{
public:
    ReceivedSignal() = default;
    explicit ReceivedSignal(const QDBusMessage &m)
        : name(m.member()), sig(m.signature()), args(m.arguments())
    {
    }
    QString member() const { return name; }
    QString signature() const { return sig; }
    QList<QVariant> arguments() const { return args; }

private:
    QString name;
    QString sig;
    QList<QVariant> args;
};

// Every signal of the scanner as a listener on the bus receives it, in order.
class SignalLog : public QObject
{
    Q_OBJECT
public:
    SignalLog();
    ~SignalLog() override;

    QList<ReceivedSignal> all() const { return messages; }
    QList<ReceivedSignal> named(const QString &member) const;
    int count(const QString &member) const { return named(member).size(); }
    // Members in order, e.g. "SendDissectionProgInfo", "SendDissectionFinished".
    QStringList members() const;
    void clear() { messages.clear(); }
    bool waitFor(const QString &member, int count = 1, int timeoutMs = 30000);
    // Calls the service on the listener's own connection and takes in what arrived before the
    // answer: the bus keeps one sender's messages in order, so every signal the service sent
    // before it answered is then in the log. Use it instead of waiting for silence.
    bool barrier();

public slots:
    void record(const QDBusMessage &message) { messages.append(ReceivedSignal(message)); }

private:
    QString connectionName;
    QList<ReceivedSignal> messages;
};
