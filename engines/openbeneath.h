#pragma once

#include <QByteArray>

namespace snx {

// How a path below a directory is resolved: openat2, which falls back by itself to one component
// at a time where the kernel lacks it or a filter refuses it, or that walk from the start, so
// that tests can hold it to the same answers on a kernel that has openat2.
enum class BeneathResolution { Openat2, EachComponent };

// Opens `relative` below the directory open at `dir`: names and slashes alone (no empty, "." or
// ".." component), no link followed on the way, and never a step outside. -1 with errno set.
int openBeneath(int dir, const QByteArray &relative, int flags,
                BeneathResolution how = BeneathResolution::Openat2);

} // namespace snx
