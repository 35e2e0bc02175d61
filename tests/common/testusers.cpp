#include "testusers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QVector>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TestUser lookUp(const QString &name)
{
    TestUser user;
    const struct passwd *entry = ::getpwnam(name.toLocal8Bit().constData());
    if (!entry)
        return user;
    user.name = name;
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    return user;
}

// Accounts are host-wide, and test programs of several builds may run at once. Each process that
// uses an account holds a shared lock on a file named after it for as long as it lives; the
// last one to end gets the lock to itself and removes the account. Looking up, creating and
// removing all happen under one exclusive lock, so that no process finds an account that
// another is removing, and useradd and userdel never meet on the account files' own lock.
QByteArray lockPath(const QByteArray &name)
{
    struct stat st;
    const QByteArray dir =
        ::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/tmp";
    return dir + "/snx-testusers" + (name.isEmpty() ? QByteArray() : '-' + name) + ".lock";
}

int openLock(const QByteArray &name)
{
    return ::open(lockPath(name).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

class AccountsLock
{
public:
    AccountsLock() : fd(openLock({}))
    {
        while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~AccountsLock()
    {
        if (fd >= 0)
            ::close(fd);
    }
    AccountsLock(const AccountsLock &) = delete;
    AccountsLock &operator=(const AccountsLock &) = delete;

private:
    int fd;
};

// Without QProcess: this runs after main has returned.
void removeAccount(const QByteArray &name)
{
    char program[] = "userdel";
    QByteArray account = name;
    char *const argv[] = {program, account.data(), nullptr};
    pid_t child = 0;
    if (::posix_spawnp(&child, program, nullptr, nullptr, argv, environ) != 0)
        return;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

// The accounts this process uses, given up when it ends; a child forked from it gives up none.
class HeldAccounts
{
public:
    ~HeldAccounts()
    {
        if (::getpid() != owner)
            return;
        AccountsLock lock;
        for (const Held &held : accounts) {
            // Every holder opens the file under the accounts lock, so none holds this one.
            if (::flock(held.fd, LOCK_EX | LOCK_NB) == 0) {
                removeAccount(held.name);
                ::unlink(lockPath(held.name).constData());
            }
            ::close(held.fd);
        }
    }

    // Called with the accounts lock held.
    void hold(const QByteArray &name)
    {
        for (const Held &held : accounts)
            if (held.name == name)
                return;
        const int fd = openLock(name);
        if (fd >= 0 && ::flock(fd, LOCK_SH) == 0)
            accounts.append({name, fd});
        else if (fd >= 0)
            ::close(fd);
    }

private:
    struct Held
    {
        QByteArray name;
        int fd = -1;
    };
    QVector<Held> accounts;
    pid_t owner = ::getpid();
};

} // namespace

TestUser ensureTestUser(const QString &name)
{
    if (::geteuid() != 0)
        return lookUp(name);
    static HeldAccounts held;
    AccountsLock lock;
    held.hold(name.toLocal8Bit());
    TestUser user = lookUp(name);
    if (user.valid())
        return user;
    QProcess::execute(QStringLiteral("useradd"),
                      {QStringLiteral("--system"), QStringLiteral("--user-group"),
                       QStringLiteral("--no-create-home"), QStringLiteral("--shell"),
                       QStringLiteral("/usr/sbin/nologin"), name});
    return lookUp(name);
}

QStringList commandAsUser(const TestUser &user, const QString &program,
                          const QStringList &arguments)
{
    return QStringList{QStringLiteral("setpriv"),
                       QStringLiteral("--reuid=%1").arg(user.uid),
                       QStringLiteral("--regid=%1").arg(user.gid),
                       QStringLiteral("--init-groups"),
                       QStringLiteral("--"),
                       program} +
           arguments;
}

QString makeSharedDir(const QString &parent, const QString &name, const TestUser &owner, int mode)
{
    QString path = QDir(parent).filePath(name);
    QDir().mkpath(path);
    const QByteArray native = QFile::encodeName(path);
    if (::chown(native.constData(), owner.uid, owner.valid() ? owner.gid : 0) != 0 ||
        ::chmod(native.constData(), static_cast<mode_t>(mode)) != 0)
        return QString();
    return path;
}
