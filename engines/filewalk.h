#pragma once

#include "engines/pathlist.h"

#include <QStringList>
#include <atomic>
#include <limits>

namespace snx {

// A size limit that admits files of every size: the one in force when no limit could be read.
inline constexpr int noSizeLimit = std::numeric_limits<int>::max();

struct WalkRules
{
    // Files whose path equals an entry that is a regular file, or contains any other entry,
    // are left out; a directory equal to an entry that is a directory is not entered.
    QStringList whiteList;
    // Largest file admitted, in MiB, compared in whole KiB; noSizeLimit admits every size.
    int fileSizeLimit = 0;
    // First path components below which no listed entry is taken.
    QStringList systemDirectories;
};

// The size rule of the walk: `bytes` within `limitMiB`, compared in whole KiB.
bool sizeAdmitted(qint64 bytes, int limitMiB);

// Turns the requested paths into the flat list of files to scan: depth-first pre-order,
// duplicates kept, symbolic links inside directories neither followed nor listed. Entries whose
// path would reach PATH_MAX are left out, and everything below them: no call can name them and
// no open by name reaches them. `tooLong`, if given, counts them.
PathList walkPathList(const QStringList &paths, const WalkRules &rules, int *tooLong = nullptr);

// The same walk, given up before the next directory once `cutShort` is set: a caller may name a
// large tree, or one directory thousands of times, and a stop must not wait for all of it. True
// when the walk went to its end; `files` then holds the list.
bool walkPathList(const QStringList &paths, const WalkRules &rules,
                  const std::atomic_bool &cutShort, PathList &files, int *tooLong = nullptr);
// The same walk, as text.
QStringList walkPaths(const QStringList &paths, const WalkRules &rules, int *tooLong = nullptr);

} // namespace snx
