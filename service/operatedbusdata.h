#pragma once

#include "cache/problemfilechange.h"
#include "core/calleridentity.h"
#include "core/refusallog.h"
#include "core/scannerconfig.h"
#include "service/callercheck.h"

#include <QDBusContext>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QStringList>

class ScannerAdaptor;
class QThread;
class AhVirusScanJob;
class RisVirusScanJob;
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
    // Which job holds the running or paused task; pause, resume, stop and the end of a scan act
    // on it even after the engine type has changed.
    enum class Engine { Ah, Ris };

    bool verifyCaller();
    snx::CallerIdentity identityOf(const QString &sender);
    // Whether the refusal of the current caller may be logged now (rate-limited per user).
    bool admitRefusalLog();
    // Whether the refusal that verifyCaller just sent may be logged; a flood is counted instead.
    bool callerRefusalLogged = false;
    void logSuppressedRefusals();
    // A non-root caller steers only a scan of its own user.
    bool scanBelongsToOther() const;
    void refuseBusy();
    QStringList whiteListFor(const snx::CallerIdentity &caller) const;
    int fileSizeFor(const snx::CallerIdentity &caller) const;
    void openScanCache();
    void readStartupSettings();
    void createEngineWorkers();
    void createDatabaseWorker();
    void createSignatureLoader();
    Engine engineOf(int type) const { return type == 1 ? Engine::Ah : Engine::Ris; }
    QThread *threadOf(Engine engine) const;
    void prepareJob(Engine engine, bool isNewTask);
    void haltRunningScan();
    void resumeScan();
    void ensureQuarantineDir();
    snx::ProblemFileChange changeOf(snx::ProblemFileChange::Kind kind, const QString &path) const;

    const snx::ScannerConfig config;
    const snx::CallerCheck callerCheck;

    ScannerAdaptor *adaptor = nullptr;
    QThread *ahThread = nullptr;
    AhVirusScanJob *ahJob = nullptr;
    QThread *risThread = nullptr;
    RisVirusScanJob *risJob = nullptr;
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
    bool dissectionPaused = false;
    bool stopRequested = false;
    DBusInvokerInterface *settingsInvoker = nullptr;
    Engine activeEngine = Engine::Ris;
    // A pause or stop that reached the scan loop after its last result had already been relayed
    // gets no result to answer with; the end of the engine thread answers it instead.
    bool pauseAnswerOwed = false;
    bool finishOwed = false;
    // A resume that came while the paused loop was still finishing its file.
    bool resumeOwed = false;
    // The caller of the guarded call being handled, set by verifyCaller.
    snx::CallerIdentity currentCaller;
    QHash<QString, snx::CallerIdentity> callerIdentities;
    // Who started the task the jobs hold; it runs with these rights and only this user (or
    // root) steers it. Live from its start until it ends or is stopped; paused counts as live.
    snx::CallerIdentity scanOwner;
    bool scanLive = false;
    // Set by non-root callers: they apply to that user's scans alone.
    QHash<uid_t, QStringList> userWhiteLists;
    QHash<uid_t, int> userFileSizes;
    snx::RefusalLog refusalLog;
    bool refusalFlushPending = false;
};
