#include "engines/ahvirusscanjob.h"

#include "core/scannerconfig.h"
#include "engines/enginelogs.h"
#include "engines/enginetext.h"

#include <QDebug>
#include <QFile>
#include <cstddef>
#include <cstring>
#include <unistd.h>

static_assert(sizeof(avcore_result) == 280, "Ah result record is 280 bytes");
static_assert(offsetof(avcore_result, status) == 4, "Ah result value at offset 4");
static_assert(offsetof(avcore_result, virus_name) == 8, "Ah virus name at offset 8");

namespace {
constexpr int32_t engineFlags = 12;
constexpr int32_t archiveMaxSize = 50 * 1024 * 1024;
constexpr int32_t archiveMaxLevel = 3;
} // namespace

AhVirusScanJob::AhVirusScanJob(const snx::ScannerConfig &config, QObject *parent)
    : QObject(parent), task(config.systemDirectories, config.beforeScanningFile),
      engineDir(QFile::encodeName(config.ahEngineDir))
{
    snx::routeEngineLogs();
    avcore_add_database_dir(engineDir.constData(),
                            QFile::encodeName(config.ahUpdateDir).constData());
}

AhVirusScanJob::~AhVirusScanJob()
{
    releaseEngine();
}

void AhVirusScanJob::prepareDissection(bool isNewTask, QStringList filepaths, QStringList whiteList,
                                       int fileSize, const snx::CallerIdentity &caller)
{
    task.prepare(isNewTask, filepaths, whiteList, fileSize, caller);
}

void AhVirusScanJob::initData()
{
    releaseEngine();
    engine = avcore_create_engine(engineFlags, engineDir.constData());
    if (!engine) {
        // Reporting the files as clean would hide that nothing was scanned.
        qWarning() << "ah engine not created: no signature loaded from"
                   << QFile::decodeName(engineDir) << "- scan ends without scanning"
                   << task.fileList.size() << "files";
        task.fileList.clear();
        task.resumeIndex = 0;
        emit sendDissectionFinished();
        return;
    }
    avcore_set_option(engine, "archive-max-size", &archiveMaxSize);
    avcore_set_option(engine, "archive-max-level", &archiveMaxLevel);
    scanContext = {};
    task.run(
        task.resumeIndex,
        [this](const QString &path, double process) { doDissection(path, process); },
        [this] { emit sendDissectionFinished(); });
}

void AhVirusScanJob::unInitData()
{
    if (task.paused)
        return;
    task.fileList.clear();
    releaseEngine();
}

void AhVirusScanJob::doDissection(QString filepath, double process)
{
    if (!engine)
        return;
    const QByteArray nativePath = snx::enginetext::nativePath(filepath);
    avcore_result result;
    std::memset(&result, 0, sizeof result);
    // The engine scans the descriptor that was opened and checked, never the path again.
    uint8_t found = 0;
    const int fd = task.openFile(filepath);
    if (fd >= 0) {
        found = avcore_scan_fd(engine, fd, nativePath.constData(), &scanContext, &result);
        ::close(fd);
    } else {
        result.status = -1; // not scanned
    }
    const QString vname = snx::enginetext::virusName(result.virus_name, sizeof result.virus_name);
    if (found)
        qInfo() << QStringLiteral("ah doDissection path: %1  vname: %2").arg(filepath, vname);
    acceptDissectionInfo(filepath, process, result.status, vname);
}

void AhVirusScanJob::acceptDissectionInfo(QString filepath, double process, int, QString vname)
{
    emit sendDissectionResult(filepath, process, vname.isEmpty() ? 0 : 1, vname);
    if (task.endRunAt(process))
        emit sendDissectionFinished();
}

void AhVirusScanJob::pauseDissection()
{
    task.paused = true;
}

void AhVirusScanJob::releaseEngine()
{
    if (engine) {
        avcore_destroy_engine(engine);
        engine = nullptr;
    }
}
