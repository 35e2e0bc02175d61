// Load: several clients at once call getters and guarded methods while scans run and trust and
// isolation requests stream in. Every call is answered, every request completes once and in
// order, and the service's memory stays flat. SNX_SOAK_SECONDS sets the length (default 8).
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>

namespace {

qint64 rssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// One client with a bus connection of its own, calling until told to stop.
class Client : public QThread
{
public:
    Client(QString busAddress, int number) : address(std::move(busAddress)), id(number) {}
    std::atomic_bool stop{false};
    std::atomic_int answered{0};
    std::atomic_int failed{0};

protected:
    void run() override
    {
        const QString name = QStringLiteral("soak-client-%1").arg(id);
        {
            QDBusConnection bus = QDBusConnection::connectToBus(address, name);
            auto call = [&](const QString &method, const QList<QVariant> &args) {
                QDBusMessage m = QDBusMessage::createMethodCall(
                    snx::names::busName(), snx::names::objectPath(), snx::names::busName(), method);
                m.setArguments(args);
                const QDBusMessage reply = bus.call(m, QDBus::Block, 60000);
                (reply.type() == QDBusMessage::ReplyMessage ? answered : failed)++;
            };
            for (int i = 0; !stop; ++i) {
                call("GetEngineType", {});
                call("GetDissectionStatus", {});
                call("SetEngineStatus", {i});
                call("GetProblemFileOperatingSum", {});
            }
        }
        QDBusConnection::disconnectFromBus(name);
    }

private:
    QString address;
    int id;
};

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT
    TestBus bus;

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
    }

    void manyClientsWhileScanning()
    {
        const int seconds = qEnvironmentVariableIntValue("SNX_SOAK_SECONDS") > 0
                                ? qEnvironmentVariableIntValue("SNX_SOAK_SECONDS")
                                : 8;
        SandboxService service;
        SandboxService::Options options;
        options.settingsArgs = QStringList{"--scan-size", "10", "--engine-type", "1"};
        QVERIFY(service.start(options));
        QTemporaryDir dir;
        QList<int> infected;
        for (int i = 0; i < 400; i += 4)
            infected << i;
        samples::corpus(dir.path(), 400, infected);
        const qint64 pid = service.process().processId();

        SignalLog log;
        auto &s = service.scanner();
        QList<Client *> clients;
        for (int i = 0; i < 4; ++i) {
            clients << new Client(bus.address(), i);
            clients.last()->start();
        }

        QList<QList<QVariant>> requested;
        qint64 rssAfterWarmUp = -1;
        QElapsedTimer clock;
        clock.start();
        int scans = 0;
        while (clock.elapsed() < seconds * 1000) {
            const int finishedBefore = log.count("SendDissectionFinished");
            const int mark = log.all().size();
            QDBusPendingReply<> started = s.DoDissection({dir.path()});
            started.waitForFinished();
            QVERIFY2(!started.isError(), qPrintable(started.error().message()));
            QVERIFY(log.waitFor("SendDissectionFinished", finishedBefore + 1, 60000));
            ++scans;
            // Trust and untrust a stream of paths; isolate and restore a file this scan
            // reported (one restored a moment ago may not have been back for the walk).
            for (int i = 0; i < 20; ++i) {
                const QString path =
                    dir.filePath(QStringLiteral("trusted-%1-%2").arg(scans).arg(i));
                s.TrustProblemFile(true, path);
                requested << QList<QVariant>{true, path};
                s.TrustProblemFile(false, path);
                requested << QList<QVariant>{false, path};
            }
            QString victim;
            for (const ReceivedSignal &m : log.all().mid(mark))
                if (m.member() == "SendDissectionProgInfo" && m.arguments().at(2).toInt() == 1)
                    victim = m.arguments().at(0).toString();
            QVERIFY(!victim.isEmpty());
            s.IsolationProblemFile(true, victim);
            requested << QList<QVariant>{true, victim};
            s.IsolationProblemFile(false, victim);
            requested << QList<QVariant>{false, victim};
            if (scans == 2)
                rssAfterWarmUp = rssKiB(pid);
        }
        for (Client *c : clients)
            c->stop = true;
        for (Client *c : clients) {
            QVERIFY(c->wait(120000));
            QVERIFY(c->answered > 0);
            QCOMPARE(c->failed.load(), 0);
            delete c;
        }
        QVERIFY(waitFor(
            [&] {
                return log.count("SendTrustProblemFileInfo") +
                           log.count("SendIsolationProblemFileInfo") ==
                       requested.size();
            },
            60000));
        QList<QList<QVariant>> completed;
        for (const ReceivedSignal &m : log.all())
            if (m.member().endsWith("ProblemFileInfo"))
                completed << m.arguments();
        QCOMPARE(completed, requested);
        QCOMPARE(s.GetProblemFileOperatingSum().value(), -requested.size());

        const qint64 rssAtEnd = rssKiB(pid);
        qInfo("%d scans, %d changes, RSS %lld KiB after warm-up, %lld KiB at the end", scans,
              int(requested.size()), rssAfterWarmUp, rssAtEnd);
#ifndef SNX_SANITIZED
        // Sanitizers hold freed memory back on purpose; the figure means something only without.
        if (rssAfterWarmUp > 0)
            QVERIFY2(rssAtEnd - rssAfterWarmUp < 16 * 1024, "memory grew by more than 16 MiB");
#endif
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
