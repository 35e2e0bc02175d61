#include "engines/scantask.h"

#include "core/fsidentity.h"
#include "core/pathopen.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <sys/stat.h>

namespace snx {

namespace {
bool isFileOrDirectory(const QString &path)
{
    struct stat st;
    return statRequestedPath(QFile::encodeName(path).constData(), st) &&
           (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode));
}
} // namespace

ScanTask::ScanTask(QStringList systemDirs, FileHook hook)
    : beforeScanningFile(std::move(hook)), systemDirectories(std::move(systemDirs))
{
}

void ScanTask::prepare(bool isNewTask, const QStringList &filepaths, const QStringList &whiteList,
                       int fileSize, const CallerIdentity &owner)
{
    if (isNewTask) {
        caller = owner;
        fileList.clear();
        requestedPaths.clear();
        walkRequest = {filepaths, whiteList, fileSize};
        walkPending = true;
        resumeIndex = 0;
    }
    paused = false;
}

void ScanTask::collectRequestedFiles()
{
    if (!walkPending)
        return;
    // A pause or stop during the walk gives it up; a resume walks again from the start.
    if (!collectFiles(walkRequest.paths, walkRequest.whiteList, walkRequest.fileSize, paused))
        return;
    walkPending = false;
    walkRequest = {};
}

bool ScanTask::collectFiles(const QStringList &filepaths, const QStringList &list, int fileSize,
                            const std::atomic_bool &cutShort)
{
    fileList.clear();
    requestedPaths.clear();
    fileSizeLimit = fileSize;
    // The walk sees what the caller could see: a directory the caller may not list yields
    // nothing, and neither does anything when the caller's rights cannot be taken.
    bool acting = false;
    int tooLong = 0;
    bool whole = true;
    QStringList existing;
    {
        FsIdentityScope scope(caller);
        acting = scope.active();
        if (acting) {
            for (const QString &path : filepaths)
                if (isFileOrDirectory(path))
                    existing.append(path);
            whole = walkPathList(existing, {list, fileSizeLimit, systemDirectories}, cutShort,
                                 fileList, &tooLong);
        }
    }
    if (!whole) {
        qInfo() << "walk of a scan's paths given up: the scan was paused or stopped";
        return false;
    }
    if (!acting)
        qWarning() << "scan not started: cannot act with the rights of uid" << caller.uid;
    if (tooLong > 0)
        qWarning() << tooLong << "entries not scanned: their paths reach PATH_MAX";
    for (const QString &path : existing)
        requestedPaths.insert(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    return true;
}

FileOpener ScanTask::fileOpener() const
{
    return {caller, requestedPaths, fileSizeLimit};
}

bool ScanTask::endRunAt(double process)
{
    if (std::fabs(1.0 - process) >= 1e-8)
        return false;
    fileList.clear();
    return true;
}

} // namespace snx
