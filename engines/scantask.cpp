#include "engines/scantask.h"

#include "core/fsidentity.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <cmath>

namespace snx {

namespace {
bool isFileOrDirectory(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() || info.isFile();
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
    walkPending = false;
    collectFiles(walkRequest.paths, walkRequest.whiteList, walkRequest.fileSize);
    walkRequest = {};
}

void ScanTask::collectFiles(const QStringList &filepaths, const QStringList &list, int fileSize)
{
    fileList.clear();
    requestedPaths.clear();
    fileSizeLimit = fileSize;
    // The walk sees what the caller could see: a directory the caller may not list yields
    // nothing, and neither does anything when the caller's rights cannot be taken.
    bool acting = false;
    int tooLong = 0;
    QStringList existing;
    {
        FsIdentityScope scope(caller);
        acting = scope.active();
        if (acting) {
            for (const QString &path : filepaths)
                if (isFileOrDirectory(path))
                    existing.append(path);
            fileList = walkPathList(existing, {list, fileSizeLimit, systemDirectories}, &tooLong);
        }
    }
    if (!acting)
        qWarning() << "scan not started: cannot act with the rights of uid" << caller.uid;
    if (tooLong > 0)
        qWarning() << tooLong << "entries not scanned: their paths reach PATH_MAX";
    for (const QString &path : existing)
        requestedPaths.insert(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
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
