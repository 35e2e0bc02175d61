#pragma once

#include <QStringList>
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

// Turns the requested paths into the flat list of files to scan: depth-first pre-order,
// duplicates kept, symbolic links inside directories neither followed nor listed.
QStringList walkPaths(const QStringList &paths, const WalkRules &rules);

} // namespace snx
