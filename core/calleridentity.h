#pragma once

#include <QMetaType>
#include <QVector>
#include <sys/types.h>

namespace snx {

// Who is behind a D-Bus call, as the bus daemon saw the connection: the kernel's credentials of
// the peer socket, never anything read from /proc. Every file operation the call starts runs with
// these rights, so the service never does for a caller what its own user could not do.
struct CallerIdentity
{
    // False when the bus could not tell: such a caller gets nothing done.
    bool known = false;
    uid_t uid = 0;
    // The file-system group; groups holds every group, this one included.
    gid_t gid = 0;
    QVector<gid_t> groups;
    uint pid = 0;

    bool isRoot() const { return known && uid == 0; }
    // The service acting on its own behalf (a call made inside the process).
    static CallerIdentity root()
    {
        CallerIdentity id;
        id.known = true;
        return id;
    }
};

} // namespace snx

Q_DECLARE_METATYPE(snx::CallerIdentity)
