#pragma once

#include "cache/uniquefd.h"

#include <QByteArray>
#include <QString>
#include <sys/stat.h>

// Reaching a file that a caller named without ever following a link: every directory on the way
// is opened from the one before, so nothing can be swapped under the walk once it has passed.
namespace snx::fdwalk {

// Opens the directory that holds the last component of the absolute `path`, one component at a
// time from "/" with O_NOFOLLOW, and puts that component into `leaf`. A relative path, an empty
// leaf and "." or ".." anywhere are refused with EINVAL. Sets errno on failure.
UniqueFd openParent(const QByteArray &path, QByteArray *leaf);

// Whether `leaf` in `dir` names, without following a link, the inode that `st` describes.
bool stillNames(int dir, const QByteArray &leaf, const struct stat &st);

// The caller's own right, checked by the kernel under its identity, to take a file out of `dir`:
// write and search on the directory and, in a sticky one, owning the file or the directory.
// Empty when granted, else why not. Run it inside the caller's FsIdentityScope.
QString refusalToMoveAway(uid_t caller, int dir, const struct stat &dirSt,
                          const struct stat &fileSt);

// `what` followed by the text of errno, e.g. "cannot open the file (Permission denied)".
QString failure(const char *what, int error);

} // namespace snx::fdwalk
