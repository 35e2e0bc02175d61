#pragma once

#include "engines/scantask.h"

#include <QObject>
#include <lame.h>

namespace snx {
struct ScannerConfig;
}

// Scans a task with the Ris engine, in a thread of its own.
class RisVirusScanJob : public QObject
{
    Q_OBJECT
public:
    explicit RisVirusScanJob(const snx::ScannerConfig &config, QObject *parent = nullptr);
    ~RisVirusScanJob() override;

    // Called by the service in its own thread while this job's thread is stopped.
    void prepareDissection(bool isNewTask, QStringList filepaths, QStringList whiteList,
                           int fileSize,
                           const snx::CallerIdentity &caller = snx::CallerIdentity::root());

signals:
    void sendDissectionResult(QString filepath, double process, int eType, QString vname);
    void sendDissectionFinished();

public slots:
    void initData();
    void unInitData();
    void doDissection(QString filepath, double process);
    void acceptDissectionInfo(QString filepath, double process, int eType, QString vname);
    void pauseDissection();

private:
    void releaseEngine();

    snx::ScanTask task;
    lam_virdb *virusDb = nullptr;
    lam_engine *engine = nullptr;
    const QByteArray databasePath;
};
