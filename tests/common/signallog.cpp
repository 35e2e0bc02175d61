#include "signallog.h"
#include "core/names.h"

#include "sandboxservice.h"

#include <QCoreApplication>
#include <QDBusConnection>

SignalLog::SignalLog()
{
    // A connection of its own: the test's calls share the default one.
    static int instances = 0;
    connectionName = QStringLiteral("signal-log-%1").arg(++instances);
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, connectionName);
    for (const char *member :
         {"SendDissectionProgInfo", "SendDissectionFinished", "SendPauseDissectionFinished",
          "SendTrustProblemFileInfo", "SendIsolationProblemFileInfo", "SendTrustProblemFiles",
          "SendIsolationProblemFiles"})
        bus.connect(QString(), snx::names::objectPath(), snx::names::busName(),
                    QLatin1String(member), this, SLOT(record(QDBusMessage)));
}

SignalLog::~SignalLog()
{
    QDBusConnection::disconnectFromBus(connectionName);
}

QList<ReceivedSignal> SignalLog::named(const QString &member) const
{
    QList<ReceivedSignal> out;
    for (const ReceivedSignal &m : messages)
        if (m.member() == member)
            out.append(m);
    return out;
}

QStringList SignalLog::members() const
{
    QStringList out;
    for (const ReceivedSignal &m : messages)
        out.append(m.member());
    return out;
}

bool SignalLog::waitFor(const QString &member, int n, int timeoutMs)
{
    return ::waitFor([&] { return count(member) >= n; }, timeoutMs);
}

bool SignalLog::barrier()
{
    // Answered by the service's main thread, which emits the signals: the reply comes after every
    // signal it sent before, and after every report of a job that was already queued to it.
    const QDBusMessage get = QDBusMessage::createMethodCall(
        snx::names::busName(), snx::names::objectPath(), snx::names::interfaceName(),
        QStringLiteral("GetDissectionStatus"));
    const QDBusMessage reply = QDBusConnection(connectionName).call(get, QDBus::Block, 30000);
    // The signals that came first are queued for this thread; deliver them.
    QCoreApplication::sendPostedEvents();
    return reply.type() == QDBusMessage::ReplyMessage;
}
