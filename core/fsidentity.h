#pragma once

#include "core/calleridentity.h"

#include <QVector>
#include <sys/types.h>

namespace snx {

// Lets the current thread, and only it, open, create and rename files as the caller's user:
// file-system uid and gid and the supplementary groups are per thread on Linux when set through
// the raw system calls (glibc's wrappers would change every thread of the process). The kernel
// then applies its own permission checks, ACLs included; root's file capabilities, and its
// right to trace processes, are dropped while the scope lasts and come back when it ends.
//
// A thread started while the scope lasts inherits it for good: start none inside it.
// For root nothing changes. Check `active()` before acting: if the identity could not be taken,
// nothing may be done on the caller's behalf.
class FsIdentityScope
{
public:
    explicit FsIdentityScope(const CallerIdentity &caller);
    ~FsIdentityScope();
    FsIdentityScope(const FsIdentityScope &) = delete;
    FsIdentityScope &operator=(const FsIdentityScope &) = delete;

    bool active() const { return acting; }

private:
    void restore();

    bool acting = false;
    bool changed = false;
    bool traceWasEffective = false;
    uid_t savedUid = 0;
    gid_t savedGid = 0;
    QVector<gid_t> savedGroups;
};

} // namespace snx
