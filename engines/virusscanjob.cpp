#include "engines/virusscanjob.h"

#include "app/scannerconfig.h"
#include "engines/enginelogs.h"
#include "engines/enginetext.h"

#include <QDebug>
#include <unistd.h>

VirusScanJob::VirusScanJob(const snx::ScannerConfig &config, const char *notCreatedText,
                           QString engineSource, QObject *parent)
    : QObject(parent), task(config.systemDirectories), notCreatedText(notCreatedText),
      engineSource(std::move(engineSource))
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

void VirusScanJob::startDissection(int startIndex)
{
    task.run(
        startIndex, [this](const QString &path, double process) { doDissection(path, process); },
        [this] { emit sendDissectionFinished(); });
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
    if (!engine)
        return;
    const ScanOutcome outcome = scanPath(*engine, filepath);
    noteOutcome(filepath, outcome);
    acceptDissectionInfo(filepath, process, outcome.status, outcome.virusName);
}

VirusScanJob::ScanOutcome VirusScanJob::scanPath(EngineHandle &with, const QString &filepath)
{
    const QByteArray nativePath = snx::enginetext::nativePath(filepath);
    // The engine scans the descriptor that was opened and checked, never the path again.
    const int fd = task.openFile(filepath);
    if (fd < 0)
        return {};
    const ScanOutcome outcome = scanFile(with, fd, nativePath);
    ::close(fd);
    return outcome;
}

void VirusScanJob::noteOutcome(const QString &, const ScanOutcome &)
{
}

void VirusScanJob::acceptDissectionInfo(QString filepath, double process, int, QString vname)
{
    emit sendDissectionResult(filepath, process, vname.isEmpty() ? 0 : 1, vname);
    if (task.endRunAt(process))
        emit sendDissectionFinished();
}

void VirusScanJob::pauseDissection()
{
    task.paused = true;
}
