#include "engines/risvirusscanjob.h"

#include "core/scannerconfig.h"
#include "engines/enginelogs.h"
#include "engines/enginetext.h"

#include <QDebug>
#include <QFile>
#include <cstddef>
#include <cstring>
#include <unistd.h>

static_assert(sizeof(lam_result) == 440, "Ris result record is 440 bytes");
static_assert(offsetof(lam_result, status) == 0, "Ris result value at offset 0");
static_assert(offsetof(lam_result, virus_name) == 132, "Ris virus name at offset 132");

RisVirusScanJob::RisVirusScanJob(const snx::ScannerConfig &config, QObject *parent)
    : QObject(parent), task(config.systemDirectories, config.beforeScanningFile),
      databasePath(QFile::encodeName(config.risVirusDatabase))
{
    snx::routeEngineLogs();
}

RisVirusScanJob::~RisVirusScanJob()
{
    releaseEngine();
}

void RisVirusScanJob::prepareDissection(bool isNewTask, QStringList filepaths,
                                        QStringList whiteList, int fileSize,
                                        const snx::CallerIdentity &caller)
{
    task.prepare(isNewTask, filepaths, whiteList, fileSize, caller);
}

void RisVirusScanJob::initData()
{
    releaseEngine();
    virusDb = lam_virdb_open(databasePath.constData());
    if (virusDb)
        engine = lam_engine_new(virusDb);
    if (!engine || lam_engine_init(engine) != 0) {
        // Reporting the files as clean would hide that nothing was scanned.
        qWarning() << "ris engine not created: no rule loaded from"
                   << QFile::decodeName(databasePath) << "- scan ends without scanning"
                   << task.fileList.size() << "files";
        releaseEngine();
        task.fileList.clear();
        task.resumeIndex = 0;
        emit sendDissectionFinished();
        return;
    }
    task.run(
        task.resumeIndex,
        [this](const QString &path, double process) { doDissection(path, process); },
        [this] { emit sendDissectionFinished(); });
}

void RisVirusScanJob::unInitData()
{
    if (task.paused)
        return;
    task.fileList.clear();
    releaseEngine();
}

void RisVirusScanJob::doDissection(QString filepath, double process)
{
    if (!engine)
        return;
    lam_result result;
    std::memset(&result, 0, sizeof result);
    // The engine scans the descriptor that was opened and checked, never the path again.
    const int fd = task.openFile(filepath);
    if (fd >= 0) {
        lam_engine_scan_fd(engine, fd, QFile::encodeName(filepath).constData(), &result);
        ::close(fd);
    } else {
        result.status = -1; // not scanned
    }
    const QString vname = snx::enginetext::virusName(result.virus_name, sizeof result.virus_name);
    acceptDissectionInfo(filepath, process, result.status, vname);
}

void RisVirusScanJob::acceptDissectionInfo(QString filepath, double process, int, QString vname)
{
    emit sendDissectionResult(filepath, process, vname.isEmpty() ? 0 : 1, vname);
    if (task.endRunAt(process))
        emit sendDissectionFinished();
}

void RisVirusScanJob::pauseDissection()
{
    task.paused = true;
}

void RisVirusScanJob::releaseEngine()
{
    // The engine was made over the database, so it goes first.
    if (engine) {
        lam_engine_close(engine);
        engine = nullptr;
    }
    if (virusDb) {
        lam_virdb_close(virusDb);
        virusDb = nullptr;
    }
}
