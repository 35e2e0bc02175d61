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

    // A new task starts at its first file, with its file list still to be walked; a resume keeps
    // both, and the caller whose rights the task runs with.
    void prepare(bool isNewTask, const QStringList &filepaths, const QStringList &whiteList,
                 int fileSize, const CallerIdentity &caller = CallerIdentity::root());
    // Walks the paths of a new task into its file list, in the job's thread: a walk of a large
    // tree must not hold the service. Nothing to do for a resumed task whose walk is done. A
    // pause or stop gives the walk up; it is then still owed, and a resume walks again.
    void collectRequestedFiles();
    // The paths that exist for the caller, walked with the caller's rights. False, with an empty
    // list, when `cutShort` was set before the walk's end.
    bool collectFiles(const QStringList &filepaths, const QStringList &whiteList, int fileSize,
                      const std::atomic_bool &cutShort);

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

    // Whether the file list of a new task is still to be walked.
    bool walkOwed() const { return walkPending; }

private:
    const QStringList systemDirectories;
    QSet<QString> requestedPaths;
    // What a new task walks at the start of its run.
    struct WalkRequest
    {
        QStringList paths;
        QStringList whiteList;
        int fileSize = 0;
    };
    WalkRequest walkRequest;
    bool walkPending = false;
};

} // namespace snx
