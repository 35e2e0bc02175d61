#pragma once

#include <QString>
#include <QStringList>
#include <sys/types.h>

// Unprivileged accounts that the tests create for themselves, to call the service as a local
// user would. The bus daemon accepts only callers whose uid has an account.
struct TestUser
{
    QString name;
    uid_t uid = 0;
    gid_t gid = 0;
    bool valid() const { return uid != 0; }
};

// Creates the account (no home, no login) unless it exists; invalid when that is impossible,
// for instance when the test does not run as root. The account is removed when the last test
// process on the host that asked for it ends normally: programs of other builds may use the same
// name at the same time, so it stays while any of them is still running.
TestUser ensureTestUser(const QString &name);

// The command line that runs `program` as the user, with the account's groups.
QStringList commandAsUser(const TestUser &user, const QString &program,
                          const QStringList &arguments = {});

// A fresh directory that every user may enter and list, owned by `owner` (root by default).
QString makeSharedDir(const QString &parent, const QString &name, const TestUser &owner = {},
                      int mode = 0755);
