#pragma once

#include <QByteArray>

struct stat;

namespace snx {

// Opens a path that a caller named, following ordinary symbolic links but no /proc magic link (a
// process's cwd, root or fd entries): the kernel lets those through on a right to trace the
// process, which the service holds and the caller whose identity the thread took may lack.
// -1 with errno set on failure.
int openRequestedPath(const char *path, int flags);

// The file that a caller named, as openRequestedPath reaches it: false with errno set when it
// cannot be reached.
bool statRequestedPath(const char *path, struct stat &st);

// How a path below a directory is resolved: openat2, which falls back by itself to one component
// at a time where the kernel lacks it or a filter refuses it, or that walk from the start, so
// that tests can hold it to the same answers on a kernel that has openat2.
enum class BeneathResolution { Openat2, EachComponent };

// Opens `relative` below the directory open at `dir`: names and slashes alone (no empty, "." or
// ".." component), no link followed on the way, and never a step outside. -1 with errno set.
int openBeneath(int dir, const QByteArray &relative, int flags,
                BeneathResolution how = BeneathResolution::Openat2);

} // namespace snx
