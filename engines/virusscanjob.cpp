#include "engines/virusscanjob.h"

#include "core/scannerconfig.h"
#include "engines/enginelogs.h"
#include "engines/enginetext.h"

#include <QDebug>
#include <algorithm>
#include <system_error>
#include <thread>
#include <unistd.h>

VirusScanJob::VirusScanJob(const snx::ScannerConfig &config, const char *notCreated, QString source,
                           QObject *parent)
    : QObject(parent), task(config.systemDirectories, config.beforeScanningFile),
      notCreatedText(notCreated), engineSource(std::move(source))
{
    snx::routeEngineLogs();
}

VirusScanJob::~VirusScanJob() = default;

void VirusScanJob::prepareDissection(bool isNewTask, QStringList filepaths, QStringList whiteList,
                                     int fileSize, const snx::CallerIdentity &caller)
{
    task.prepare(isNewTask, filepaths, whiteList, fileSize, caller);
}

void VirusScanJob::initData()
{
    if (task.walkOwed()) {
        if (task.beforeScanningFile)
            task.beforeScanningFile(-1, task.paused);
        task.collectRequestedFiles();
        // Paused or stopped during the walk: the end of this thread answers that.
        if (task.walkOwed())
            return;
    }
    engine.reset();
    engine = openEngine();
    if (!engine) {
        // Reporting the files as clean would hide that nothing was scanned.
        qWarning() << notCreatedText << engineSource << "- scan ends without scanning"
                   << task.fileList.size() << "files";
        task.fileList.clear();
        task.resumeIndex = 0;
        emit sendDissectionFinished();
        return;
    }
    startDissection(task.resumeIndex);
}

void VirusScanJob::setScanThreads(int threads)
{
    scanThreads = std::max(1, threads);
}

int VirusScanJob::defaultScanThreads()
{
    return int(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
}

void VirusScanJob::startDissection(int startIndex)
{
    const int total = task.fileList.size();
    if (total == 0)
        emit sendDissectionFinished();
    unopened = 0;
    const snx::FileOpener opener = task.fileOpener();
    std::unique_ptr<snx::ScanPool> pool = startPool(total - startIndex, opener);
    int handedOut = startIndex;
    // The size is read anew before every file: the end of the run clears the list.
    for (int i = startIndex; i < task.fileList.size(); ++i) {
        if (task.beforeScanningFile)
            task.beforeScanningFile(i, task.paused);
        // Each path is made from the list once: the pool hands back the one it was given.
        QString path;
        ScanOutcome outcome;
        if (pool) {
            for (; handedOut < task.fileList.size() && handedOut <= i + pool->ahead(); ++handedOut)
                pool->submit(handedOut, task.fileList.at(handedOut));
            outcome = pool->take(i, &path);
        } else {
            path = task.fileList.at(i);
            outcome = scanPath(*engine, opener, path);
        }
        report(path, double(i + 1) / total, outcome);
        if (task.paused) {
            // The file just reported is scanned again on resume, and so is every file scanned
            // ahead of it: their results are dropped with the pool.
            task.resumeIndex = i;
            break;
        }
    }
    // Nothing of this run may run on once the loop has returned: the service changes the task
    // then.
    pool.reset();
    runsEnded.fetch_add(1, std::memory_order_release);
    if (unopened > 0)
        qWarning() << unopened
                   << "files not scanned: gone, no longer regular files within the size limit, "
                      "or not readable with the rights of uid"
                   << task.caller.uid;
}

std::unique_ptr<snx::ScanPool> VirusScanJob::startPool(int files, const snx::FileOpener &opener)
{
    const int threads = std::min(scanThreads, files);
    if (threads < 2)
        return nullptr;
    std::vector<std::unique_ptr<EngineHandle>> engines;
    for (int i = 0; i < threads; ++i) {
        engines.push_back(openEngine());
        if (!engines.back())
            return nullptr; // the run's own engine scans alone
    }
    try {
        return std::make_unique<snx::ScanPool>(
            std::move(engines), [this, opener](EngineHandle &with, const QString &path) {
                return scanPath(with, opener, path);
            });
    } catch (const std::system_error &e) {
        qWarning() << "scanning in one thread: no more threads:" << e.what();
        return nullptr;
    }
}

void VirusScanJob::unInitData()
{
    if (task.paused)
        return;
    task.fileList.clear();
    engine.reset();
}

void VirusScanJob::doDissection(QString filepath, double process)
{
    if (engine)
        report(filepath, process, scanPath(*engine, task.fileOpener(), filepath));
}

VirusScanJob::ScanOutcome VirusScanJob::scanPath(EngineHandle &with, const snx::FileOpener &opener,
                                                 const QString &filepath)
{
    const QByteArray nativePath = snx::enginetext::nativePath(filepath);
    // The engine scans the descriptor that was opened and checked, never the path again.
    const int fd = opener.open(filepath, nativePath);
    if (fd < 0)
        return {};
    ScanOutcome outcome = scanFile(with, fd, nativePath);
    outcome.opened = true;
    ::close(fd);
    return outcome;
}

void VirusScanJob::report(const QString &filepath, double process, const ScanOutcome &outcome)
{
    if (!outcome.opened)
        ++unopened;
    noteOutcome(filepath, outcome);
    acceptDissectionInfo(filepath, process, outcome.status, outcome.virusName);
}

void VirusScanJob::noteOutcome(const QString &, const ScanOutcome &)
{
}

void VirusScanJob::limitUnrelayedResults(int limit)
{
    unrelayedLimit = limit;
}

void VirusScanJob::resultRelayed()
{
    unrelayed.fetch_sub(1, std::memory_order_relaxed);
}

void VirusScanJob::stopWaitingForRelay()
{
    relayGone.store(true);
}

void VirusScanJob::threadWaitedFor() const
{
    static_cast<void>(runsEnded.load(std::memory_order_acquire));
}

void VirusScanJob::acceptDissectionInfo(QString filepath, double process, int, QString vname)
{
    if (unrelayedLimit > 0) {
        while (unrelayed.load(std::memory_order_relaxed) >= unrelayedLimit && !relayGone.load())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        unrelayed.fetch_add(1, std::memory_order_relaxed);
    }
    emit sendDissectionResult(filepath, process, vname.isEmpty() ? 0 : 1, vname);
    if (task.endRunAt(process))
        emit sendDissectionFinished();
}

void VirusScanJob::pauseDissection()
{
    task.paused = true;
}
