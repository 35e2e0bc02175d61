#pragma once

#include "engines/filewalk.h"

#include <QStringList>
#include <atomic>
#include <functional>

namespace snx {

// The state and scan loop that both scan jobs share; the jobs add their engine.
//
// The service thread writes the task only while the job's thread is stopped (prepare) and the
// pause flag at any time; the job's thread runs the loop.
class ScanTask
{
public:
    explicit ScanTask(QStringList systemDirectories);

    // A new task builds the file list and starts at its first file; a resume keeps both.
    void prepare(bool isNewTask, const QStringList &filepaths, const QStringList &whiteList,
                 int fileSize);
    void collectFiles(const QStringList &filepaths, const QStringList &whiteList, int fileSize);

    // Scans from `startIndex` until the list ends or a pause is seen after a file. `scanOne`
    // gets the path and the fraction of the task done once it is scanned.
    // `onEmpty` runs when the list is empty from the start.
    void run(int startIndex, const std::function<void(const QString &, double)> &scanOne,
             const std::function<void()> &onEmpty);

    // True when `process` marks the last file of the task; the list is then cleared, which
    // ends the loop once that file's report is out.
    bool endRunAt(double process);

    QStringList fileList;
    QStringList whiteList;
    int fileSizeLimit = 0;
    std::atomic_bool paused{false};
    int resumeIndex = 0;

private:
    const QStringList systemDirectories;
};

} // namespace snx
