// Scan control's bookkeeping alone: sequences of events in, the actions the service must take out,
// in the orders in which the bus, the job and its thread can deliver them.
#include "service/scanstate.h"

#include <QQueue>
#include <QTest>

Q_DECLARE_METATYPE(snx::ScanState::Phase)

namespace {

using snx::ScanAction;
using snx::ScanActions;
using snx::ScanState;

QString nameOf(ScanAction action)
{
    switch (action) {
    case ScanAction::AskJobToPause:
        return QStringLiteral("askPause");
    case ScanAction::QuitThread:
        return QStringLiteral("quit");
    case ScanAction::RelayQueuedReports:
        return QStringLiteral("relay");
    case ScanAction::BeginNewRun:
        return QStringLiteral("beginNew");
    case ScanAction::ReplayDeferredCall:
        return QStringLiteral("replay");
    case ScanAction::TakeStoppedScan:
        return QStringLiteral("takeStopped");
    case ScanAction::BeginResumedRun:
        return QStringLiteral("begin");
    case ScanAction::PrepareNewTask:
        return QStringLiteral("prepareNew");
    case ScanAction::PrepareResumedTask:
        return QStringLiteral("prepareResumed");
    case ScanAction::StartThread:
        return QStringLiteral("start");
    case ScanAction::ResetEngineStatus:
        return QStringLiteral("status0");
    case ScanAction::EmitPauseFinished:
        return QStringLiteral("PauseFinished");
    case ScanAction::EmitFinished:
        return QStringLiteral("Finished");
    case ScanAction::LogResumeIgnored:
        return QStringLiteral("resumeIgnored");
    }
    return QStringLiteral("?");
}

// Carries out the actions as the service does, with the reports of the job and the end of its
// thread either delivered at once or queued until a relay (or "deliver") hands them over.
class Driver
{
public:
    // One entry per event: what it made the service do, blank-separated; "progress" is the
    // relayed result itself.
    QStringList feed(const QStringList &events)
    {
        QStringList out;
        for (const QString &event : events) {
            done.clear();
            apply(event);
            out << done.join(QLatin1Char(' '));
        }
        return out;
    }

    ScanState state;

private:
    void apply(const QString &event)
    {
        const bool running = event.endsWith(QLatin1String("(running)"));
        const QString name = event.section(QLatin1Char(' '), 0, 0);
        if (name == QLatin1String("start")) {
            perform(state.newScanCalled(running));
        } else if (name == QLatin1String("pause")) {
            perform(state.pauseCalled(running));
        } else if (name == QLatin1String("resume")) {
            perform(state.resumeCalled(running));
        } else if (name == QLatin1String("stop")) {
            perform(state.stopCalled(running));
        } else if (name == QLatin1String("queue")) {
            queued.enqueue(event.section(QLatin1Char(' '), 1));
        } else if (name == QLatin1String("deliver")) {
            relay();
        } else {
            deliver(name);
        }
    }

    void deliver(const QString &report)
    {
        if (report == QLatin1String("result")) {
            done << QStringLiteral("progress");
            perform(state.reportRelayed());
        } else if (report == QLatin1String("finished")) {
            perform(state.jobFinished());
        } else if (report == QLatin1String("ended")) {
            threadRunning = false;
            perform(state.threadEnded());
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown event ") + report));
        }
    }

    void relay()
    {
        while (!queued.isEmpty())
            deliver(queued.dequeue());
    }

    void perform(const ScanActions &actions)
    {
        for (const ScanAction action : actions) {
            done << nameOf(action);
            if (action == ScanAction::RelayQueuedReports)
                relay();
            else if (action == ScanAction::BeginResumedRun)
                perform(state.resumedRunBegins());
            else if (action == ScanAction::BeginNewRun)
                perform(state.newRunBegins());
            else if (action == ScanAction::ReplayDeferredCall)
                perform(state.deferredCallReplayed(threadRunning));
            else if (action == ScanAction::StartThread)
                threadRunning = true;
        }
    }

    QStringList done;
    // For the calls replayed after a new scan waited: the thread the actions started or ended.
    bool threadRunning = false;
    QQueue<QString> queued;
};

} // namespace

class TestScanState : public QObject
{
    Q_OBJECT

private slots:
    void sequences_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<ScanState::Phase>("phase");
        using P = ScanState::Phase;
        const QString begin = QStringLiteral("relay beginNew prepareNew start");
        const QString resumed = QStringLiteral("relay begin prepareResumed start");
        const QString end = QStringLiteral("status0 quit Finished");

        QTest::newRow("scan to its end")
            << QStringList{"start", "result", "result", "finished", "ended"}
            << QStringList{begin, "progress", "progress", end, ""} << P::Idle;
        QTest::newRow("empty scan")
            << QStringList{"start", "finished", "ended"} << QStringList{begin, end, ""} << P::Idle;

        // Pause: the result of the file in progress answers, or else the end of the thread.
        QTest::newRow("pause answered by the file in progress")
            << QStringList{"start", "result", "pause (running)", "result", "ended"}
            << QStringList{begin, "progress", "askPause quit", "progress PauseFinished", ""}
            << P::Paused;
        QTest::newRow("pause still waiting for its file")
            << QStringList{"start", "result", "pause (running)"}
            << QStringList{begin, "progress", "askPause quit"} << P::Pausing;
        QTest::newRow("pause reaching the loop after the last result")
            << QStringList{"start", "result", "pause (running)", "ended"}
            << QStringList{begin, "progress", "askPause quit", "PauseFinished"} << P::Paused;
        QTest::newRow("every result while paused answers once more")
            << QStringList{"start", "pause (running)", "result", "result", "ended"}
            << QStringList{begin, "askPause quit", "progress PauseFinished",
                           "progress PauseFinished", ""}
            << P::Paused;
        QTest::newRow("pause twice")
            << QStringList{"start",  "pause (running)", "pause (running)",
                           "result", "ended",           "pause (stopped)"}
            << QStringList{begin, "askPause quit", "askPause quit", "progress PauseFinished",
                           "",    "askPause quit"}
            << P::Paused;

        // Resume.
        QTest::newRow("resume a paused scan")
            << QStringList{"start",  "pause (running)", "result", "ended", "resume (stopped)",
                           "result", "finished",        "ended"}
            << QStringList{begin,
                           "askPause quit",
                           "progress PauseFinished",
                           "",
                           resumed,
                           "progress",
                           end,
                           ""}
            << P::Idle;
        QTest::newRow("resume while the paused loop still finishes its file")
            << QStringList{"start", "pause (running)", "resume (running)", "result", "ended"}
            << QStringList{begin, "askPause quit", "", "progress PauseFinished", resumed}
            << P::Running;
        QTest::newRow("resume deferred, pause reaching the loop after the last result")
            << QStringList{"start", "result", "pause (running)", "resume (running)", "ended"}
            << QStringList{begin, "progress", "askPause quit", "", "PauseFinished " + resumed}
            << P::Running;
        QTest::newRow("a resume deferred past the last file has nothing left to resume")
            << QStringList{"start",  "pause (running)", "resume (running)",
                           "result", "finished",        "ended"}
            << QStringList{begin, "askPause quit", "", "progress PauseFinished", end, ""}
            << P::Idle;
        QTest::newRow("a pause after a deferred resume replaces it")
            << QStringList{"start",           "pause (running)", "resume (running)",
                           "pause (running)", "result",          "ended"}
            << QStringList{begin,           "askPause quit",          "",
                           "askPause quit", "progress PauseFinished", ""}
            << P::Paused;
        QTest::newRow("resume while the end of the paused run is still queued")
            << QStringList{"start", "pause (running)", "queue result", "queue ended",
                           "resume (stopped)"}
            << QStringList{begin, "askPause quit", "", "",
                           "relay progress PauseFinished begin prepareResumed start"}
            << P::Running;
        QTest::newRow("resume when not paused")
            << QStringList{"start", "result", "resume (running)", "result"}
            << QStringList{begin, "progress", "resumeIgnored", "progress"} << P::Running;
        QTest::newRow("resume after a finished scan")
            << QStringList{"start", "result", "finished", "ended", "resume (stopped)", "finished"}
            << QStringList{begin, "progress", end, "", resumed, end} << P::Idle;

        // Stop: the result of the file in progress ends the scan, or else the end of the thread.
        QTest::newRow("stop answered by the file in progress")
            << QStringList{"start", "result", "stop (running)", "result", "ended"}
            << QStringList{begin, "progress", "askPause quit", "progress " + end, ""} << P::Idle;
        QTest::newRow("stop still waiting for its file")
            << QStringList{"start", "stop (running)"} << QStringList{begin, "askPause quit"}
            << P::Stopping;
        QTest::newRow("stop reaching the loop after the last result")
            << QStringList{"start", "result", "stop (running)", "ended"}
            << QStringList{begin, "progress", "askPause quit", end} << P::Idle;
        QTest::newRow("stop after the last result of the list")
            << QStringList{"start", "result", "stop (running)", "finished", "ended"}
            << QStringList{begin, "progress", "askPause quit", end, ""} << P::Idle;
        // A scan ends once, whatever of it comes late.
        QTest::newRow("a stopped run ends once, however many results follow")
            << QStringList{"start", "stop (running)", "result", "result", "ended"}
            << QStringList{begin, "askPause quit", "progress " + end, "progress", ""} << P::Idle;
        QTest::newRow("stop answered by the last file of the list")
            << QStringList{"start", "stop (running)", "result", "finished", "ended"}
            << QStringList{begin, "askPause quit", "progress " + end, "", ""} << P::Idle;
        QTest::newRow("stop after the end of the list, before the end of the thread")
            << QStringList{"start", "result", "finished", "stop (running)", "ended"}
            << QStringList{begin, "progress", end, "askPause quit", ""} << P::Idle;
        QTest::newRow("stop while pausing on the last file")
            << QStringList{"start",  "pause (running)", "stop (running)",
                           "result", "finished",        "ended"}
            << QStringList{begin, "askPause quit", "status0 Finished", "progress PauseFinished", "",
                           ""}
            << P::Idle;
        QTest::newRow("stop while paused")
            << QStringList{"start", "pause (running)", "result", "ended", "stop (stopped)"}
            << QStringList{begin, "askPause quit", "progress PauseFinished", "", "status0 Finished"}
            << P::Idle;
        QTest::newRow("stop while pausing")
            << QStringList{"start", "pause (running)", "stop (running)", "result", "ended"}
            << QStringList{begin, "askPause quit", "status0 Finished", "progress PauseFinished", ""}
            << P::Idle;
        QTest::newRow("pause after the last result, then stop")
            << QStringList{"start", "result", "pause (running)", "ended", "stop (stopped)"}
            << QStringList{begin, "progress", "askPause quit", "PauseFinished", "status0 Finished"}
            << P::Idle;
        QTest::newRow("stop then pause before the loop answers")
            << QStringList{"start", "stop (running)", "pause (running)", "result", "ended"}
            << QStringList{begin, "askPause quit", "askPause quit",
                           "progress " + end + " PauseFinished", ""}
            << P::Idle;
        QTest::newRow("a stopped scan resumes where it stopped")
            << QStringList{"start", "stop (running)", "result", "ended", "resume (stopped)"}
            << QStringList{begin, "askPause quit", "progress " + end, "", resumed} << P::Running;
        QTest::newRow("stop while idle only stands until the next scan")
            << QStringList{"stop (stopped)", "start", "result", "finished"}
            << QStringList{"askPause quit", begin, "progress", end} << P::Idle;

        // A new scan halts the old run and takes in all it reported before it begins, without
        // waiting for the old loop's file: it begins once the old run's thread has ended.
        QTest::newRow("new scan while running")
            << QStringList{"start",           "result",  "queue result", "queue ended",
                           "start (running)", "deliver", "result"}
            << QStringList{begin,           "progress",          "",        "",
                           "askPause quit", "progress " + begin, "progress"}
            << P::Running;
        QTest::newRow("new scan waits for the old run's thread")
            << QStringList{"start", "result", "start (running)", "result"}
            << QStringList{begin, "progress", "askPause quit", "progress"} << P::Replacing;
        QTest::newRow("new scan begins when the old run's thread ends")
            << QStringList{"start", "start (running)", "result", "ended", "result"}
            << QStringList{begin, "askPause quit", "progress", begin, "progress"} << P::Running;
        QTest::newRow("old run ends its list while a new scan waits")
            << QStringList{"start", "start (running)", "result", "finished", "ended"}
            << QStringList{begin, "askPause quit", "progress", end, begin} << P::Running;
        QTest::newRow("new scan twice before the old thread ends")
            << QStringList{"start", "start (running)", "start (running)", "result", "ended"}
            << QStringList{begin, "askPause quit", "", "progress", begin} << P::Running;
        QTest::newRow("new scan while the old thread's end is queued")
            << QStringList{"start", "start (running)", "queue ended", "start", "deliver"}
            << QStringList{begin, "askPause quit", "", "", begin} << P::Running;
        QTest::newRow("stop cancels a waiting new scan")
            << QStringList{"start", "start (running)", "stop (running)", "result", "ended"}
            << QStringList{begin, "askPause quit", "", "progress",
                           "relay takeStopped status0 Finished"}
            << P::Idle;
        QTest::newRow("resume starts a new scan stopped while it waited")
            << QStringList{"start", "start (running)",  "stop (running)",
                           "ended", "resume (stopped)", "result"}
            << QStringList{begin,   "askPause quit", "", "relay takeStopped status0 Finished",
                           resumed, "progress"}
            << P::Running;
        QTest::newRow("a new scan after the stop waits again")
            << QStringList{"start",           "start (running)", "stop (running)",
                           "start (running)", "result",          "ended"}
            << QStringList{begin, "askPause quit", "", "", "progress", begin} << P::Running;
        QTest::newRow("pause while a new scan waits pauses it once begun")
            << QStringList{"start",  "start (running)", "pause (running)",
                           "result", "ended",           "result"}
            << QStringList{begin,
                           "askPause quit",
                           "",
                           "progress",
                           begin + " replay askPause quit",
                           "progress PauseFinished"}
            << P::Paused;
        QTest::newRow("pause and resume while a new scan waits")
            << QStringList{"start",  "start (running)", "pause (running)", "resume (running)",
                           "result", "ended",           "result",          "ended"}
            << QStringList{begin,
                           "askPause quit",
                           "",
                           "",
                           "progress",
                           begin + " replay askPause quit replay",
                           "progress PauseFinished",
                           resumed}
            << P::Running;
        QTest::newRow("pauses and resumes while a new scan waits come to the last two")
            << QStringList{"start",
                           "start (running)",
                           "resume (running)",
                           "resume (running)",
                           "pause (running)",
                           "pause (running)",
                           "resume (running)",
                           "pause (running)",
                           "resume (running)",
                           "result",
                           "ended"}
            << QStringList{begin,
                           "askPause quit",
                           "",
                           "",
                           "",
                           "",
                           "",
                           "",
                           "",
                           "progress",
                           begin + " replay resumeIgnored replay askPause quit replay"}
            << P::Pausing;
        QTest::newRow("pause after a stop of a waiting new scan")
            << QStringList{"start", "start (running)", "stop (running)", "pause (running)", "ended"}
            << QStringList{begin, "askPause quit", "", "",
                           "relay takeStopped status0 Finished replay askPause quit"}
            << P::Idle;
        QTest::newRow("new scan while paused")
            << QStringList{"start", "pause (running)", "result", "ended", "start", "result"}
            << QStringList{begin, "askPause quit", "progress PauseFinished", "", begin, "progress"}
            << P::Running;
        QTest::newRow("new scan while the end of a stopped run is queued")
            << QStringList{"start", "result", "stop (running)", "queue ended", "start", "deliver"}
            << QStringList{begin,
                           "progress",
                           "askPause quit",
                           "",
                           "relay " + end + " beginNew prepareNew start",
                           ""}
            << P::Running;
        QTest::newRow("new scan cancels a deferred resume")
            << QStringList{"start",       "pause (running)", "resume (running)", "queue result",
                           "queue ended", "start (running)", "deliver"}
            << QStringList{begin,
                           "askPause quit",
                           "",
                           "",
                           "",
                           "askPause quit",
                           "progress PauseFinished " + begin}
            << P::Running;
    }

    void sequences()
    {
        QFETCH(QStringList, events);
        QFETCH(QStringList, actions);
        QFETCH(ScanState::Phase, phase);
        Driver driver;
        QCOMPARE(driver.feed(events), actions);
        QCOMPARE(driver.state.phase(), phase);
        QCOMPARE(driver.state.live(), phase != ScanState::Phase::Idle);
    }
};

QTEST_APPLESS_MAIN(TestScanState)
#include "tst_scanstate.moc"
