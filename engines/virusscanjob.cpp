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
    const int total = task.fileList.size();
    if (total == 0)
        emit sendDissectionFinished();
    unopened = 0;
    const snx::FileOpener opener = task.fileOpener();
    // The size is read anew before every file: the end of the run clears the list.
    for (int i = startIndex; i < task.fileList.size(); ++i) {
        const QString path = task.fileList.at(i);
        report(path, double(i + 1) / total, scanPath(*engine, opener, path));
        if (task.paused) {
            // The file just scanned is scanned again on resume.
            task.resumeIndex = i;
            break;
        }
    }
    if (unopened > 0)
        qWarning() << unopened
                   << "files not scanned: gone, no longer regular files within the size limit, "
                      "or not readable with the rights of uid"
                   << task.caller.uid;
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
