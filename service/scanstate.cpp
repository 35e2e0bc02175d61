#include "service/scanstate.h"

namespace snx {

using A = ScanAction;

namespace {
void append(ScanActions &to, const ScanActions &more)
{
    to.insert(to.end(), more.begin(), more.end());
}
} // namespace

ScanState::Phase ScanState::phase() const
{
    if (!runLive)
        return Phase::Idle;
    if (stopStands)
        return Phase::Stopping;
    if (pauseStands)
        return pauseAnswerOwed ? Phase::Pausing : Phase::Paused;
    return Phase::Running;
}

// A job's inputs must never change under its scan loop: stop whichever run still goes, wait for
// its loop, and relay what it reported (its end included), so nothing of it is taken for the new
// run.
ScanActions ScanState::newScanCalled(bool threadRunning)
{
    resumeOwed = false;
    if (threadRunning)
        return {A::AskJobToPause, A::QuitThread, A::WaitForThread, A::RelayQueuedReports};
    return {A::RelayQueuedReports};
}

ScanActions ScanState::newRunBegins()
{
    pauseStands = false;
    stopStands = false;
    runLive = true;
    return {A::PrepareNewTask, A::StartThread};
}

ScanActions ScanState::pauseCalled(bool threadRunning)
{
    // Whatever comes after a resume that still waits for its loop replaces it.
    resumeOwed = false;
    pauseStands = true;
    pauseAnswerOwed = threadRunning;
    return {A::AskJobToPause, A::QuitThread};
}

ScanActions ScanState::resumeCalled(bool threadRunning)
{
    resumeOwed = false;
    if (!threadRunning)
        return resumeRun();
    if (pauseStands) {
        // The paused loop is still finishing its file; preparing the job now would change the
        // task under it.
        resumeOwed = true;
        return {};
    }
    return {A::LogResumeIgnored};
}

ScanActions ScanState::stopCalled(bool threadRunning)
{
    resumeOwed = false;
    if (pauseStands) {
        // Already halted: nothing is left to wait for.
        runLive = false;
        return {A::ResetEngineStatus, A::EmitFinished};
    }
    stopStands = true;
    finishOwed = threadRunning;
    return {A::AskJobToPause, A::QuitThread};
}

// The end of the paused run may still be on its way; it belongs to that run.
ScanActions ScanState::resumeRun()
{
    return {A::RelayQueuedReports, A::BeginResumedRun};
}

ScanActions ScanState::resumedRunBegins()
{
    pauseStands = false;
    stopStands = false;
    runLive = true;
    return {A::PrepareResumedTask, A::StartThread};
}

ScanActions ScanState::reportRelayed()
{
    ScanActions actions;
    if (stopStands)
        append(actions, finish());
    if (pauseStands) {
        pauseAnswerOwed = false;
        actions.push_back(A::EmitPauseFinished);
    }
    return actions;
}

ScanActions ScanState::jobFinished()
{
    return finish();
}

ScanActions ScanState::threadEnded()
{
    ScanActions actions;
    if (finishOwed)
        append(actions, finish());
    if (pauseAnswerOwed) {
        pauseAnswerOwed = false;
        actions.push_back(A::EmitPauseFinished);
    }
    if (resumeOwed) {
        resumeOwed = false;
        append(actions, resumeRun());
    }
    return actions;
}

ScanActions ScanState::finish()
{
    finishOwed = false;
    pauseAnswerOwed = false;
    runLive = false;
    return {A::ResetEngineStatus, A::QuitThread, A::EmitFinished};
}

} // namespace snx
