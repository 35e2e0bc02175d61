// Scan control: settings at start-up, starting, pausing, resuming and stopping a scan, and the
// relay of the jobs' results to the bus.
#include "service/operatedbusdata.h"

#include "core/fsidentity.h"
#include "core/logging.h"
#include "core/pathopen.h"
#include "engines/filewalk.h"
#include "engines/virusscanjob.h"
#include "invoker/dbusinvokerinterface.h"
#include "invoker/invokerfactory.h"
#include "invoker/settingsdaemon.h"
#include "invoker/settingsreply.h"

#include <QCoreApplication>
#include <QDBusVariant>
#include <QFile>
#include <QThread>
#include <malloc.h>
#include <sys/stat.h>

namespace sd = snx::settingsdaemon;

namespace {
// Whether `path` is a file or directory for the caller: what it cannot reach does not exist for
// it, and neither does what lies behind a /proc magic link, which the service's right to trace
// processes would open. An entry is taken only for what exists, so it would tell the caller.
bool callerSeesFileOrDirectory(const snx::CallerIdentity &caller, const QString &path)
{
    snx::FsIdentityScope scope(caller);
    struct stat st;
    return scope.active() && snx::statRequestedPath(QFile::encodeName(path).constData(), st) &&
           (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode));
}

// A user's own white list cannot grow without bound in the service's memory.
constexpr int maxUserWhiteListEntries = 1024;
} // namespace

void OperateDBusData::readStartupSettings()
{
    settingsInvoker = InvokerFactory::instance()->createDBusInvoker(
        sd::service, sd::path, sd::interface, sd::busType, this);
    const QStringList whiteList = snx::settingsreply::stringListOf(
        settingsInvoker->invoke(sd::queryScanWhiteList, {}, sd::readMode));
    for (const QString &entry : whiteList)
        if (!entry.isEmpty())
            scanWhiteList.append(entry);
    scanWhiteList.append(config.installDir);

    const QVariant size = snx::settingsreply::variantOf(
        settingsInvoker->invoke(sd::getSysSettingValue, {sd::scanSizeKey}, sd::readMode));
    bool sizeRead = false;
    scanFileSize = size.toInt(&sizeRead);
    if (!sizeRead) {
        // Scanning almost nothing while reporting success would be worse than scanning all.
        scanFileSize = snx::noSizeLimit;
        qCWarning(lcScanner) << "settings daemon not readable: scanning files of every size, "
                                "with the Ris engine, until a caller sets otherwise";
    }
    SetEngineType(
        snx::settingsreply::variantOf(
            settingsInvoker->invoke(sd::getSysSettingValue, {sd::engineTypeKey}, sd::readMode))
            .toInt());
}

void OperateDBusData::StartApp()
{
}

void OperateDBusData::ExitApp()
{
    if (!verifyCaller()) {
        if (callerRefusalLogged)
            qCWarning(lcScanner) << "Exit app failed:"
                                 << "invalid invoker!";
        return;
    }
    if (scanState.live() && scanBelongsToOther()) {
        refuseBusy();
        return;
    }
    QCoreApplication::quit();
}

void OperateDBusData::SetEngineType(int type)
{
    engineType = type;
    settingsInvoker->invoke(sd::setSysSettingValue,
                            {sd::engineTypeKey, QVariant::fromValue(QDBusVariant(type))},
                            sd::engineTypeWriteMode);
}

int OperateDBusData::GetEngineType()
{
    return engineType;
}

QThread *OperateDBusData::threadOf(Engine engine) const
{
    return engineWorkers[engine].thread;
}

void OperateDBusData::prepareJob(Engine engine, bool isNewTask)
{
    engineWorkers[engine].job->prepareDissection(isNewTask, scanPaths, whiteListFor(scanOwner),
                                                 fileSizeFor(scanOwner), scanOwner);
}

// A new scan that waits for the previous run's thread is the one its caller steers.
const snx::CallerIdentity &OperateDBusData::steeringOwner() const
{
    return scanState.replacing() ? requestedScan.owner : scanOwner;
}

bool OperateDBusData::scanBelongsToOther() const
{
    const snx::CallerIdentity &owner = steeringOwner();
    return !currentCaller.isRoot() && owner.known && owner.uid != currentCaller.uid;
}

// Another user's scan is neither cut nor steered; the caller may try again once it ended.
void OperateDBusData::refuseBusy()
{
    sendErrorReply(QDBusError::Failed, QStringLiteral("busy"));
    if (admitRefusalLog())
        qCWarning(lcScanner) << "busy: uid" << currentCaller.uid << "pid" << currentCaller.pid
                             << "may not steer the scan of uid" << steeringOwner().uid;
}

QStringList OperateDBusData::whiteListFor(const snx::CallerIdentity &caller) const
{
    if (caller.isRoot())
        return scanWhiteList;
    return scanWhiteList + userWhiteLists.value(caller.uid);
}

int OperateDBusData::fileSizeFor(const snx::CallerIdentity &caller) const
{
    if (caller.isRoot())
        return scanFileSize;
    return userFileSizes.value(caller.uid, scanFileSize);
}

void OperateDBusData::perform(const snx::ScanActions &actions)
{
    using A = snx::ScanAction;
    for (const A action : actions) {
        switch (action) {
        case A::AskJobToPause:
            emit notifyPauseDissection();
            break;
        case A::QuitThread:
            threadOf(activeEngine)->quit();
            break;
        case A::RelayQueuedReports:
            QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
            break;
        case A::BeginNewRun:
            beginRequestedScan();
            break;
        case A::TakeStoppedScan:
            takeRequestedScan();
            prepareJob(activeEngine, true);
            break;
        case A::ReplayDeferredCall:
            perform(scanState.deferredCallReplayed(threadOf(activeEngine)->isRunning()));
            break;
        case A::BeginResumedRun:
            perform(scanState.resumedRunBegins());
            break;
        case A::PrepareNewTask:
            prepareJob(activeEngine, true);
            break;
        case A::PrepareResumedTask:
            prepareJob(activeEngine, false);
            break;
        case A::StartThread:
            threadOf(activeEngine)->start(QThread::InheritPriority);
            break;
        case A::ResetEngineStatus:
            engineStatus = 0;
            break;
        case A::EmitPauseFinished:
            emit SendPauseDissectionFinished();
            break;
        case A::EmitFinished:
            emit SendDissectionFinished();
            break;
        case A::LogResumeIgnored:
            qCWarning(lcScanner) << "resume ignored: the scan is not paused";
            break;
        }
    }
}

void OperateDBusData::DoDissection(QStringList filepaths)
{
    if (!verifyCaller()) {
        if (callerRefusalLogged)
            qCWarning(lcScanner) << "invalid invoker!";
        return;
    }
    if (scanState.live() && scanBelongsToOther()) {
        refuseBusy();
        return;
    }
    // The job looks at the paths with the caller's rights when its run starts: a long list or a
    // large tree must not hold the service.
    requestedScan = {filepaths, currentCaller, engineType};
    perform(scanState.newScanCalled(threadOf(activeEngine)->isRunning()));
}

void OperateDBusData::takeRequestedScan()
{
    problemFiles.clear();
    scanPaths = requestedScan.paths;
    scanOwner = requestedScan.owner;
    activeEngine = engineOf(requestedScan.engineType);
    requestedScan = {};
}

void OperateDBusData::beginRequestedScan()
{
    takeRequestedScan();
    reloadSignatures();
    perform(scanState.newRunBegins());
}

void OperateDBusData::SetDissectionStatus(int status)
{
    if (!verifyCaller()) {
        if (callerRefusalLogged)
            qCWarning(lcScanner) << "invalid invoker!";
        return;
    }
    if (scanBelongsToOther()) {
        refuseBusy();
        return;
    }
    dissectionStatus = status;
    const bool threadRunning = threadOf(activeEngine)->isRunning();
    if (status == 0)
        perform(scanState.pauseCalled(threadRunning));
    else if (status == 1)
        perform(scanState.resumeCalled(threadRunning));
    else
        perform(scanState.stopCalled(threadRunning));
    giveMemoryBack();
}

int OperateDBusData::GetDissectionStatus()
{
    return dissectionStatus;
}

void OperateDBusData::SetEngineStatus(int status)
{
    if (!verifyCaller()) {
        if (callerRefusalLogged)
            qCWarning(lcScanner) << "invalid invoker!";
        return;
    }
    engineStatus = status;
}

int OperateDBusData::GetEngineStatus()
{
    return engineStatus;
}

void OperateDBusData::SetScanWhiteList(bool bFlag, QString sPath)
{
    if (!verifyCaller()) {
        if (callerRefusalLogged)
            qCWarning(lcScanner) << "invalid invoker!";
        return;
    }
    if (!callerSeesFileOrDirectory(currentCaller, sPath))
        return;
    // One user's entries must not hide another user's files: only root's apply to every scan.
    QStringList &list = currentCaller.isRoot() ? scanWhiteList : userWhiteLists[currentCaller.uid];
    if (!bFlag) {
        list.removeOne(sPath);
    } else if (currentCaller.isRoot() || list.size() < maxUserWhiteListEntries) {
        list.append(sPath);
    } else if (admitRefusalLog()) {
        qCWarning(lcScanner) << "white list of uid" << currentCaller.uid << "full:" << sPath
                             << "not added";
    }
}

void OperateDBusData::SetScanFileSize(int nSize)
{
    if (!verifyCaller()) {
        if (callerRefusalLogged)
            qCWarning(lcScanner) << "invalid invoker!";
        return;
    }
    // A user's limit applies to that user's scans alone; only root's is the system's setting.
    if (!currentCaller.isRoot()) {
        userFileSizes.insert(currentCaller.uid, nSize);
        return;
    }
    scanFileSize = nSize;
    settingsInvoker->invoke(sd::setSysSettingValue,
                            {sd::scanSizeKey, QVariant::fromValue(QDBusVariant(nSize))},
                            sd::scanSizeWriteMode);
}

void OperateDBusData::SetProblemFileOperatingSum(int count)
{
    operatingSum = count;
}

int OperateDBusData::GetProblemFileOperatingSum()
{
    return operatingSum;
}

void OperateDBusData::doDissectionResult(QString filepath, double process, int eType, QString vname)
{
    if (auto *job = qobject_cast<VirusScanJob *>(sender()))
        job->resultRelayed();
    if (eType != 0)
        problemFiles.append(filepath);
    // A user's trust speaks for that user's scans only; root's for every scan.
    const auto owners = trustedBy.constFind(filepath);
    const bool trusted =
        owners != trustedBy.constEnd() &&
        (owners->contains(0) || (scanOwner.known && owners->contains(scanOwner.uid)));
    const int reportedType = trusted ? 0 : eType;
    progressSignal.send(filepath, process, reportedType, vname);
    perform(scanState.reportRelayed());
}

void OperateDBusData::engineThreadFinished()
{
    if (sender() != threadOf(activeEngine))
        return;
    perform(scanState.threadEnded());
    giveMemoryBack();
}

// The end of a scan freed its list and engine, but the allocator keeps freed pages for reuse:
// after a large scan that would hold the service at its peak for good. A paused scan keeps
// its memory for the resume.
void OperateDBusData::giveMemoryBack()
{
    if (!scanState.live() && !threadOf(activeEngine)->isRunning())
        ::malloc_trim(0);
}

void OperateDBusData::doDissectionFinished()
{
    perform(scanState.jobFinished());
}
