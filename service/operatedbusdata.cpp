#include "service/operatedbusdata.h"

#include "service/buscredentials.h"

#include "cache/filecachedb.h"
#include "core/logging.h"
#include "engines/ahvirusscanjob.h"
#include "engines/risvirusscanjob.h"
#include "engines/signatureloader.h"
#include "scanneradaptor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <pwd.h>

namespace {

// Refusal counts are timed on a clock that does not jump with the wall clock.
qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A path of PATH_MAX bytes or more names nothing that can be opened, and would carry its size
// into every signal that reports it.
bool withinPathMax(const QVariant &argument)
{
    const auto fits = [](const QString &s) {
        return s.size() * 3 < PATH_MAX || QFile::encodeName(s).size() < PATH_MAX;
    };
    if (argument.userType() == QMetaType::QString)
        return fits(argument.toString());
    if (argument.userType() == QMetaType::QStringList) {
        const QStringList list = argument.toStringList();
        return std::all_of(list.cbegin(), list.cend(), fits);
    }
    return true;
}

} // namespace

OperateDBusData::OperateDBusData(const snx::ScannerConfig &scannerConfig, QObject *parent)
    : QObject(parent), config(scannerConfig), callerCheck(scannerConfig),
      progressSignal(
          QDBusConnection::systemBus(), scannerConfig.objectPath,
          QString::fromLatin1(
              ScannerAdaptor::staticMetaObject
                  .classInfo(ScannerAdaptor::staticMetaObject.indexOfClassInfo("D-Bus Interface"))
                  .value()))
{
    adaptor = new ScannerAdaptor(this);

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerService(config.serviceName) ||
        !bus.registerObject(config.objectPath, this, QDBusConnection::ExportAdaptors)) {
        qCWarning(lcScanner) << "dbus service already registered! " << config.objectPath;
        // Nothing to unwind: no thread or file is open yet.
        std::exit(0);
    }

    readStartupSettings();
    openScanCache();
    createSignatureLoader();
    createEngineWorkers();
    createDatabaseWorker();
    QueryTrustProblemFiles();
}

namespace {
// Once a worker's thread has been waited for, before the worker is freed.
void threadWaitedFor(VirusScanJob *job)
{
    if (job)
        job->threadWaitedFor();
}
void threadWaitedFor(QObject *)
{
}
} // namespace

OperateDBusData::~OperateDBusData()
{
    // A running scan delays the exit until its loop has returned; the workers are freed only
    // once their threads have ended, so nothing runs in them any more.
    auto stop = [](QThread *&thread, auto *&worker) {
        if (!thread)
            return;
        thread->quit();
        thread->wait();
        threadWaitedFor(worker);
        delete worker;
        worker = nullptr;
        delete thread;
        thread = nullptr;
    };
    for (EngineWorker &worker : engineWorkers) {
        // Results sent from here on are never taken: the loop must not wait for them.
        if (worker.job)
            worker.job->stopWaitingForRelay();
        stop(worker.thread, worker.job);
    }
    stop(dbThread, fileCacheDb);
    stop(loaderThread, signatureLoader);
}

void OperateDBusData::createSignatureLoader()
{
    // The first load starts at once, so that the first scan finds the signatures compiled.
    loaderThread = new QThread;
    signatureLoader = new SignatureLoader(config);
    signatureLoader->moveToThread(loaderThread);
    connect(loaderThread, &QThread::started, signatureLoader, &SignatureLoader::reloadChanged);
    connect(this, &OperateDBusData::notifyReloadSignatures, signatureLoader,
            &SignatureLoader::reloadChanged);
    loaderThread->start();
}

void OperateDBusData::reloadSignatures()
{
    emit notifyReloadSignatures();
}

void OperateDBusData::createEngineWorkers()
{
    // Engine type values as the settings daemon stores them.
    addEngineWorker(1, new AhVirusScanJob(config));
    addEngineWorker(0, new RisVirusScanJob(config));
    activeEngine = engineWorkers.size() - 1;
}

void OperateDBusData::addEngineWorker(int type, VirusScanJob *job)
{
    auto *thread = new QThread;
    // Some thousand results wait at most: a few hundred KiB, and enough to keep the bus busy.
    job->limitUnrelayedResults(4096);
    job->moveToThread(thread);
    connect(thread, &QThread::started, job, &VirusScanJob::initData);
    connect(thread, &QThread::finished, job, &VirusScanJob::unInitData);
    connect(thread, &QThread::finished, this, &OperateDBusData::engineThreadFinished);
    connect(job, &VirusScanJob::sendDissectionResult, this, &OperateDBusData::doDissectionResult);
    connect(job, &VirusScanJob::sendDissectionFinished, this,
            &OperateDBusData::doDissectionFinished);
    // Direct: the job's own event loop is busy for the whole scan.
    connect(this, &OperateDBusData::notifyPauseDissection, job, &VirusScanJob::pauseDissection,
            Qt::DirectConnection);
    engineWorkers.append({type, thread, job});
}

OperateDBusData::Engine OperateDBusData::engineOf(int type) const
{
    for (int row = 0; row < engineWorkers.size(); ++row)
        if (engineWorkers[row].type == type)
            return row;
    return engineWorkers.size() - 1;
}

void OperateDBusData::createDatabaseWorker()
{
    qRegisterMetaType<snx::ProblemFileChange>();
    qRegisterMetaType<snx::ProblemFileOutcome>();
    dbThread = new QThread;
    fileCacheDb = new FileCacheDb(scanCacheDb, config.quarantineDir, config.userQuarantineQuota);
    fileCacheDb->moveToThread(dbThread);
    connect(dbThread, &QThread::started, fileCacheDb, &FileCacheDb::initData);
    connect(fileCacheDb, &FileCacheDb::sendProblemFileOutcome, this,
            &OperateDBusData::acceptProblemFileOutcome);
    connect(this, &OperateDBusData::notifyFileCacheDb, fileCacheDb,
            &FileCacheDb::acceptFileCacheDb);
    dbThread->start(QThread::InheritPriority);
}

bool OperateDBusData::verifyCaller()
{
    if (!calledFromDBus()) {
        currentCaller = snx::CallerIdentity::root();
        return true;
    }
    currentCaller = identityOf(message().service());
    // Without the bus's word on who is calling there is nothing to check against.
    const snx::CallerVerdict verdict =
        currentCaller.known ? callerCheck.check(currentCaller.pid)
                            : snx::CallerVerdict{false, snx::CallerCheck::illegalCallText()};
    if (!verdict.allowed) {
        // The caller is told only the fixed text; the administrator learns who it was, as
        // often as the refusal log admits. Read before the reply goes out, while the caller
        // still waits for it.
        callerRefusalLogged = admitRefusalLog();
        if (callerRefusalLogged) {
            struct passwd entry, *user = nullptr;
            char names[1024];
            getpwuid_r(currentCaller.uid, &entry, names, sizeof names, &user);
            qCWarning(lcScanner).nospace()
                << "refused caller: pid " << currentCaller.pid << ", user "
                << (user ? QString::fromLocal8Bit(user->pw_name) : QStringLiteral("?")) << " (uid "
                << currentCaller.uid << "), executable "
                << QFileInfo(
                       QStringLiteral("%1/%2/exe").arg(config.procRoot).arg(currentCaller.pid))
                       .symLinkTarget();
        }
        sendErrorReply(QDBusError::Failed, verdict.errorText);
        return false;
    }
    const QList<QVariant> arguments = message().arguments();
    if (!std::all_of(arguments.cbegin(), arguments.cend(), withinPathMax)) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("path longer than PATH_MAX"));
        return false;
    }
    return true;
}

bool OperateDBusData::admitRefusalLog()
{
    const qint64 key = currentCaller.known ? qint64(currentCaller.uid) : -1;
    if (refusalLog.admit(key, monotonicMs()))
        return true;
    if (!refusalFlushPending) {
        refusalFlushPending = true;
        QTimer::singleShot(snx::RefusalLog::refillMs, this,
                           &OperateDBusData::logSuppressedRefusals);
    }
    return false;
}

void OperateDBusData::logSuppressedRefusals()
{
    refusalFlushPending = false;
    const auto counts = refusalLog.takeSuppressed(monotonicMs());
    for (const auto &count : counts) {
        if (count.first < 0)
            qCWarning(lcScanner) << count.second << "more refused calls of unknown callers";
        else
            qCWarning(lcScanner) << count.second << "more refused calls of uid" << count.first;
    }
}

snx::CallerIdentity OperateDBusData::identityOf(const QString &sender)
{
    // A unique bus name keeps the credentials its connection was made with until it goes away.
    const auto cached = callerIdentities.constFind(sender);
    if (cached != callerIdentities.constEnd())
        return *cached;
    snx::CallerIdentity identity = snx::busCallerIdentity(connection(), sender);
    if (identity.known) {
        if (callerIdentities.size() >= 256)
            callerIdentities.clear();
        callerIdentities.insert(sender, identity);
    }
    return identity;
}
