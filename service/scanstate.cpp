#include "service/scanstate.h"

#include <cstddef>

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
    if (replacePending)
        return Phase::Replacing;
    if (!runLive)
        return Phase::Idle;
    if (stopStands)
        return Phase::Stopping;
    if (pauseStands)
        return pauseAnswerOwed ? Phase::Pausing : Phase::Paused;
    return Phase::Running;
}

// A job's inputs must never change under its scan loop: stop whichever run still goes and relay
// what it reported (its end included), so nothing of it is taken for the new run. Waiting for the
// loop's file here would hold every caller of the service as long as that file takes: the new
// run begins when the thread has ended instead.
ScanActions ScanState::newScanCalled(bool threadRunning)
{
    resumeOwed = false;
    if (replacePending) {
        // The previous run was asked to halt already; the newest request is the one that begins.
        replaceStopped = false;
        deferredCalls.clear();
        return {};
    }
    if (threadRunning) {
        replacePending = true;
        return {A::AskJobToPause, A::QuitThread};
    }
    return {A::RelayQueuedReports, A::BeginNewRun};
}

// Pauses and resumes that came while the run waited act on it now, as if they had come right
// after it began.
ScanActions ScanState::newRunBegins()
{
    pauseStands = false;
    stopStands = false;
    runLive = true;
    ScanActions actions{A::PrepareNewTask, A::StartThread};
    append(actions, replayDeferred());
    return actions;
}

ScanActions ScanState::replayDeferred()
{
    return ScanActions(deferredCalls.size(), A::ReplayDeferredCall);
}

// A caller repeating pause and resume while the new scan waits must not grow the list: a call
// like the last one changes nothing, and a pause after a pause and a resume leaves what the first
// pause left. At most a resume, a pause and a resume remain.
void ScanState::deferCall(bool pause)
{
    if (!deferredCalls.empty() && deferredCalls.back() == pause)
        return;
    const std::size_t calls = deferredCalls.size();
    if (pause && calls >= 2 && deferredCalls[calls - 2]) {
        deferredCalls.pop_back();
        return;
    }
    deferredCalls.push_back(pause);
}

ScanActions ScanState::deferredCallReplayed(bool threadRunning)
{
    if (deferredCalls.empty())
        return {};
    const bool pause = deferredCalls.front();
    deferredCalls.erase(deferredCalls.begin());
    return pause ? pauseCalled(threadRunning) : resumeCalled(threadRunning);
}

// The previous run's thread has ended and its reports are relayed: the waiting scan begins, or,
// stopped while it waited, ends without having scanned anything.
ScanActions ScanState::settleReplace()
{
    replacePending = false;
    ScanActions actions{A::RelayQueuedReports};
    if (!replaceStopped) {
        actions.push_back(A::BeginNewRun);
        return actions;
    }
    // It is the stopped scan from now on: a resume starts it.
    actions.push_back(A::TakeStoppedScan);
    replaceStopped = false;
    runLive = false;
    pauseStands = false;
    stopStands = true;
    finishOwed = false;
    pauseAnswerOwed = false;
    actions.push_back(A::ResetEngineStatus);
    actions.push_back(A::EmitFinished);
    append(actions, replayDeferred());
    return actions;
}

ScanActions ScanState::pauseCalled(bool threadRunning)
{
    if (replacePending) {
        deferCall(true);
        return {};
    }
    // Whatever comes after a resume that still waits for its loop replaces it.
    resumeOwed = false;
    pauseStands = true;
    pauseAnswerOwed = threadRunning;
    return {A::AskJobToPause, A::QuitThread};
}

ScanActions ScanState::resumeCalled(bool threadRunning)
{
    if (replacePending) {
        deferCall(false);
        return {};
    }
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
    if (replacePending) {
        // Cancels the waiting scan; the calls before it no longer matter.
        replaceStopped = true;
        deferredCalls.clear();
        return {};
    }
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
    if (replacePending)
        append(actions, settleReplace());
    return actions;
}

// A scan ends once: late reports of a stopped run, the end of its list or of its thread after
// that, add nothing; a resume that waited for the loop has nothing left to resume.
ScanActions ScanState::finish()
{
    finishOwed = false;
    pauseAnswerOwed = false;
    resumeOwed = false;
    if (!runLive)
        return {};
    runLive = false;
    return {A::ResetEngineStatus, A::QuitThread, A::EmitFinished};
}

} // namespace snx
