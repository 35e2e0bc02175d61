#pragma once

#include <vector>

namespace snx {

// What the service must do in answer to a scan-control event, in this order.
enum class ScanAction {
    AskJobToPause,      // set the jobs' pause flag: the loop stops after the file in progress
    QuitThread,         // ask the run's engine thread to quit once its loop has returned
    RelayQueuedReports, // deliver the reports of the previous run that are still queued
    BeginNewRun,        // take the requested scan as the run's and feed newRunBegins()
    ReplayDeferredCall, // feed deferredCallReplayed() with whether the thread runs now
    TakeStoppedScan,    // take the requested scan as the run's, its new task prepared, not started
    BeginResumedRun,    // feed resumedRunBegins(): the queued reports are relayed
    PrepareNewTask,     // hand the job a new task
    PrepareResumedTask, // let the job go on with its kept task and place
    StartThread,        // start the run's engine thread
    ResetEngineStatus,  // engineStatus = 0
    EmitPauseFinished,  // SendPauseDissectionFinished
    EmitFinished,       // SendDissectionFinished
    LogResumeIgnored,   // a resume while the scan runs and is not paused
};
using ScanActions = std::vector<ScanAction>;

// The bookkeeping of pause, resume and stop: events in, actions out. Knows nothing of threads
// or jobs; the caller says whether the run's engine thread is running and carries out the
// actions.
//
// A pause or stop stands from its call until the next run begins, also after the scan ended:
// reports of the halted run that are still on their way answer it, each one. A pause or stop
// that reaches the loop after its last report was relayed is answered by the end of the thread
// instead; a resume that comes while the paused loop still finishes its file is carried out
// there too.
class ScanState
{
public:
    enum class Phase {
        Idle,      // no live scan
        Running,   // a run is live, nothing asked of it
        Pausing,   // pause asked, the loop has not answered yet
        Paused,    // pause answered (or asked while the thread stood)
        Stopping,  // stop asked, the loop has not answered yet
        Replacing, // a new scan waits for the end of the previous run's thread
    };

    Phase phase() const;
    // Live from a run's start until it ends or is stopped; paused counts as live, and so does a
    // new scan that waits for the previous run's thread.
    bool live() const { return runLive || replacePending; }
    // A new scan was asked for while the previous run's thread still ran; it begins once that
    // thread has ended. Its caller steers it meanwhile.
    bool replacing() const { return replacePending; }

    // DoDissection: first halt and settle the previous run, then begin the new one. The caller
    // keeps the requested scan until BeginNewRun; a later request replaces it.
    ScanActions newScanCalled(bool threadRunning);
    ScanActions newRunBegins();
    // SetDissectionStatus 0, 1 and any other value.
    ScanActions pauseCalled(bool threadRunning);
    ScanActions resumeCalled(bool threadRunning);
    ScanActions stopCalled(bool threadRunning);
    // The next pause or resume that came while a new scan waited for the previous thread.
    ScanActions deferredCallReplayed(bool threadRunning);
    // After RelayQueuedReports of a resume.
    ScanActions resumedRunBegins();
    // The job's result was relayed to the bus.
    ScanActions reportRelayed();
    // The job reported the end of its list.
    ScanActions jobFinished();
    // The run's engine thread has ended.
    ScanActions threadEnded();

private:
    ScanActions finish();
    ScanActions resumeRun();
    ScanActions settleReplace();
    ScanActions replayDeferred();
    void deferCall(bool pause);

    // Pause and resume calls that came while a new scan waited, in order: true for a pause.
    std::vector<bool> deferredCalls;
    bool replacePending = false;
    bool replaceStopped = false;

    bool runLive = false;
    bool pauseStands = false;
    bool stopStands = false;
    // Owed by the end of the engine thread.
    bool pauseAnswerOwed = false;
    bool finishOwed = false;
    bool resumeOwed = false;
};

} // namespace snx
