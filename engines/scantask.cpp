#include "engines/scantask.h"

#include <cmath>

namespace snx {

ScanTask::ScanTask(QStringList systemDirectories) : systemDirectories(std::move(systemDirectories))
{
}

void ScanTask::prepare(bool isNewTask, const QStringList &filepaths, const QStringList &whiteList,
                       int fileSize)
{
    if (isNewTask) {
        collectFiles(filepaths, whiteList, fileSize);
        resumeIndex = 0;
    }
    paused = false;
}

void ScanTask::collectFiles(const QStringList &filepaths, const QStringList &list, int fileSize)
{
    fileList.clear();
    whiteList = list;
    fileSizeLimit = fileSize;
    fileList = walkPaths(filepaths, {whiteList, fileSizeLimit, systemDirectories});
}

void ScanTask::run(int startIndex, const std::function<void(const QString &, double)> &scanOne,
                   const std::function<void()> &onEmpty)
{
    const int total = fileList.size();
    if (total == 0)
        onEmpty();
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
}

bool ScanTask::endRunAt(double process)
{
    if (std::fabs(1.0 - process) >= 1e-8)
        return false;
    fileList.clear();
    return true;
}

} // namespace snx
