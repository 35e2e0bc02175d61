// Faults the service must live through without losing a file: a misbehaving settings daemon, a
// broken database, a full quarantine, a kill in the middle of an isolation, files that vanish,
// odd trees and a low descriptor limit.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString configDir = snx::names::configDir();
const QString quarantine = configDir + QStringLiteral("isolation/");

int scanCount(SandboxService &service, const QStringList &paths, int timeoutMs = 120000)
{
    SignalLog log;
    service.scanner().DoDissection(paths).waitForFinished();
    if (!log.waitFor(QStringLiteral("SendDissectionFinished"), 1, timeoutMs))
        return -1;
    return log.count(QStringLiteral("SendDissectionProgInfo"));
}

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Isolates (true) or restores (false) and waits for the completion signal.
bool isolation(SandboxService &service, bool flag, const QString &path)
{
    SignalLog log;
    service.scanner().IsolationProblemFile(flag, path).waitForFinished();
    return log.waitFor(QStringLiteral("SendIsolationProblemFileInfo"), 1, 60000);
}

QStringList entriesWithSizes(const QString &dir)
{
    QStringList out;
    for (const QFileInfo &entry :
         QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
        out << entry.fileName() + ':' + QString::number(entry.size());
    return out;
}

bool listedAsIsolated(SandboxService &service, const QString &path)
{
    SignalLog log;
    service.scanner().QueryIsolationProblemFiles().waitForFinished();
    log.waitFor(QStringLiteral("SendIsolationProblemFiles"));
    const QString text = log.named(QStringLiteral("SendIsolationProblemFiles"))
                             .value(0)
                             .arguments()
                             .value(0)
                             .toString();
    return text.startsWith(path + '|') || text.contains('*' + path + '|');
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
    TestBus bus;
    bool root = ::geteuid() == 0;

    // Files up to 1000 MiB are scanned.
    static SandboxService::Options sizedOptions()
    {
        SandboxService::Options options;
        options.settingsArgs = QStringList{"--scan-size", "1000"};
        return options;
    }

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
    }

    void settingsDaemonThatAnswersWrongly()
    {
        SandboxService service;
        SandboxService::Options options;
        options.settingsArgs =
            QStringList{"--wrong-types", "--engine-type", "1", "--scan-size", "9"};
        QVERIFY(service.start(options));
        QCOMPARE(service.scanner().GetEngineType().value(), 0);
        QTemporaryDir dir;
        samples::write(dir.filePath("big"), QByteArray(4096, 'x'));
        samples::write(dir.filePath("small"), "x");
        QCOMPARE(scanCount(service, {dir.path()}), 2); // unreadable: no size limit
        QCOMPARE(service.logText().count("settings daemon not readable"), 1);
        QCOMPARE(service.exitApp(), 0);
    }

    void settingsDaemonThatAnswersLate()
    {
        // Two seconds per read: start-up waits, then takes the values.
        SandboxService service;
        SandboxService::Options options;
        options.settingsArgs = QStringList{"--reply-delay-ms", "2000", "--engine-type", "1"};
        QElapsedTimer t;
        t.start();
        QVERIFY(service.start(options));
        QVERIFY(t.elapsed() >= 5000);
        QCOMPARE(service.scanner().GetEngineType().value(), 1);
        QCOMPARE(service.exitApp(), 0);
    }

    void brokenDatabaseAtStartKeepsTheQuarantine()
    {
        SandboxService service;
        QDir().mkpath(service.path(quarantine));
        QVERIFY(
            samples::write(service.path(quarantine) + "0123456789abcdef0123456789abcdef", "kept"));
        QVERIFY(
            samples::write(service.path(configDir) + "scan_cache.db", QByteArray(4096, '\x5a')));
        QVERIFY(service.start());
        QVERIFY(service.logText().contains("scan cache table not created:") ||
                service.logText().contains("scan cache not opened:"));
        QTemporaryDir dir;
        samples::write(dir.filePath("a.com"), samples::eicar);
        QCOMPARE(scanCount(service, {dir.path()}), 1);
        QCOMPARE(service.exitApp(), 0);
        QVERIFY(QFile::exists(service.path(quarantine) + "0123456789abcdef0123456789abcdef"));

        // A database path that is a directory cannot be opened at all.
        SandboxService other;
        QDir().mkpath(other.path(configDir) + "scan_cache.db");
        QVERIFY(other.start());
        QVERIFY(other.logText().contains("scan cache not opened:"));
        QCOMPARE(other.scanner().GetEngineStatus().value(), 0);
        QCOMPARE(other.exitApp(), 0);
    }

    void fullQuarantineLeavesTheOriginal()
    {
        if (!root)
            QSKIP("needs root to mount a small file system");
        SandboxService service;
        QVERIFY(service.start(sizedOptions()));
        const QString q = service.path(quarantine);
        QDir().mkpath(q);
        if (!run("mount", {"-t", "tmpfs", "-o", "size=64k,mode=0700", "tmpfs", q}))
            QSKIP("cannot mount a tmpfs here");
        QTemporaryDir dir;
        QByteArray content = samples::eicar + QByteArray(1 << 20, 'z');
        const QString bad = dir.filePath("large.com");
        samples::write(bad, content);
        SignalLog log;
        service.scanner().DoDissection({bad}).waitForFinished();
        QVERIFY(log.waitFor("SendDissectionFinished"));
        QCOMPARE(log.named("SendDissectionProgInfo").value(0).arguments().value(2).toInt(), 1);
        service.scanner().IsolationProblemFile(true, bad).waitForFinished();
        const bool completed = log.waitFor("SendIsolationProblemFileInfo");
        run("umount", {q});
        QVERIFY(completed);
        QFile original(bad);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(original.readAll(), content);
        QVERIFY(service.logText().contains(
            "isolation failed, cannot copy into quarantine (No space left on device)"));
        QCOMPARE(service.exitApp(), 0);
    }

    void killedDuringIsolationLosesNothing()
    {
        QTemporaryDir dir;
        const QByteArray content = samples::eicar + QByteArray(64 << 20, 'k');
        const QString md5 = QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
        QRandomGenerator rng(11);
        for (int round = 0; round < 4; ++round) {
            SandboxService service;
            QVERIFY(service.start(sizedOptions()));
            const QString bad = dir.filePath(QStringLiteral("victim%1.com").arg(round));
            samples::write(bad, content);
            SignalLog log;
            service.scanner().DoDissection({bad}).waitForFinished();
            QVERIFY(log.waitFor("SendDissectionFinished"));
            QCOMPARE(log.named("SendDissectionProgInfo").value(0).arguments().value(2).toInt(), 1);
            service.scanner().IsolationProblemFile(true, bad); // not waited for
            QTest::qWait(int(rng.bounded(5, 120)));
            ::kill(pid_t(service.process().processId()), SIGKILL);
            QVERIFY(service.process().waitForFinished(10000));
            QTest::qWait(200); // a move already started finishes on its own
            const QString quarantined = service.path(quarantine) + md5;
            const bool atPath = QFileInfo(bad).size() == content.size();
            const bool inQuarantine = QFileInfo(quarantined).size() == content.size();
            QVERIFY2(atPath || inQuarantine, qPrintable(QStringLiteral("round %1").arg(round)));
            // After a restart the service runs, and a restore brings back what was moved.
            QVERIFY(service.restart(sizedOptions()));
            if (!atPath) {
                service.scanner().IsolationProblemFile(false, bad).waitForFinished();
                // The record is written before the move, so what was moved comes back whole.
                QVERIFY2(waitFor([&] { return QFileInfo(bad).size() == content.size(); }),
                         qPrintable(QStringLiteral("round %1").arg(round)));
                QFile back(bad);
                QVERIFY(back.open(QIODevice::ReadOnly));
                QCOMPARE(QCryptographicHash::hash(back.readAll(), QCryptographicHash::Md5).toHex(),
                         md5.toLatin1());
            }
            QCOMPARE(service.exitApp(), 0);
        }
    }

    // A kill at any moment of an isolation or a restore, also into a quarantine on another file
    // system, leaves every file at its path or in the quarantine with its record. The second
    // copy of equal content once made the move delete the first copy's quarantine file.
    void killedAtAnyMomentLosesNothing_data()
    {
        QTest::addColumn<bool>("restore");
        QTest::addColumn<bool>("crossFs");
        QTest::newRow("isolate") << false << false;
        QTest::newRow("isolate a second copy across file systems") << false << true;
        QTest::newRow("restore") << true << false;
        QTest::newRow("restore across file systems") << true << true;
    }

    void killedAtAnyMomentLosesNothing()
    {
        QFETCH(bool, restore);
        QFETCH(bool, crossFs);
        if (crossFs && !root)
            QSKIP("needs root to mount a file system");
        QTemporaryDir dir;
        const QByteArray content = samples::eicar + QByteArray(32 << 20, 'k');
        const QString md5 = QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
        QRandomGenerator rng(restore ? 23 : 29);
        for (int round = 0; round < 4; ++round) {
            SandboxService service;
            const QString q = service.path(quarantine);
            QDir().mkpath(q);
            bool mounted = false;
            auto unmount = qScopeGuard([&] {
                if (mounted)
                    run("umount", {"-l", q});
            });
            if (crossFs) {
                mounted = run("mount", {"-t", "tmpfs", "-o", "size=256m,mode=0700", "tmpfs", q});
                if (!mounted)
                    QSKIP("cannot mount a tmpfs here");
            }
            QVERIFY(service.start(sizedOptions()));
            const QString bad = dir.filePath(QStringLiteral("victim%1.com").arg(round));
            QVERIFY(samples::write(bad, content));
            QStringList paths{bad};
            const QString first = dir.filePath(QStringLiteral("first%1.com").arg(round));
            if (crossFs && !restore) {
                QVERIFY(samples::write(first, content));
                paths << first;
            }
            QCOMPARE(scanCount(service, paths), paths.size());
            if (paths.size() > 1)
                QVERIFY(isolation(service, true, first));
            if (restore)
                QVERIFY(isolation(service, true, bad));

            // Every other round waits for the first trace of the file operation, so that the
            // kill falls inside it and not only before or after.
            const QStringList before = entriesWithSizes(q);
            service.scanner().IsolationProblemFile(!restore, bad); // not waited for
            if (round % 2 == 1)
                waitFor(
                    [&] {
                        return restore ? QFileInfo::exists(bad) : entriesWithSizes(q) != before;
                    },
                    10000);
            QTest::qWait(int(rng.bounded(round % 2 == 1 ? 0 : 1, round % 2 == 1 ? 20 : 150)));
            ::kill(pid_t(service.process().processId()), SIGKILL);
            QVERIFY(service.process().waitForFinished(10000));

            const QString quarantined = q + md5;
            const bool inQuarantine = QFileInfo(quarantined).size() == content.size();
            const bool atPath = QFileInfo(bad).size() == content.size();
            // The restart settles what the kill left half done.
            QVERIFY(service.restart(sizedOptions()));
            const bool recorded = listedAsIsolated(service, bad);
            const QString where = QStringLiteral("round %1").arg(round);
            QVERIFY2(atPath || (inQuarantine && recorded), qPrintable(where));
            if (paths.size() > 1)
                QVERIFY2(inQuarantine && listedAsIsolated(service, first), qPrintable(where));
            if (recorded && !atPath) {
                // A half-written restore is in the way; the record brings the file back whole.
                QFile::remove(bad);
                QVERIFY(isolation(service, false, bad));
                QCOMPARE(QFileInfo(bad).size(), content.size());
            }
            QCOMPARE(service.exitApp(), 0);
        }
    }

    void filesVanishingDuringTheScan()
    {
        SandboxService service;
        SandboxService::Options options;
        options.holdAt = {1};
        QVERIFY(service.start(options));
        QTemporaryDir dir;
        const QStringList files = samples::corpus(dir.path(), 3000, {2999});
        service.scanner().SetEngineType(1).waitForFinished();
        SignalLog log;
        service.scanner().DoDissection({dir.path()}).waitForFinished();
        // Held before its second file: the deletes fall inside the scan.
        QVERIFY(service.hold().waitHeld(1));
        for (int i = 0; i < files.size(); i += 2)
            QVERIFY(QFile::remove(files[i]));
        // Once every signal sent before them is in, the scan has not finished and results are
        // still to come.
        QVERIFY(log.barrier());
        QCOMPARE(log.count("SendDissectionFinished"), 0);
        QVERIFY2(log.count("SendDissectionProgInfo") < 3000,
                 qPrintable(QString::number(log.count("SendDissectionProgInfo"))));
        service.hold().release(1);
        QVERIFY(log.waitFor("SendDissectionFinished", 1, 120000));
        QCOMPARE(log.count("SendDissectionProgInfo"), 3000);
        QCOMPARE(service.exitApp(), 0);
    }

    void hugeDirectoryAndDeepTreeUnderALowDescriptorLimit()
    {
        QTemporaryDir dir;
        const QString wide = dir.filePath("wide");
        QDir().mkpath(wide);
        for (int i = 0; i < 100000; ++i) {
            QFile f(wide + QStringLiteral("/e%1").arg(i));
            f.open(QIODevice::WriteOnly);
        }
        QString deep = dir.filePath("deep");
        for (int i = 0; i < 1000; ++i)
            deep += "/d";
        QVERIFY(QDir().mkpath(deep));
        samples::write(deep + "/bottom.com", samples::eicar);

        SandboxService service;
        SandboxService::Options options;
        options.launcher = QStringList{"prlimit", "--nofile=64:64", "--"};
        QVERIFY(service.start(options));
        QCOMPARE(scanCount(service, {dir.filePath("deep")}), 1);
        QCOMPARE(scanCount(service, {wide}, 300000), 100000);
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
