#include "signallog.h"

#include "sandboxservice.h"

#include <QDBusConnection>
#include <QElapsedTimer>

SignalLog::SignalLog()
{
    for (const char *member :
         {"SendDissectionProgInfo", "SendDissectionFinished", "SendPauseDissectionFinished",
          "SendTrustProblemFileInfo", "SendIsolationProblemFileInfo", "SendTrustProblemFiles",
          "SendIsolationProblemFiles"})
        QDBusConnection::systemBus().connect(
            QString(), QStringLiteral("/com/velmar/sentinex/scanner"),
            QStringLiteral("com.velmar.sentinex.scanner"), QLatin1String(member), this,
            SLOT(record(QDBusMessage)));
}

QList<QDBusMessage> SignalLog::named(const QString &member) const
{
    QList<QDBusMessage> out;
    for (const QDBusMessage &m : messages)
        if (m.member() == member)
            out.append(m);
    return out;
}

QStringList SignalLog::members() const
{
    QStringList out;
    for (const QDBusMessage &m : messages)
        out.append(m.member());
    return out;
}

bool SignalLog::waitFor(const QString &member, int n, int timeoutMs)
{
    return ::waitFor([&] { return count(member) >= n; }, timeoutMs);
}

void SignalLog::waitQuiet(int quietMs, int timeoutMs)
{
    int seen = -1;
    QElapsedTimer sinceChange;
    ::waitFor(
        [&] {
            if (messages.size() != seen) {
                seen = messages.size();
                sinceChange.start();
            }
            return sinceChange.elapsed() >= quietMs;
        },
        timeoutMs);
}
