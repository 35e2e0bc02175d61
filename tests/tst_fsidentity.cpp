// The per-thread file-system identity: a thread acting for a user gets exactly that user's
// access, the other threads keep root's, and root's comes back when the scope ends.
#include "core/fsidentity.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uid_t user = 41234;
constexpr gid_t group = 41234;
constexpr gid_t otherGroup = 41777;

snx::CallerIdentity userIdentity(QVector<gid_t> groups = {group})
{
    snx::CallerIdentity id;
    id.known = true;
    id.uid = user;
    id.gid = group;
    id.groups = std::move(groups);
    return id;
}

bool canOpen(const QByteArray &path, int flags = O_RDONLY)
{
    const int fd = ::open(path.constData(), flags | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

class TestFsIdentity : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to change the file-system identity");
        QVERIFY(dir.isValid());
        rootOnly = QFile::encodeName(dir.filePath(QStringLiteral("root-only")));
        groupReadable = QFile::encodeName(dir.filePath(QStringLiteral("group-readable")));
        for (const QByteArray &path : {rootOnly, groupReadable})
            QVERIFY(canOpen(path, O_WRONLY | O_CREAT));
        QCOMPARE(::chmod(rootOnly.constData(), 0600), 0);
        QCOMPARE(::chown(groupReadable.constData(), 0, otherGroup), 0);
        QCOMPARE(::chmod(groupReadable.constData(), 0640), 0);
        QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    }

    void userGetsOnlyTheUsersAccess()
    {
        snx::FsIdentityScope scope(userIdentity());
        QVERIFY(scope.active());
        QVERIFY(!canOpen(rootOnly));
        QVERIFY(!canOpen(groupReadable));
        // Creating in a root directory is refused too: no DAC override is left.
        QVERIFY(!canOpen(QFile::encodeName(dir.filePath(QStringLiteral("new"))),
                         O_WRONLY | O_CREAT | O_EXCL));
    }

    void supplementaryGroupsCount()
    {
        snx::FsIdentityScope scope(userIdentity({group, otherGroup}));
        QVERIFY(scope.active());
        QVERIFY(canOpen(groupReadable));
        QVERIFY(!canOpen(rootOnly));
    }

    void rootAccessReturnsAfterTheScope()
    {
        {
            snx::FsIdentityScope scope(userIdentity());
            QVERIFY(!canOpen(rootOnly));
        }
        QVERIFY(canOpen(rootOnly));
        QCOMPARE(::getgroups(0, nullptr), initialGroupCount);
    }

    void otherThreadsKeepRootAccess()
    {
        // A thread that runs already; one started inside the scope would inherit it.
        std::promise<void> scopeTaken;
        std::promise<bool> otherThreadCan;
        std::thread other([&] {
            scopeTaken.get_future().wait();
            otherThreadCan.set_value(canOpen(rootOnly));
        });
        snx::FsIdentityScope scope(userIdentity());
        QVERIFY(!canOpen(rootOnly));
        scopeTaken.set_value();
        const bool can = otherThreadCan.get_future().get();
        other.join();
        QVERIFY(can);
    }

    // /proc's links into another process (cwd, root, fd/N) open for whoever may trace it. Root
    // may trace every process; a thread acting for a user must not reach through them what that
    // user could not.
    void noWayIntoAnotherProcessThroughProc()
    {
        QProcess child;
        child.setWorkingDirectory(dir.path());
        child.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(child.waitForStarted());
        const QByteArray cwd = "/proc/" + QByteArray::number(child.processId()) + "/cwd";
        const int flags = O_PATH | O_DIRECTORY;
        QVERIFY(canOpen(cwd, flags));
        {
            snx::FsIdentityScope scope(userIdentity());
            QVERIFY(scope.active());
            QVERIFY(!canOpen(cwd, flags));
            QVERIFY(!canOpen(cwd + "/root-only"));
        }
        QVERIFY(canOpen(cwd, flags));
        child.kill();
        child.waitForFinished();
    }

    void unknownCallerGetsNothing()
    {
        snx::FsIdentityScope scope(snx::CallerIdentity{});
        QVERIFY(!scope.active());
    }

private:
    QTemporaryDir dir;
    QByteArray rootOnly;
    QByteArray groupReadable;
    const int initialGroupCount = ::getgroups(0, nullptr);
};

QTEST_GUILESS_MAIN(TestFsIdentity)
#include "tst_fsidentity.moc"
