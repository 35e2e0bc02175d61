#include "core/fsidentity.h"

#include <QDebug>
#include <cerrno>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace snx {
namespace {

// An invalid id leaves the value alone and returns the current one.
uid_t currentFsUid()
{
    return static_cast<uid_t>(::syscall(SYS_setfsuid, -1));
}

gid_t currentFsGid()
{
    return static_cast<gid_t>(::syscall(SYS_setfsgid, -1));
}

bool setThreadGroups(const QVector<gid_t> &groups)
{
    return ::syscall(SYS_setgroups, static_cast<size_t>(groups.size()), groups.constData()) == 0;
}

// Raises or lowers CAP_SYS_PTRACE in this thread's effective set, keeping it permitted; the raw
// call acts on the calling thread alone. `wasEffective` tells whether it was raised before.
bool setTraceCapability(bool effective, bool *wasEffective = nullptr)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    constexpr unsigned word = CAP_SYS_PTRACE / 32;
    constexpr unsigned bit = 1U << (CAP_SYS_PTRACE % 32);
    if (wasEffective)
        *wasEffective = (data[word].effective & bit) != 0;
    if (effective)
        data[word].effective |= bit;
    else
        data[word].effective &= ~bit;
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

FsIdentityScope::FsIdentityScope(const CallerIdentity &caller)
{
    if (!caller.known)
        return;
    if (caller.uid == 0) {
        acting = true;
        return;
    }
    savedUid = currentFsUid();
    savedGid = currentFsGid();
    const int count = ::getgroups(0, nullptr);
    if (count < 0)
        return;
    savedGroups.resize(count);
    if (::getgroups(count, savedGroups.data()) != count)
        return;

    // The kernel opens /proc's links to another process's directories and files (cwd, root,
    // fd/N) for whoever may trace it, checked against the file-system uid or CAP_SYS_PTRACE,
    // which changing that uid leaves in place: the caller could reach through them what only
    // root may.
    if (!setTraceCapability(false, &traceWasEffective)) {
        qWarning() << "cannot lower the right to trace processes:" << qt_error_string(errno);
        return;
    }
    changed = true;
    // setfsuid and setfsgid report no error; reading the value back is the only test.
    if (!setThreadGroups(caller.groups)) {
        qWarning() << "cannot take the caller's groups:" << qt_error_string(errno);
        restore();
        return;
    }
    ::syscall(SYS_setfsgid, caller.gid);
    ::syscall(SYS_setfsuid, caller.uid);
    if (currentFsGid() != caller.gid || currentFsUid() != caller.uid) {
        qWarning() << "cannot take the caller's user" << caller.uid << "and group" << caller.gid;
        restore();
        return;
    }
    acting = true;
}

FsIdentityScope::~FsIdentityScope()
{
    restore();
}

void FsIdentityScope::restore()
{
    if (!changed)
        return;
    changed = false;
    acting = false;
    ::syscall(SYS_setfsuid, savedUid);
    ::syscall(SYS_setfsgid, savedGid);
    if (!setThreadGroups(savedGroups) || currentFsUid() != savedUid || currentFsGid() != savedGid) {
        // Going on as someone else would act on root's work with a user's rights, or worse.
        qFatal("cannot return to the service's own file-system identity");
    }
    // Without it the thread only fails closed: the caller check refuses what it cannot read.
    if (traceWasEffective && !setTraceCapability(true))
        qWarning() << "cannot raise the right to trace processes again:" << qt_error_string(errno);
}

} // namespace snx
