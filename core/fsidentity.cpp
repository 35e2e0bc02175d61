#include "core/fsidentity.h"

#include <QDebug>
#include <cerrno>
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
}

} // namespace snx
