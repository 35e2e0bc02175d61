// The caller check against real processes on the test bus: an allowed client, gdbus (a program
// the suite does not ship), and gdbus in a mount namespace of its own.
#include "core/names.h"
#include "sandboxservice.h"
#include "testbus.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

namespace {

struct Call
{
    QString method;
    QStringList args;
};

const QList<Call> guardedCalls = {
    {"DoDissection", {"['/tmp']"}},
    {"SetDissectionStatus", {"0"}},
    {"SetEngineStatus", {"5"}},
    {"SetScanWhiteList", {"true", "/tmp"}},
    {"SetScanFileSize", {"5"}},
    {"TrustProblemFile", {"true", "/tmp/x"}},
    {"IsolationProblemFile", {"true", "/tmp/x"}},
    {"ExitApp", {}},
};

const QList<Call> unguardedCalls = {
    {"StartApp", {}},
    {"SetEngineType", {"0"}},
    {"GetEngineType", {}},
    {"GetDissectionStatus", {}},
    {"GetEngineStatus", {}},
    {"SetProblemFileOperatingSum", {"2"}},
    {"GetProblemFileOperatingSum", {}},
    {"QueryTrustProblemFiles", {}},
    {"QueryIsolationProblemFiles", {}},
};

struct Outcome
{
    qint64 pid;
    int exitCode;
    QString output;
};

Outcome gdbusCall(const Call &call, const QStringList &prefix = {})
{
    QStringList args = {QStringLiteral("call"),
                        QStringLiteral("--system"),
                        QStringLiteral("--dest"),
                        snx::names::busName(),
                        QStringLiteral("--object-path"),
                        snx::names::objectPath(),
                        QStringLiteral("--method"),
                        snx::names::interfaceName() + QLatin1Char('.') + call.method};
    args += call.args;
    QProcess p;
    QString program = QStringLiteral("gdbus");
    if (!prefix.isEmpty()) {
        args = prefix.mid(1) + QStringList{program} + args;
        program = prefix.first();
    }
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.waitForStarted();
    const qint64 pid = p.processId();
    p.waitForFinished(20000);
    return {pid, p.exitCode(), QString::fromUtf8(p.readAll())};
}

} // namespace

class TestCallerBus : public QObject
{
    Q_OBJECT
    TestBus bus;

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
        if (QStandardPaths::findExecutable(QStringLiteral("gdbus")).isEmpty())
            QSKIP("gdbus is not available");
    }

    void programOutsideTheListIsRefusedByEveryGuardedMethod()
    {
        SandboxService service;
        QVERIFY(service.start());
        for (const Call &call : guardedCalls) {
            const Outcome out = gdbusCall(call);
            QVERIFY2(out.exitCode != 0, qPrintable(call.method));
            const QString expected =
                QStringLiteral(
                    "org.freedesktop.DBus.Error.Failed: (pid: %1)[/usr/bin/gdbus] is not "
                    "allowed to transfer sentinex inter")
                    .arg(out.pid);
            QVERIFY2(out.output.contains(expected), qPrintable(call.method + ": " + out.output));
        }
        for (const Call &call : unguardedCalls) {
            const Outcome out = gdbusCall(call);
            QVERIFY2(out.exitCode == 0, qPrintable(call.method + ": " + out.output));
        }
        // Refused calls changed nothing: the service runs, its values are untouched, and the
        // settings daemon saw no size write.
        QCOMPARE(service.scanner().GetEngineStatus().value(), 0);
        QCOMPARE(service.scanner().GetDissectionStatus().value(), 0);
        QVERIFY(!service.settingsOutput().contains(snx::names::scanSizeKey()));
        const QString log = service.logText();
        QCOMPARE(log.count(QStringLiteral("[com.velmar.sentinex.scanner] invalid invoker!")), 7);
        QCOMPARE(log.count(QStringLiteral(
                     "[com.velmar.sentinex.scanner] Exit app failed: invalid invoker!")),
                 1);
        QCOMPARE(service.exitApp(), 0);
    }

    void allowedClientIsServed()
    {
        SandboxService service;
        QVERIFY(service.start());
        auto &s = service.scanner();
        QDBusPendingReply<> reply = s.SetEngineStatus(4);
        reply.waitForFinished();
        QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
        QCOMPARE(s.GetEngineStatus().value(), 4);
        reply = s.SetScanFileSize(12);
        reply.waitForFinished();
        QVERIFY(!reply.isError());
        QVERIFY(
            waitFor([&] { return service.settingsOutput().contains("set virus-scan-size 12"); }));
        QCOMPARE(service.exitApp(), 0);
    }

    void callerInAnotherMountNamespaceIsRefused()
    {
        SandboxService service;
        SandboxService::Options options;
        options.allowedCallers = QStringList{QStringLiteral("/usr/bin/gdbus")};
        QVERIFY(service.start(options));
        // Allowed by name, so only the namespace can refuse it.
        QCOMPARE(gdbusCall({"SetEngineStatus", {"3"}}).exitCode, 0);
        const Outcome out = gdbusCall({"SetEngineStatus", {"9"}}, {"unshare", "-m"});
        if (out.output.contains(QLatin1String("unshare:")))
            QSKIP("cannot create a mount namespace here (needs root)");
        QVERIFY2(out.output.contains(QString::fromUtf8(
                     "org.freedesktop.DBus.Error.Failed: Illegal "
                     "calls\xef\xbc\x81\xef\xbc\x81\xef\xbc\x81\xef\xbc\x81\xef\xbc\x81")),
                 qPrintable(out.output));
        QCOMPARE(service.scanner().GetEngineStatus().value(), 3);
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCallerBus)
#include "tst_callerbus.moc"
