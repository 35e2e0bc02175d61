#pragma once

#include "core/calleridentity.h"
#include "core/pathopen.h"

#include <QByteArray>
#include <QSet>
#include <QString>

namespace snx {

// Opens the files of a task with its caller's rights, for an engine to scan that very
// descriptor. A value: each scanning thread keeps a copy of its own.
class FileOpener
{
public:
    FileOpener() = default;
    FileOpener(CallerIdentity owner, QSet<QString> requested, int sizeLimit);

    // -1 when `path` (whose bytes on disk are `nativePath`) is not, or no longer, a regular file
    // within the size limit that the caller may read. Never waits: a FIFO put in its place since
    // the walk is not opened for good. Only a requested path may be a link; below it the walk
    // listed none, and none is followed: a directory swapped for a link since the walk leads
    // nowhere.
    int open(const QString &path, const QByteArray &nativePath) const;

    // How a file below a requested directory is reached.
    using Resolution = BeneathResolution;
    void setResolution(Resolution how) { resolution = how; }

private:
    // Below the requested directory that `path` was listed under, with no link on the way.
    int openBelowRequested(const QString &path, const QByteArray &nativePath, int flags) const;

    CallerIdentity caller = CallerIdentity::root();
    QSet<QString> requestedPaths;
    int fileSizeLimit = 0;
    Resolution resolution = Resolution::Openat2;
};

} // namespace snx
