// Isolate, restore and trust as unprivileged users: the service does for a caller only what the
// caller's own user could do. The users are made by the test; they call through gdbus.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"
#include "testusers.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString quarantine = snx::names::quarantineDir();

bool writeOwned(const QString &path, const QByteArray &content, const TestUser &owner, mode_t mode)
{
    const QByteArray native = QFile::encodeName(path);
    return samples::write(path, content) &&
           ::chown(native.constData(), owner.uid, owner.valid() ? owner.gid : 0) == 0 &&
           ::chmod(native.constData(), mode) == 0;
}

// Calls a method as the user and waits for the completion signal, which must come also when
// the change was refused.
bool callAs(const TestUser &user, const QString &method, bool flag, const QString &path)
{
    SignalLog log;
    QProcess gdbus;
    const QStringList command = commandAsUser(
        user, QStringLiteral("gdbus"),
        {"call", "--system", "--dest", snx::names::busName(), "--object-path",
         snx::names::objectPath(), "--method",
         snx::names::interfaceName() + QLatin1Char('.') + method, flag ? "true" : "false", path});
    gdbus.setProcessChannelMode(QProcess::ForwardedChannels);
    gdbus.start(command.first(), command.mid(1));
    if (!gdbus.waitForFinished(20000) || gdbus.exitCode() != 0)
        return false;
    const QString done =
        method == "TrustProblemFile" ? "SendTrustProblemFileInfo" : "SendIsolationProblemFileInfo";
    return log.waitFor(done, 1, 20000) &&
           log.named(done).first().arguments() == QList<QVariant>{flag, path};
}

QString listOf(SandboxService &service, bool trusted)
{
    SignalLog log;
    const QString name = trusted ? "SendTrustProblemFiles" : "SendIsolationProblemFiles";
    trusted ? service.scanner().QueryTrustProblemFiles().waitForFinished()
            : service.scanner().QueryIsolationProblemFiles().waitForFinished();
    log.waitFor(name);
    return log.named(name).value(0).arguments().value(0).toString();
}

bool listed(SandboxService &service, bool trusted, const QString &path)
{
    const QString text = listOf(service, trusted);
    return text.startsWith(path + '|') || text.contains('*' + path + '|');
}

} // namespace

class TestQuarantineRights : public QObject
{
    Q_OBJECT
    TestBus bus;
    TestUser alice;
    TestUser bob;
    QTemporaryDir tmp;
    QString shared;

    bool startService(SandboxService &service)
    {
        SandboxService::Options options;
        options.allowedCallers = QStringList{QStringLiteral("/usr/bin/gdbus")};
        return service.start(options);
    }

    static bool scanAsRoot(SandboxService &service, const QStringList &paths)
    {
        SignalLog log;
        service.scanner().DoDissection(paths).waitForFinished();
        return log.waitFor("SendDissectionFinished") &&
               log.count("SendDissectionProgInfo") == paths.size();
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to create users");
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
        if (QStandardPaths::findExecutable(QStringLiteral("gdbus")).isEmpty())
            QSKIP("gdbus is not available");
        alice = ensureTestUser(QStringLiteral("snxq-alice"));
        bob = ensureTestUser(QStringLiteral("snxq-bob"));
        if (!alice.valid() || !bob.valid())
            QSKIP("cannot create test users");
        // The users reach their samples through this one.
        QVERIFY(::chmod(QFile::encodeName(tmp.path()).constData(), 0755) == 0);
    }

    void init()
    {
        static int round = 0;
        shared = makeSharedDir(tmp.path(), QStringLiteral("case%1").arg(++round));
        QVERIFY(!shared.isEmpty());
    }

    // Alice may isolate only a file she could move away herself.
    void isolateNeedsTheRightToMoveTheFileAway_data()
    {
        QTest::addColumn<QString>("dirOwner");
        QTest::addColumn<int>("dirMode");
        QTest::addColumn<QString>("fileOwner");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("her own directory") << "alice" << 0755 << "alice" << true;
        QTest::newRow("another's file in her directory") << "alice" << 0755 << "bob" << true;
        QTest::newRow("her file in a directory she cannot write")
            << "root" << 0755 << "alice" << false;
        QTest::newRow("a directory she cannot enter") << "bob" << 0700 << "bob" << false;
        QTest::newRow("a directory she may write but not enter") << "bob" << 0766 << "bob" << false;
        QTest::newRow("sticky directory, another's file") << "root" << 01777 << "bob" << false;
        QTest::newRow("sticky directory, her own file") << "root" << 01777 << "alice" << true;
        QTest::newRow("root's file in a sticky directory") << "root" << 01777 << "root" << false;
    }

    void isolateNeedsTheRightToMoveTheFileAway()
    {
        QFETCH(QString, dirOwner);
        QFETCH(int, dirMode);
        QFETCH(QString, fileOwner);
        QFETCH(bool, allowed);
        auto user = [&](const QString &name) {
            return name == "alice" ? alice : name == "bob" ? bob : TestUser();
        };
        const QString dir = makeSharedDir(shared, "d", user(dirOwner), dirMode);
        QVERIFY(!dir.isEmpty());
        const QString bad = dir + "/bad.com";
        QVERIFY(writeOwned(bad, samples::eicar, user(fileOwner), 0644));

        SandboxService service;
        QVERIFY(startService(service));
        QVERIFY(scanAsRoot(service, {bad}));
        QVERIFY(callAs(alice, "IsolationProblemFile", true, bad));
        QCOMPARE(!QFileInfo::exists(bad), allowed);
        QCOMPARE(listed(service, false, bad), allowed);
        if (!allowed) {
            const QString line = QStringLiteral("isolation not done:");
            QVERIFY(service.logText().contains(line));
            QVERIFY(service.logText().contains(QStringLiteral("caller uid %1 pid").arg(alice.uid)));
            QVERIFY(QDir(service.path(quarantine)).entryList(QDir::Files).isEmpty());
        }
        QCOMPARE(service.exitApp(), 0);
    }

    // Only the user who isolated a file, or root, restores it.
    void restoreOnlyByTheUserWhoIsolatedOrRoot()
    {
        const QString dir = makeSharedDir(shared, "d", alice, 0755);
        const QString bad = dir + "/bad.com";
        QVERIFY(writeOwned(bad, samples::eicar, alice, 0640));
        SandboxService service;
        QVERIFY(startService(service));
        QVERIFY(scanAsRoot(service, {bad}));
        QVERIFY(callAs(alice, "IsolationProblemFile", true, bad));
        QVERIFY(!QFileInfo::exists(bad));

        // Bob could not even create the file there; he is refused before that.
        QVERIFY(callAs(bob, "IsolationProblemFile", false, bad));
        QVERIFY(!QFileInfo::exists(bad));
        QVERIFY(listed(service, false, bad));
        QVERIFY(service.logText().contains(
            QStringLiteral("restore refused, isolated by another user:")));

        QVERIFY(callAs(alice, "IsolationProblemFile", false, bad));
        QVERIFY(QFileInfo(bad).isFile());
        QCOMPARE(QFileInfo(bad).ownerId(), alice.uid);
        QVERIFY(!listed(service, false, bad));

        // Root restores anyone's.
        QVERIFY(callAs(alice, "IsolationProblemFile", true, bad));
        QVERIFY(!QFileInfo::exists(bad));
        SignalLog log;
        service.scanner().IsolationProblemFile(false, bad).waitForFinished();
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo"));
        QVERIFY(QFileInfo(bad).isFile());
        QCOMPARE(QFileInfo(bad).ownerId(), alice.uid);
        QCOMPARE(service.exitApp(), 0);
    }

    // A restore gives the recorded owner and mode only to the bytes that were isolated: the user
    // who restores never holds a descriptor of the file before it is whole and no longer theirs.
    void restoredFileIsNeverTheRestorersToWrite()
    {
        // Bob's program, in a directory where Alice may create and remove files.
        const QString open = makeSharedDir(shared, "open", {}, 0777);
        const QString tool = open + "/tool";
        const QByteArray content = samples::eicar + QByteArray(4 << 20, 'x');
        QVERIFY(writeOwned(tool, content, bob, 04755));
        const QString flipper = tmp.filePath("snx-flipper");
        QFile::remove(flipper);
        QVERIFY(QFile::copy(SandboxService::binary("snx-flipper"), flipper));
        SandboxService service;
        SandboxService::Options options;
        options.allowedCallers = QStringList{QStringLiteral("/usr/bin/gdbus")};
        options.settingsArgs = QStringList{"--scan-size", "100"};
        QVERIFY(service.start(options));
        QVERIFY(scanAsRoot(service, {tool}));
        for (int attempt = 0; attempt < 10; ++attempt) {
            QVERIFY(callAs(alice, "IsolationProblemFile", true, tool));
            QVERIFY(!QFileInfo::exists(tool));
            QProcess racer;
            const QStringList command = commandAsUser(alice, flipper, {"open", open, "tool"});
            racer.start(command.first(), command.mid(1));
            QVERIFY(racer.waitForStarted());
            QVERIFY(callAs(alice, "IsolationProblemFile", false, tool));
            racer.kill();
            racer.waitForFinished();
            QVERIFY2(
                !racer.readAllStandardOutput().contains("won"),
                qPrintable(
                    QStringLiteral("Alice wrote into the restored file, try %1").arg(attempt)));
            const QFileInfo restored(tool);
            QCOMPARE(restored.ownerId(), bob.uid);
            QFile file(tool);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(file.readAll() == content);
            struct stat st;
            QVERIFY(::stat(QFile::encodeName(tool).constData(), &st) == 0);
            QCOMPARE(st.st_mode & 07777, mode_t(04755));
        }
        QCOMPARE(service.exitApp(), 0);
    }

    // Root's quarantine holds a user's copies up to the user's quota; a file linked in costs
    // nothing, and root isolates without a limit. Without the quota, isolating a file with a
    // second name again and again fills root's file system.
    void copiesIntoQuarantineStopAtTheUsersQuota()
    {
        const QString dir = makeSharedDir(shared, "d", alice, 0755);
        const QString bad = dir + "/bad.com";
        const QString otherName = dir + "/kept.com";
        SandboxService service;
        SandboxService::Options options;
        options.allowedCallers = QStringList{QStringLiteral("/usr/bin/gdbus")};
        options.userQuarantineQuota = 300;
        QVERIFY(service.start(options));
        const auto place = [&](char fill, bool secondName) {
            QFile::remove(otherName);
            return writeOwned(bad, samples::eicar + QByteArray(150, fill), alice, 0644) &&
                   (!secondName || ::link(QFile::encodeName(bad).constData(),
                                          QFile::encodeName(otherName).constData()) == 0);
        };
        QVERIFY(place('a', true));
        QVERIFY(scanAsRoot(service, {bad}));
        QVERIFY(callAs(alice, "IsolationProblemFile", true, bad));
        QVERIFY(!QFileInfo::exists(bad));

        QVERIFY(place('b', true));
        QVERIFY(callAs(alice, "IsolationProblemFile", true, bad));
        QVERIFY(QFileInfo::exists(bad));
        QVERIFY(service.logText().contains("copies in quarantine would exceed 300 bytes"));
        QCOMPARE(QDir(service.path(quarantine)).entryList(QDir::Files | QDir::Hidden).size(), 1);

        QVERIFY(place('c', false));
        QVERIFY(callAs(alice, "IsolationProblemFile", true, bad));
        QVERIFY(!QFileInfo::exists(bad));

        QVERIFY(place('d', true));
        SignalLog log;
        service.scanner().IsolationProblemFile(true, bad).waitForFinished();
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo"));
        QVERIFY(!QFileInfo::exists(bad));
        QCOMPARE(service.exitApp(), 0);
    }

    // A restore gives the file back and leaves the quarantine copy, which still counts: else
    // isolating new content and restoring it again and again fills root's file system.
    void isolateAndRestoreLoopsStayWithinTheUsersQuota()
    {
        const QString dir = makeSharedDir(shared, "d", alice, 0755);
        const QString bad = dir + "/bad.com";
        const QString otherName = dir + "/kept.com";
        SandboxService service;
        SandboxService::Options options;
        options.allowedCallers = QStringList{QStringLiteral("/usr/bin/gdbus")};
        options.userQuarantineQuota = 300;
        QVERIFY(service.start(options));
        int isolated = 0;
        for (char fill = 'a'; fill < 'f'; ++fill) {
            QFile::remove(otherName);
            // A second name makes the isolation a copy into root's quarantine.
            QVERIFY(writeOwned(bad, samples::eicar + QByteArray(150, fill), alice, 0644));
            QVERIFY(::link(QFile::encodeName(bad).constData(),
                           QFile::encodeName(otherName).constData()) == 0);
            QVERIFY(scanAsRoot(service, {bad}));
            QVERIFY(callAs(alice, "IsolationProblemFile", true, bad));
            if (QFileInfo::exists(bad))
                continue;
            ++isolated;
            QVERIFY(callAs(alice, "IsolationProblemFile", false, bad));
            QVERIFY(QFileInfo::exists(bad));
        }
        QCOMPARE(isolated, 1);
        QVERIFY(service.logText().contains("copies in quarantine would exceed 300 bytes"));
        qint64 rootBytes = 0;
        const QDir held(service.path(quarantine));
        for (const QFileInfo &f : held.entryInfoList(QDir::Files | QDir::Hidden))
            if (f.ownerId() == 0)
                rootBytes += f.size();
        QVERIFY2(rootBytes <= 300,
                 qPrintable(QStringLiteral("root's quarantine holds %1 bytes of alice's copies")
                                .arg(rootBytes)));
        QCOMPARE(service.exitApp(), 0);
    }

    // A restore creates the file only where its user could create it.
    void restoreOnlyWhereTheUserCouldCreate()
    {
        const QString dir = makeSharedDir(shared, "d", alice, 0755);
        const QString bad = dir + "/bad.com";
        QVERIFY(writeOwned(bad, samples::eicar, alice, 0644));
        SandboxService service;
        QVERIFY(startService(service));
        QVERIFY(scanAsRoot(service, {bad}));
        QVERIFY(callAs(alice, "IsolationProblemFile", true, bad));
        // The directory is root's now.
        QVERIFY(::chown(QFile::encodeName(dir).constData(), 0, 0) == 0);
        QVERIFY(callAs(alice, "IsolationProblemFile", false, bad));
        QVERIFY(!QFileInfo::exists(bad));
        QVERIFY(listed(service, false, bad));
        QVERIFY(service.logText().contains("restore refused, the caller cannot create the file"));
        QCOMPARE(service.exitApp(), 0);
    }

    // Trust only what the caller can read, and a user's trust speaks for that user's scans
    // alone: no one hides another user's detection, nor withdraws another's trust.
    void trustSpeaksOnlyForItsUser_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("bob's private file") << 0600 << false;
        QTest::newRow("bob's readable file") << 0644 << true;
    }

    void trustSpeaksOnlyForItsUser()
    {
        QFETCH(int, mode);
        QFETCH(bool, allowed);
        const QString bad = shared + "/bad.com";
        QVERIFY(writeOwned(bad, samples::eicar, bob, mode_t(mode)));
        SandboxService service;
        QVERIFY(startService(service));
        QVERIFY(callAs(alice, "TrustProblemFile", true, bad));
        QCOMPARE(listed(service, true, bad), allowed);
        if (!allowed)
            QVERIFY(service.logText().contains(
                QStringLiteral("trust not done: the caller cannot read (Permission denied)")));
        // Root's scan, and so bob's, still sees the detection; alice's own does not.
        QCOMPARE(typeReported(service, {}, bad), 1);
        if (allowed)
            QCOMPARE(typeReported(service, alice, bad), 0);

        // Alice's withdrawal leaves root's trust standing.
        SignalLog log;
        service.scanner().TrustProblemFile(true, bad).waitForFinished();
        QVERIFY(log.waitFor("SendTrustProblemFileInfo"));
        QVERIFY(callAs(alice, "TrustProblemFile", false, bad));
        QVERIFY(listed(service, true, bad));
        QCOMPARE(typeReported(service, {}, bad), 0);
        QCOMPARE(service.exitApp(), 0);
    }

    // A user's file linked into the quarantine stays the user's to write through a descriptor
    // opened before. Changed after each isolation, such files must not take every name that one
    // content may have in the quarantine: nobody, root included, could isolate that content any
    // more, and a user could keep its own malware out of quarantine.
    void usersChangedFilesDoNotTakeEveryQuarantineName()
    {
        const QString dir = makeSharedDir(shared, "d", bob, 0755);
        QStringList files;
        std::vector<int> keptOpen;
        for (int i = 0; i < 64; ++i) {
            const QString file = dir + QStringLiteral("/bad%1.com").arg(i);
            QVERIFY(writeOwned(file, samples::eicar, bob, 0644));
            // Bob's own descriptors, as he could open them.
            keptOpen.push_back(::open(QFile::encodeName(file).constData(), O_RDWR | O_CLOEXEC));
            QVERIFY(keptOpen.back() >= 0);
            files << file;
        }
        const QString rootsFile = shared + "/roots.com";
        QVERIFY(writeOwned(rootsFile, samples::eicar, {}, 0644));

        SandboxService service;
        QVERIFY(startService(service));
        QVERIFY(scanAsRoot(service, files));
        for (int i = 0; i < files.size(); ++i) {
            QVERIFY(callAs(bob, "IsolationProblemFile", true, files.at(i)));
            QVERIFY(!QFileInfo::exists(files.at(i)));
            QCOMPARE(::pwrite(keptOpen.at(std::size_t(i)), "changed", 7, 0), ssize_t(7));
        }
        for (const int fd : keptOpen)
            ::close(fd);
        QVERIFY(scanAsRoot(service, {rootsFile}));
        SignalLog log;
        service.scanner().IsolationProblemFile(true, rootsFile).waitForFinished();
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo"));
        QVERIFY2(!QFileInfo::exists(rootsFile), qPrintable(service.logText().right(300)));
        // And it comes back whole.
        log.clear();
        service.scanner().IsolationProblemFile(false, rootsFile).waitForFinished();
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo"));
        QFile back(rootsFile);
        QVERIFY(back.open(QIODevice::ReadOnly));
        QCOMPARE(back.readAll(), samples::eicar);
        QCOMPARE(service.exitApp(), 0);
    }

    // Root keeps a user's trust on its own disk, holds it in memory and reads it whole at every
    // start: as a user's white list, it is bounded, and trusting a path again adds nothing.
    void trustOfAUserIsBounded()
    {
        constexpr int paths = 1100;
        const QString dir = shared + "/many";
        QVERIFY(QDir().mkpath(dir));
        for (int i = 0; i < paths; ++i)
            QVERIFY(writeOwned(dir + "/f" + QString::number(i), "clean", bob, 0644));
        SandboxService service;
        SandboxService::Options options;
        options.allowedCallers = QStringList{SandboxService::binary("snx_dbuscall")};
        QVERIFY(service.start(options));
        SignalLog log;
        for (const QStringList &calls :
             {QStringList{"--each", QString::number(paths), "TrustProblemFile", "b:true",
                          "s:" + dir + "/f%n"},
              QStringList{"--each", "50", "TrustProblemFile", "b:true", "s:" + dir + "/f0"}}) {
            const QStringList command =
                commandAsUser(bob, SandboxService::binary("snx_dbuscall"), calls);
            QProcess caller;
            caller.setProcessChannelMode(QProcess::ForwardedChannels);
            caller.start(command.first(), command.mid(1));
            QVERIFY(caller.waitForFinished(120000));
            QCOMPARE(caller.exitCode(), 0);
        }
        QVERIFY(log.waitFor("SendTrustProblemFileInfo", paths + 50, 120000));
        const QString text = listOf(service, true);
        QCOMPARE(text.count(QLatin1Char('*')), 1024);
        QVERIFY(listed(service, true, dir + "/f0"));
        QVERIFY(service.logText().contains(QStringLiteral("trust not done")));
        // Root's trust is not bounded by the user's.
        service.scanner().TrustProblemFile(true, dir + "/f" + QString::number(paths - 1));
        QVERIFY(log.waitFor("SendTrustProblemFileInfo", paths + 51));
        QCOMPARE(listOf(service, true).count(QLatin1Char('*')), 1025);
        QCOMPARE(service.exitApp(), 0);
    }

private:
    // The type the scan of `path` reports, the scan started by `user` (root when invalid).
    static int typeReported(SandboxService &service, const TestUser &user, const QString &path)
    {
        SignalLog log;
        if (user.valid()) {
            const QStringList command =
                commandAsUser(user, QStringLiteral("gdbus"),
                              {"call", "--system", "--dest", snx::names::busName(), "--object-path",
                               snx::names::objectPath(), "--method",
                               snx::names::interfaceName() + QStringLiteral(".DoDissection"),
                               "['" + path + "']"});
            QProcess gdbus;
            gdbus.start(command.first(), command.mid(1));
            if (!gdbus.waitForFinished(20000) || gdbus.exitCode() != 0)
                return -1;
        } else {
            service.scanner().DoDissection({path}).waitForFinished();
        }
        if (!log.waitFor("SendDissectionFinished"))
            return -1;
        return log.named("SendDissectionProgInfo").value(0).arguments().value(2).toInt();
    }
};

QTEST_GUILESS_MAIN(TestQuarantineRights)
#include "tst_quarantinerights.moc"
