#pragma once

#include "core/calleridentity.h"
#include "engines/fileopener.h"
#include "engines/filewalk.h"

#include <QSet>
#include <QStringList>
#include <atomic>

namespace snx {

// The task of a scan job: its files, where a resume starts, and whose rights it runs with.
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

    // True when `process` marks the last file of the task; the list is then cleared, which
    // ends the loop once that file's report is out.
    bool endRunAt(double process);

    // How the scanning threads open the files of this task.
    FileOpener fileOpener() const;

    PathList fileList;
    int fileSizeLimit = 0;
    std::atomic_bool paused{false};
    int resumeIndex = 0;
    CallerIdentity caller = CallerIdentity::root();
    // Called by the scan loop before each file, in the job's thread; set only by the sandbox.
    const FileHook beforeScanningFile;

private:
    const QStringList systemDirectories;
    QSet<QString> requestedPaths;
};

} // namespace snx
