#pragma once

#include "cache/problemfilechange.h"
#include "core/calleridentity.h"
#include "core/refusallog.h"
#include "core/scannerconfig.h"
#include "service/callercheck.h"
#include "service/progresssignal.h"
#include "service/scanstate.h"

#include <QDBusContext>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QStringList>
#include <QVector>

class ScannerAdaptor;
class QThread;
class VirusScanJob;
class SignatureLoader;
class FileCacheDb;
class DBusInvokerInterface;

// The scanner service: implements the D-Bus interface, owns every piece of state and the worker
// threads, and turns the workers' results into bus signals. Lives in the main thread.
class OperateDBusData : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    explicit OperateDBusData(const snx::ScannerConfig &config, QObject *parent = nullptr);
    ~OperateDBusData() override;

signals:
    // Never emitted: progressSignal sends it. Declared for the adaptor, which connects to this
    // object's signals by their signatures.
    void SendDissectionProgInfo(QString path, double process, int type, QString vname);
    void SendDissectionFinished();
    void SendPauseDissectionFinished();
    void SendTrustProblemFileInfo(bool flag, QString sPath);
    void SendIsolationProblemFileInfo(bool flag, QString sPath);
    void SendTrustProblemFiles(QString filepaths);
    void SendIsolationProblemFiles(QString filepaths);
    void notifyPauseDissection();
    void notifyFileCacheDb(snx::ProblemFileChange change);
    void notifyReloadSignatures();

public slots:
    void StartApp();
    void ExitApp();
    void SetEngineType(int engineType);
    int GetEngineType();
    void DoDissection(QStringList filepaths);
    void SetDissectionStatus(int status);
    int GetDissectionStatus();
    void SetEngineStatus(int status);
    int GetEngineStatus();
    void SetScanWhiteList(bool bFlag, QString sPath);
    void SetScanFileSize(int nSize);
    void SetProblemFileOperatingSum(int count);
    int GetProblemFileOperatingSum();
    void TrustProblemFile(bool bFlag, QString sPath);
    void QueryTrustProblemFiles();
    void IsolationProblemFile(bool bFlag, QString sPath);
    void QueryIsolationProblemFiles();

    void doDissectionResult(QString filepath, double process, int eType, QString vname);
    void doDissectionFinished();
    void acceptProblemFileOutcome(const snx::ProblemFileOutcome &outcome);
    void acceptTrustProblemFileInfo(bool flag, QString sPath);
    void acceptIsolationProblemFileInfo(bool flag, QString sPath);
    // Loads the signature files that changed, in the background; scans go on meanwhile with the
    // signatures in use. Every scan's start asks for it too.
    void reloadSignatures();

private slots:
    void engineThreadFinished();

private:
    // A scan engine: the engine type that selects it, its job and the thread the job runs in.
    struct EngineWorker
    {
        int type;
        QThread *thread;
        VirusScanJob *job;
    };
    // A row of engineWorkers.
    using Engine = int;

    bool verifyCaller();
    snx::CallerIdentity identityOf(const QString &sender);
    // Whether the refusal of the current caller may be logged now (rate-limited per user).
    bool admitRefusalLog();
    // Whether the refusal that verifyCaller just sent may be logged; a flood is counted instead.
    bool callerRefusalLogged = false;
    void logSuppressedRefusals();
    // A non-root caller steers only a scan of its own user.
    bool scanBelongsToOther() const;
    const snx::CallerIdentity &steeringOwner() const;
    void takeRequestedScan();
    void beginRequestedScan();
    void refuseBusy();
    QStringList whiteListFor(const snx::CallerIdentity &caller) const;
    int fileSizeFor(const snx::CallerIdentity &caller) const;
    void openScanCache();
    void readStartupSettings();
    void createEngineWorkers();
    void createDatabaseWorker();
    void createSignatureLoader();
    void addEngineWorker(int type, VirusScanJob *job);
    Engine engineOf(int type) const;
    QThread *threadOf(Engine engine) const;
    void prepareJob(Engine engine, bool isNewTask);
    void perform(const snx::ScanActions &actions);
    void giveMemoryBack();
    void ensureQuarantineDir();
    snx::ProblemFileChange changeOf(snx::ProblemFileChange::Kind kind, const QString &path) const;

    const snx::ScannerConfig config;
    const snx::CallerCheck callerCheck;

    ScannerAdaptor *adaptor = nullptr;
    snx::ProgressSignal progressSignal;
    // An engine type that no row names selects the last row.
    QVector<EngineWorker> engineWorkers;
    QSqlDatabase scanCacheDb;
    int engineType = 0;
    QThread *dbThread = nullptr;
    FileCacheDb *fileCacheDb = nullptr;
    QThread *loaderThread = nullptr;
    SignatureLoader *signatureLoader = nullptr;
    QStringList scanPaths;
    QStringList problemFiles;
    QStringList scanWhiteList;
    int scanFileSize = 0;
    QStringList trustFiles;
    QMap<QString, QString> trustFileTimes;
    // Trusted path to the users who trust it (0 for root).
    QHash<QString, QSet<uint>> trustedBy;
    QStringList isolationFiles;
    QMap<QString, QString> isolationFileMd5s;
    QMap<QString, QString> isolationFileTimes;
    int operatingSum = 0;
    int dissectionStatus = 0;
    int engineStatus = 0;
    DBusInvokerInterface *settingsInvoker = nullptr;
    // Which job holds the running or paused task; pause, resume, stop and the end of a scan act
    // on it even after the engine type has changed. The last row until a scan starts.
    Engine activeEngine = 0;
    // The caller of the guarded call being handled, set by verifyCaller.
    snx::CallerIdentity currentCaller;
    QHash<QString, snx::CallerIdentity> callerIdentities;
    // Who started the task the jobs hold; it runs with these rights and only this user (or
    // root) steers it while the scan is live.
    snx::CallerIdentity scanOwner;
    // The scan DoDissection asked for, kept until it begins (at once, or once the previous run's
    // thread has ended).
    struct ScanRequest
    {
        QStringList paths;
        snx::CallerIdentity owner;
        int engineType = 0;
    };
    ScanRequest requestedScan;
    snx::ScanState scanState;
    // Set by non-root callers: they apply to that user's scans alone.
    QHash<uid_t, QStringList> userWhiteLists;
    QHash<uid_t, int> userFileSizes;
    snx::RefusalLog refusalLog;
    bool refusalFlushPending = false;
};
