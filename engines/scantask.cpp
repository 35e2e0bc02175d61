#include "engines/scantask.h"

#include "core/fsidentity.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace snx {

ScanTask::ScanTask(QStringList systemDirs) : systemDirectories(std::move(systemDirs))
{
}

void ScanTask::prepare(bool isNewTask, const QStringList &filepaths, const QStringList &whiteList,
                       int fileSize, const CallerIdentity &owner)
{
    if (isNewTask) {
        caller = owner;
        collectFiles(filepaths, whiteList, fileSize);
        resumeIndex = 0;
    }
    paused = false;
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
    {
        FsIdentityScope scope(caller);
        acting = scope.active();
        if (acting)
            fileList = walkPaths(filepaths, {list, fileSizeLimit, systemDirectories}, &tooLong);
    }
    if (!acting)
        qWarning() << "scan not started: cannot act with the rights of uid" << caller.uid;
    if (tooLong > 0)
        qWarning() << tooLong << "entries not scanned: their paths reach PATH_MAX";
    for (const QString &path : filepaths)
        requestedPaths.insert(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
}

int ScanTask::openFile(const QString &path)
{
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                      (requestedPaths.contains(path) ? 0 : O_NOFOLLOW);
    int fd = -1;
    {
        FsIdentityScope scope(caller);
        if (scope.active())
            fd = ::open(QFile::encodeName(path).constData(), flags);
    }
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                    !sizeAdmitted(st.st_size, fileSizeLimit))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0)
        ++unopened;
    return fd;
}

void ScanTask::run(int startIndex, const std::function<void(const QString &, double)> &scanOne,
                   const std::function<void()> &onEmpty)
{
    const int total = fileList.size();
    if (total == 0)
        onEmpty();
    unopened = 0;
    // The size is read anew before every file: the end of the run clears the list.
    for (int i = startIndex; i < fileList.size(); ++i) {
        const QString path = fileList.at(i);
        scanOne(path, double(i + 1) / total);
        if (paused) {
            // The file just scanned is scanned again on resume.
            resumeIndex = i;
            break;
        }
    }
    if (unopened > 0)
        qWarning() << unopened
                   << "files not scanned: gone, no longer regular files within the size limit, "
                      "or not readable with the rights of uid"
                   << caller.uid;
}

bool ScanTask::endRunAt(double process)
{
    if (std::fabs(1.0 - process) >= 1e-8)
        return false;
    fileList.clear();
    return true;
}

} // namespace snx
