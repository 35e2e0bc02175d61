#pragma once

#include "engines/scanengine.h"
#include "engines/scanpool.h"
#include "engines/scantask.h"

#include <QObject>
#include <atomic>
#include <memory>

namespace snx {
struct ScannerConfig;
}

// A scan job: runs a task's scan loop in a thread of its own with one engine library, and
// reports each file and the end of the run. The loop, pause and resume live here; an engine
// binding adds how to open its engine for a run, scan one opened file with it, and close it.
class VirusScanJob : public QObject
{
    Q_OBJECT
public:
    ~VirusScanJob() override;

    // How many threads scan a run at once; 1 scans in the job's thread alone. Set while this
    // job's thread is stopped.
    void setScanThreads(int threads);
    // One per core, at most four.
    static int defaultScanThreads();

    // A scan outruns the relay of its results to the bus; without a limit the results waiting
    // in the receiver's queue grow with the tree. With one, the loop waits once `limit` results
    // are unrelayed. Set while this job's thread is stopped; 0, the default, is no limit.
    void limitUnrelayedResults(int limit);
    // From the receiving thread, for each result it has taken.
    void resultRelayed();
    // From the receiving thread, before it waits for this job's thread: no more relays come.
    void stopWaitingForRelay();
    // From the thread that waited for this job's thread to end, before it frees the job. The
    // wait goes through QThread, whose futexes ThreadSanitizer cannot see; this hand-over shows
    // it that the run's scanning threads, joined by the job's thread, are done with the job.
    void threadWaitedFor() const;

    // Called by the service in its own thread while this job's thread is stopped; the paths of a
    // new task are walked once the thread has started.
    void prepareDissection(bool isNewTask, QStringList filepaths, QStringList whiteList,
                           int fileSize,
                           const snx::CallerIdentity &caller = snx::CallerIdentity::root());

    using EngineHandle = snx::EngineHandle;
    using ScanOutcome = snx::ScanOutcome;

signals:
    void sendDissectionResult(QString filepath, double process, int eType, QString vname);
    void sendDissectionFinished();

public slots:
    void initData();
    void unInitData();
    void doDissection(QString filepath, double process);
    void acceptDissectionInfo(QString filepath, double process, int eType, QString vname);
    void pauseDissection();

protected:
    // `notCreated` begins the warning when no engine can be opened for a run, followed by
    // `source`, what the engine loads.
    VirusScanJob(const snx::ScannerConfig &config, const char *notCreated, QString source,
                 QObject *parent);

    // Null when the engine cannot be made: the run then ends without scanning anything.
    virtual std::unique_ptr<EngineHandle> openEngine() = 0;
    // Scans the file open at `fd`, named `nativePath` on disk, which the engine must not open
    // again by name. Called from one thread per handle.
    virtual ScanOutcome scanFile(EngineHandle &engine, int fd, const QByteArray &nativePath) = 0;
    // Called in report order for each file scanned.
    virtual void noteOutcome(const QString &filepath, const ScanOutcome &outcome);

private:
    void startDissection(int startIndex);
    // Null when the run is better scanned in this thread alone.
    std::unique_ptr<snx::ScanPool> startPool(int files, const snx::FileOpener &opener);
    ScanOutcome scanPath(EngineHandle &engine, const snx::FileOpener &opener,
                         const QString &filepath);
    // Reports one file in list order.
    void report(const QString &filepath, double process, const ScanOutcome &outcome);

    snx::ScanTask task;
    std::unique_ptr<EngineHandle> engine;
    int scanThreads = defaultScanThreads();
    const char *const notCreatedText;
    const QString engineSource;
    // Files of the current run that could not be opened, for one warning at its end.
    int unopened = 0;
    int unrelayedLimit = 0;
    std::atomic_int unrelayed{0};
    std::atomic_bool relayGone{false};
    std::atomic_int runsEnded{0};
};
