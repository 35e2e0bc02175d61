// Scan control end to end: the real service in its sandbox, the real engines and files, and a
// listener on the test bus.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QDBusArgument>
#include <QDir>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString progress = QStringLiteral("SendDissectionProgInfo");
const QString finished = QStringLiteral("SendDissectionFinished");
const QString pauseFinished = QStringLiteral("SendPauseDissectionFinished");

double processOf(const ReceivedSignal &m)
{
    return m.arguments().at(1).toDouble();
}
QString pathOf(const ReceivedSignal &m)
{
    return m.arguments().at(0).toString();
}
} // namespace

class TestScanControl : public QObject
{
    Q_OBJECT
    TestBus bus;

    // More files than a run reaches before the hold lets it go on.
    static constexpr int manyFiles = 10;

    // A scan held before its second file, so the test acts on a scan that is surely mid-run.
    static SandboxService::Options heldBeforeSecondFile()
    {
        SandboxService::Options options;
        options.holdAt = {1};
        return options;
    }

    static QString lastName()
    {
        return QStringLiteral("f%1").arg(manyFiles - 1, 5, 10, QLatin1Char('0'));
    }

    // Distinct paths reported as infected; a file scanned again around a pause counts once.
    static QStringList detections(const QList<ReceivedSignal> &results)
    {
        QStringList paths;
        for (const ReceivedSignal &m : results)
            if (m.arguments().at(2).toInt() == 1 && !paths.contains(pathOf(m)))
                paths << pathOf(m);
        return paths;
    }

    // Starts an Ah scan of `dir` in a service held before the second file and pauses it there;
    // true once the pause is answered and the results still in flight have arrived.
    static bool pauseAtFirstResult(SandboxService &service, const QString &dir, SignalLog &log)
    {
        auto &s = service.scanner();
        s.SetEngineType(1).waitForFinished();
        s.DoDissection({dir}).waitForFinished();
        if (!service.hold().waitHeld(1))
            return false;
        s.SetDissectionStatus(0).waitForFinished();
        service.hold().release(1);
        if (!log.waitFor(pauseFinished))
            return false;
        return log.barrier();
    }

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
    }

    void scanFlow_data()
    {
        QTest::addColumn<int>("engineType");
        QTest::addColumn<QString>("virusName");
        QTest::newRow("ah") << 1 << QStringLiteral("EICAR-Test-File.UNOFFICIAL");
        QTest::newRow("ris") << 0 << QStringLiteral("EICAR_Test_File");
    }

    void scanFlow()
    {
        QFETCH(int, engineType);
        QFETCH(QString, virusName);
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir dir;
        const QStringList files = samples::corpus(dir.path(), 4, {1});
        SignalLog log;
        service.scanner().SetEngineType(engineType).waitForFinished();
        QDBusPendingReply<> call =
            service.scanner().DoDissection({dir.path(), dir.filePath("missing")});
        call.waitForFinished();
        QVERIFY(!call.isError());
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.members(), (QStringList{progress, progress, progress, progress, finished}));
        const QList<ReceivedSignal> results = log.named(progress);
        QList<double> values;
        for (const ReceivedSignal &m : results) {
            QCOMPARE(m.signature(), QStringLiteral("sdis"));
            values << processOf(m);
            const bool infected = pathOf(m) == files[1];
            QCOMPARE(m.arguments().at(2).toInt(), infected ? 1 : 0);
            QCOMPARE(m.arguments().at(3).toString(), infected ? virusName : QString());
        }
        QCOMPARE(values, (QList<double>{0.25, 0.5, 0.75, 1.0}));
        QCOMPARE(service.scanner().GetEngineStatus().value(), 0);
        QCOMPARE(service.exitApp(), 0);
    }

    void pauseAndResumeRescanTheLastFile()
    {
        SandboxService service;
        QVERIFY(service.start(heldBeforeSecondFile()));
        QTemporaryDir dir;
        samples::corpus(dir.path(), manyFiles, {manyFiles - 1});
        SignalLog log;
        auto &s = service.scanner();
        QVERIFY(pauseAtFirstResult(service, dir.path(), log));
        QCOMPARE(log.count(finished), 0);
        QCOMPARE(s.GetDissectionStatus().value(), 0);
        // Every result that arrived while paused is followed by one pause signal.
        const QList<ReceivedSignal> before = log.all();
        QCOMPARE(before.last().member(), pauseFinished);
        const ReceivedSignal lastBefore = log.named(progress).last();
        const int resultsBefore = log.count(progress);
        QVERIFY(resultsBefore < manyFiles);

        s.SetDissectionStatus(1).waitForFinished();
        QVERIFY(log.waitFor(finished));
        const QList<ReceivedSignal> results = log.named(progress);
        const ReceivedSignal firstAfter = results.at(resultsBefore);
        QCOMPARE(pathOf(firstAfter), pathOf(lastBefore));
        QCOMPARE(processOf(firstAfter), processOf(lastBefore));
        QCOMPARE(processOf(results.last()), 1.0);
        QCOMPARE(results.size(), manyFiles + 1);
        QCOMPARE(detections(results), QStringList{dir.filePath(lastName())});
        QCOMPARE(service.exitApp(), 0);
    }

    // A front-end that resumes the moment it paused finds the scan loop still busy with its file.
    // The loop is held before a file of each round until both calls have been answered; never
    // before the last, whose end would come before the resume.
    void resumeRightAfterPauseStillResumes()
    {
        SandboxService service;
        SandboxService::Options options;
        constexpr int files = 6;
        for (int round = 1; round < files; ++round)
            options.holdAt.append(round - 1);
        QVERIFY(service.start(options));
        QTemporaryDir dir;
        samples::corpus(dir.path(), files);
        SignalLog log;
        auto &s = service.scanner();
        s.SetEngineType(1).waitForFinished();
        s.DoDissection({dir.path()}).waitForFinished();
        for (int round = 1; round < files; ++round) {
            QVERIFY(service.hold().waitHeld(round - 1));
            QDBusPendingReply<> pause = s.SetDissectionStatus(0);
            QDBusPendingReply<> resume = s.SetDissectionStatus(1);
            resume.waitForFinished();
            QVERIFY(!pause.isError() && !resume.isError());
            service.hold().release(round - 1);
        }
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(finished), 1);
        QCOMPARE(log.all().last().member(), finished);
        QSet<QString> reported;
        for (const ReceivedSignal &m : log.named(progress))
            reported.insert(pathOf(m));
        QCOMPARE(reported.size(), files);
        QCOMPARE(processOf(log.named(progress).last()), 1.0);
        QCOMPARE(s.GetDissectionStatus().value(), 1);
        QCOMPARE(service.exitApp(), 0);
    }

    // A resume that waits for the paused loop's last file has nothing left to resume: the scan
    // ends once. The next scan's stream shows whatever of the first came late.
    void resumeWhilePausingOnTheLastFileEndsOnce()
    {
        SandboxService service;
        SandboxService::Options options;
        constexpr int files = 3;
        options.holdAt = {files - 1};
        QVERIFY(service.start(options));
        QTemporaryDir dir;
        QTemporaryDir next;
        samples::corpus(dir.path(), files);
        const QStringList nextFiles = samples::corpus(next.path(), 1);
        SignalLog log;
        auto &s = service.scanner();
        s.SetEngineType(1).waitForFinished();
        s.DoDissection({dir.path()}).waitForFinished();
        QVERIFY(service.hold().waitHeld(files - 1));
        s.SetDissectionStatus(0).waitForFinished();
        s.SetDissectionStatus(1).waitForFinished();
        service.hold().release(files - 1);
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        s.DoDissection({next.path()}).waitForFinished();
        QVERIFY(log.waitFor(finished, 2));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(finished), 2);
        const QList<ReceivedSignal> all = log.all();
        QCOMPARE(all.last().member(), finished);
        QCOMPARE(pathOf(all.at(all.size() - 2)), nextFiles[0]);
        QCOMPARE(log.count(progress), files + 1);
        QCOMPARE(service.exitApp(), 0);
    }

    void stopEndsTheScan_data()
    {
        QTest::addColumn<int>("stopStatus");
        QTest::newRow("2") << 2;
        QTest::newRow("5 acts as 2") << 5;
    }

    void stopEndsTheScan()
    {
        QFETCH(int, stopStatus);
        SandboxService service;
        QVERIFY(service.start(heldBeforeSecondFile()));
        QTemporaryDir dir;
        samples::corpus(dir.path(), manyFiles);
        SignalLog log;
        auto &s = service.scanner();
        s.SetEngineType(1).waitForFinished();
        s.SetEngineStatus(9).waitForFinished();
        s.DoDissection({dir.path()}).waitForFinished();
        QVERIFY(service.hold().waitHeld(1));
        s.SetDissectionStatus(stopStatus).waitForFinished();
        service.hold().release(1);
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        const int results = log.count(progress);
        QVERIFY(results < manyFiles);
        QVERIFY(log.barrier());
        QCOMPARE(log.count(progress), results); // nothing after the stop
        QCOMPARE(s.GetDissectionStatus().value(), stopStatus);
        QCOMPARE(s.GetEngineStatus().value(), 0);
        QCOMPARE(service.exitApp(), 0);
    }

    void pauseThenStop()
    {
        SandboxService service;
        QVERIFY(service.start(heldBeforeSecondFile()));
        QTemporaryDir dir;
        samples::corpus(dir.path(), manyFiles);
        SignalLog log;
        auto &s = service.scanner();
        s.SetEngineStatus(9).waitForFinished();
        QVERIFY(pauseAtFirstResult(service, dir.path(), log));
        s.SetDissectionStatus(2).waitForFinished();
        QVERIFY(log.waitFor(finished));
        QCOMPARE(log.all().last().member(), finished);
        QCOMPARE(log.all().at(log.all().size() - 2).member(), pauseFinished);
        QCOMPARE(s.GetEngineStatus().value(), 0);
        QCOMPARE(service.exitApp(), 0);
    }

    void stopWhileIdleOnlySetsTheFlag()
    {
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir dir;
        samples::corpus(dir.path(), 3);
        SignalLog log;
        auto &s = service.scanner();
        s.SetDissectionStatus(2).waitForFinished();
        QVERIFY(log.barrier());
        QVERIFY(log.all().isEmpty());
        // The next scan clears the flag and runs to its end.
        s.DoDissection({dir.path()}).waitForFinished();
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(progress), 3);
        QCOMPARE(log.count(finished), 1);
        QCOMPARE(service.exitApp(), 0);
    }

    void resumeAfterAFinishedScanEndsAtOnce()
    {
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir dir;
        samples::corpus(dir.path(), 2);
        SignalLog log;
        auto &s = service.scanner();
        s.DoDissection({dir.path()}).waitForFinished();
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        log.clear();
        s.SetDissectionStatus(1).waitForFinished();
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.members(), QStringList{finished});
        QCOMPARE(service.exitApp(), 0);
    }

    void newScanDuringARunningOneReplacesIt()
    {
        SandboxService service;
        QVERIFY(service.start(heldBeforeSecondFile()));
        QTemporaryDir first;
        QTemporaryDir second;
        samples::corpus(first.path(), manyFiles);
        const QStringList next = samples::corpus(second.path(), 5, {4});
        SignalLog log;
        auto &s = service.scanner();
        s.SetEngineType(1).waitForFinished();
        s.DoDissection({first.path()}).waitForFinished();
        QVERIFY(service.hold().waitHeld(1));
        // The new scan halts the running one, whose loop must not pass its file before that.
        QDBusPendingReply<> replacing = s.DoDissection({second.path()});
        service.hold().releaseWhenPaused(1);
        replacing.waitForFinished();
        QVERIFY(!replacing.isError());
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(finished), 1);
        // The new task ran whole and last; the old one never reached its end.
        QList<ReceivedSignal> results = log.named(progress);
        QVERIFY(results.size() < manyFiles + 5);
        const QList<ReceivedSignal> tail = results.mid(results.size() - 5);
        QStringList paths;
        for (int i = 0; i < 5; ++i) {
            paths << pathOf(tail[i]);
            QCOMPARE(processOf(tail[i]), (i + 1) / 5.0);
        }
        paths.sort();
        QCOMPARE(paths, next);
        QCOMPARE(detections(tail), QStringList{next[4]});
        QCOMPARE(service.exitApp(), 0);
    }

    // The old loop is held before its second file for as long as the test likes, as it would be
    // by a huge file: the new scan and the calls after it are answered all the same, and the
    // stream still shows the old run's results first, then the new run whole.
    void newScanDoesNotWaitForTheFileInProgress_data()
    {
        QTest::addColumn<bool>("stopWhileWaiting");
        QTest::newRow("new scan runs") << false;
        QTest::newRow("stop cancels the new scan") << true;
    }

    void newScanDoesNotWaitForTheFileInProgress()
    {
        QFETCH(bool, stopWhileWaiting);
        SandboxService service;
        QVERIFY(service.start(heldBeforeSecondFile()));
        QTemporaryDir first;
        QTemporaryDir second;
        const QStringList old = samples::corpus(first.path(), manyFiles);
        const QStringList next = samples::corpus(second.path(), 5, {4});
        SignalLog log;
        auto &s = service.scanner();
        s.SetEngineType(1).waitForFinished();
        s.DoDissection({first.path()}).waitForFinished();
        QVERIFY(service.hold().waitHeld(1));
        QDBusPendingReply<> replacing = s.DoDissection({second.path()});
        QDBusPendingReply<> stop;
        if (stopWhileWaiting)
            stop = s.SetDissectionStatus(2);
        QDBusPendingReply<int> engine = s.GetEngineType();
        QVERIFY(waitFor([&] { return engine.isFinished(); }, 10000));
        QVERIFY(replacing.isFinished() && !replacing.isError());
        QVERIFY(!stopWhileWaiting || (stop.isFinished() && !stop.isError()));
        QCOMPARE(engine.value(), 1);
        QVERIFY(log.barrier());
        QCOMPARE(log.count(finished), 0);
        QCOMPARE(log.count(progress), 1);

        service.hold().release(1);
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        const int newResults = stopWhileWaiting ? 0 : 5;
        QStringList expected{progress, progress};
        for (int i = 0; i < newResults; ++i)
            expected << progress;
        expected << finished;
        QCOMPARE(log.members(), expected);
        const QList<ReceivedSignal> results = log.named(progress);
        QVERIFY(old.contains(pathOf(results[0])));
        QVERIFY(old.contains(pathOf(results[1])));
        QStringList paths;
        for (int i = 0; i < newResults; ++i) {
            paths << pathOf(results[2 + i]);
            QCOMPARE(processOf(results[2 + i]), (i + 1) / 5.0);
        }
        paths.sort();
        QCOMPARE(paths, stopWhileWaiting ? QStringList{} : next);
        if (stopWhileWaiting) {
            // The stopped scan is the new one: a resume runs it whole.
            log.clear();
            s.SetDissectionStatus(1).waitForFinished();
            QVERIFY(log.waitFor(finished));
            QVERIFY(log.barrier());
            QCOMPARE(log.count(finished), 1);
            QCOMPARE(log.count(progress), 5);
            QStringList resumed;
            for (const ReceivedSignal &m : log.named(progress))
                resumed << pathOf(m);
            resumed.sort();
            QCOMPARE(resumed, next);
        }
        QCOMPARE(service.exitApp(), 0);
    }

    // The job walks the paths of a scan in its run, not in the call: a call naming a directory
    // again and again is answered at once, and so is the next call, before the walk has begun.
    void newScanIsAnsweredBeforeItsWalk()
    {
        SandboxService service;
        SandboxService::Options options;
        options.holdAt = {-1};
        QVERIFY(service.start(options));
        QTemporaryDir dir;
        const QStringList files = samples::corpus(dir.path(), 1);
        constexpr int repeats = 500;
        QStringList paths;
        for (int i = 0; i < repeats; ++i)
            paths << dir.path();
        SignalLog log;
        auto &s = service.scanner();
        QDBusPendingReply<> call = s.DoDissection(paths);
        QVERIFY(service.hold().waitHeld(-1));
        QDBusPendingReply<int> engine = s.GetEngineType();
        QVERIFY(waitFor([&] { return engine.isFinished(); }, 10000));
        QVERIFY(call.isFinished() && !call.isError());
        // Made after the call was answered, and still found by the walk.
        const QString late = dir.filePath(QStringLiteral("late"));
        QVERIFY(samples::write(late, "x"));
        service.hold().release(-1);
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(finished), 1);
        QCOMPARE(log.all().last().member(), finished);
        const QList<ReceivedSignal> results = log.named(progress);
        QCOMPARE(results.size(), 2 * repeats);
        QCOMPARE(processOf(results.last()), 1.0);
        QSet<QString> reported;
        for (const ReceivedSignal &m : results)
            reported.insert(pathOf(m));
        QCOMPARE(reported, (QSet<QString>{files[0], late}));
        QCOMPARE(service.exitApp(), 0);
    }

    // A pause or stop during the walk gives the walk up instead of waiting for it: a caller may
    // name a tree that takes minutes to list. A resume walks again and scans every file once.
    void pauseOrStopDuringTheWalk_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("answer");
        QTest::newRow("pause") << 0 << pauseFinished;
        QTest::newRow("stop") << 2 << finished;
    }

    void pauseOrStopDuringTheWalk()
    {
        QFETCH(int, status);
        QFETCH(QString, answer);
        SandboxService service;
        SandboxService::Options options;
        options.holdAt = {-1};
        QVERIFY(service.start(options));
        QTemporaryDir dir;
        QStringList files = samples::corpus(dir.path(), 3);
        files.sort();
        SignalLog log;
        auto &s = service.scanner();
        s.DoDissection({dir.path()}).waitForFinished();
        QVERIFY(service.hold().waitHeld(-1));
        service.hold().releaseWhenPaused(-1);
        s.SetDissectionStatus(status).waitForFinished();
        QVERIFY(log.waitFor(answer));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(progress), 0);

        log.clear();
        s.SetDissectionStatus(1).waitForFinished();
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(finished), 1);
        QStringList scanned;
        for (const ReceivedSignal &m : log.named(progress))
            scanned << pathOf(m);
        scanned.sort();
        QCOMPARE(scanned, files);
        QCOMPARE(processOf(log.named(progress).last()), 1.0);
        QCOMPARE(service.exitApp(), 0);
    }

    void engineChangeWhilePausedKeepsTheTaskOnItsEngine()
    {
        SandboxService service;
        QVERIFY(service.start(heldBeforeSecondFile()));
        QTemporaryDir dir;
        samples::corpus(dir.path(), manyFiles, {manyFiles - 1});
        SignalLog log;
        auto &s = service.scanner();
        QVERIFY(pauseAtFirstResult(service, dir.path(), log));
        s.SetEngineType(0).waitForFinished();
        s.SetDissectionStatus(1).waitForFinished();
        QVERIFY(log.waitFor(finished));
        // The Ah job finished its task: ClamAV's name, the whole list, one end.
        const QList<ReceivedSignal> results = log.named(progress);
        QCOMPARE(processOf(results.last()), 1.0);
        for (const ReceivedSignal &m : results)
            if (pathOf(m) == dir.filePath(lastName()))
                QCOMPARE(m.arguments().at(3).toString(),
                         QStringLiteral("EICAR-Test-File.UNOFFICIAL"));
        QCOMPARE(detections(results), QStringList{dir.filePath(lastName())});
        QCOMPARE(s.GetEngineType().value(), 0);
        // The next scan takes the new engine.
        log.clear();
        s.DoDissection({dir.filePath(lastName())}).waitForFinished();
        QVERIFY(log.waitFor(finished));
        QCOMPARE(log.named(progress).first().arguments().at(3).toString(),
                 QStringLiteral("EICAR_Test_File"));
        QCOMPARE(service.exitApp(), 0);
    }

    void withoutSettingsDaemon()
    {
        SandboxService service;
        SandboxService::Options options;
        options.withSettingsStub = false;
        QVERIFY(service.start(options));
        auto &s = service.scanner();
        QCOMPARE(s.GetEngineType().value(), 0);
        QTemporaryDir dir;
        samples::write(dir.filePath("small"), QByteArray(1023, 'a'));
        samples::write(dir.filePath("large"), QByteArray(1024, 'a'));
        samples::write(service.path(snx::names::installRoot() + "/inside"), "x");
        SignalLog log;
        // No size limit without the daemon: every file is scanned. Install directory excluded.
        s.DoDissection({dir.path(), service.path(snx::names::installRoot())}).waitForFinished();
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(progress), 2);
        QStringList scanned{pathOf(log.named(progress).at(0)), pathOf(log.named(progress).at(1))};
        scanned.sort();
        QCOMPARE(scanned, (QStringList{dir.filePath("large"), dir.filePath("small")}));
        QCOMPARE(service.logText().count("settings daemon not readable"), 1);
        QCOMPARE(service.exitApp(), 0);
    }

    void whiteListFromTheDaemonAndItsChanges()
    {
        QTemporaryDir dir;
        samples::write(dir.filePath("skip/a"), "x");
        samples::write(dir.filePath("keep/b"), "x");
        const QString skip = dir.filePath("skip");
        SandboxService service;
        SandboxService::Options options;
        options.settingsArgs =
            QStringList{"--scan-size", "1", "--engine-type", "1", "--white-list", "", skip, skip};
        QVERIFY(service.start(options));
        auto &s = service.scanner();
        QCOMPARE(s.GetEngineType().value(), 1);
        // The engine type read at start-up is written back.
        QVERIFY(
            waitFor([&] { return service.settingsOutput().contains("set virus-engin-type 1"); }));
        auto scanned = [&] {
            SignalLog log;
            s.DoDissection({dir.path()}).waitForFinished();
            log.waitFor(finished);
            QStringList paths;
            for (const ReceivedSignal &m : log.named(progress))
                paths << pathOf(m).mid(dir.path().size());
            return paths;
        };
        // The empty entry was dropped (it would exclude everything); the duplicate counts twice.
        QCOMPARE(scanned(), QStringList{"/keep/b"});
        s.SetScanWhiteList(false, skip).waitForFinished();
        QCOMPARE(scanned(), QStringList{"/keep/b"});
        s.SetScanWhiteList(false, skip).waitForFinished();
        QStringList both = scanned();
        both.sort();
        QCOMPARE(both, (QStringList{"/keep/b", "/skip/a"}));
        // A path that does not exist is ignored.
        s.SetScanWhiteList(true, dir.filePath("missing")).waitForFinished();
        QCOMPARE(scanned().size(), 2);

        s.SetScanFileSize(5).waitForFinished();
        s.SetEngineType(1).waitForFinished();
        QVERIFY(
            waitFor([&] { return service.settingsOutput().contains("set virus-scan-size 5"); }));
        // Not waited for by the service, so it may come after the size.
        QVERIFY(
            waitFor([&] { return service.settingsOutput().count("set virus-engin-type 1") == 2; }));
        QCOMPARE(service.exitApp(), 0);
    }

    void exitDuringAScanWaitsForTheLoop()
    {
        SandboxService service;
        QVERIFY(service.start(heldBeforeSecondFile()));
        QTemporaryDir dir;
        samples::corpus(dir.path(), manyFiles);
        SignalLog log;
        service.scanner().SetEngineType(1).waitForFinished();
        service.scanner().DoDissection({dir.path()}).waitForFinished();
        QVERIFY(service.hold().waitHeld(1));
        // Answered before the loop goes on; the process then ends only once the loop has.
        QDBusPendingReply<> exit = service.scanner().ExitApp();
        exit.waitForFinished();
        QVERIFY(!exit.isError());
        service.hold().release(1);
        QCOMPARE(service.exitApp(), 0);
    }

    // A scan opens only the files its walk listed: a directory of the walk that a user turns
    // into a link meanwhile must not lead the open elsewhere, least of all for root's scan.
    void aLinkPutForAWalkedDirectoryIsNotFollowed()
    {
        QTemporaryDir tmp;
        const QString walked = tmp.filePath("home/sub");
        const QString secret = tmp.filePath("secret");
        QVERIFY(QDir().mkpath(walked) && QDir().mkpath(secret));
        QVERIFY(samples::write(walked + "/bad.com", QByteArray(300, 'x')));
        QVERIFY(samples::write(secret + "/bad.com", samples::eicar));
        SandboxService service;
        SandboxService::Options options;
        options.holdAt = {0};
        QVERIFY(service.start(options));
        SignalLog log;
        auto &s = service.scanner();
        s.SetEngineType(1).waitForFinished();
        s.DoDissection({tmp.filePath("home")}).waitForFinished();
        QVERIFY(service.hold().waitHeld(0));
        QVERIFY(QDir().rename(walked, walked + ".old"));
        QVERIFY(QFile::link(secret, walked));
        service.hold().release(0);
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(progress), 1);
        QCOMPARE(detections(log.named(progress)), QStringList());
        QCOMPARE(service.exitApp(), 0);
    }

    // Past the depth at which the walk keeps directories open, it opens each one again by its
    // path. A directory on that path that a user turns into a link meanwhile must not lead root's
    // walk into a directory elsewhere: the names it lists go to every listener on the bus.
    void aLinkPutForADeepWalkedDirectoryIsNotListed()
    {
        QTemporaryDir tmp;
        const QString deep = tmp.filePath("home") + QStringLiteral("/d").repeated(40);
        const QString flipping = deep + "/p";
        QVERIFY(samples::write(flipping + "/inner/f", "clean"));
        const QString secret = tmp.filePath("secret");
        QVERIFY(samples::write(secret + "/inner/hidden-name", "clean"));
        const QString link = deep + "/link";
        QVERIFY(QFile::link(secret, link));
        SandboxService service;
        QVERIFY(service.start());
        QProcess flipper;
        flipper.start(SandboxService::binary(QStringLiteral("snx-flipper")),
                      {"swap", flipping, link});
        QVERIFY(flipper.waitForStarted());
        QString leaked;
        for (int attempt = 0; attempt < 200 && leaked.isEmpty(); ++attempt) {
            SignalLog log;
            service.scanner().DoDissection({tmp.filePath("home")}).waitForFinished();
            QVERIFY(log.waitFor(finished));
            QVERIFY(log.barrier());
            for (const ReceivedSignal &m : log.named(progress))
                if (m.arguments().at(0).toString().contains(QStringLiteral("hidden-name")))
                    leaked = m.arguments().at(0).toString();
        }
        flipper.kill();
        flipper.waitForFinished();
        QVERIFY2(leaked.isEmpty(), qPrintable(leaked));
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestScanControl)
#include "tst_scancontrol.moc"
