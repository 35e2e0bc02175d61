#pragma once

#include "core/calleridentity.h"
#include "engines/filewalk.h"

#include <QSet>
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
    using FileHook = std::function<void(int index, const std::atomic_bool &paused)>;
    explicit ScanTask(QStringList systemDirectories, FileHook beforeScanningFile = {});

    // A new task builds the file list and starts at its first file; a resume keeps both, and the
    // caller whose rights the task runs with.
    void prepare(bool isNewTask, const QStringList &filepaths, const QStringList &whiteList,
                 int fileSize, const CallerIdentity &caller = CallerIdentity::root());
    void collectFiles(const QStringList &filepaths, const QStringList &whiteList, int fileSize);

    // Scans from `startIndex` until the list ends or a pause is seen after a file. `scanOne`
    // gets the path and the fraction of the task done once it is scanned.
    // `onEmpty` runs when the list is empty from the start.
    void run(int startIndex, const std::function<void(const QString &, double)> &scanOne,
             const std::function<void()> &onEmpty);

    // True when `process` marks the last file of the task; the list is then cleared, which
    // ends the loop once that file's report is out.
    bool endRunAt(double process);

    // Opens a file of the list with the caller's rights, for the engine to scan that very
    // descriptor; -1 when it is not, or no longer, a regular file within the size limit that
    // the caller may read. Never waits: a FIFO put in its place since the walk is not opened
    // for good. Only a requested path may be a link; below it the walk listed none.
    int openFile(const QString &path);

    QStringList fileList;
    int fileSizeLimit = 0;
    std::atomic_bool paused{false};
    int resumeIndex = 0;
    CallerIdentity caller = CallerIdentity::root();

private:
    const QStringList systemDirectories;
    const FileHook beforeScanningFile;
    QSet<QString> requestedPaths;
    int unopened = 0;
};

} // namespace snx
