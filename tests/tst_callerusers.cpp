// The service as unprivileged local users meet it: accounts the test makes for itself call
// through gdbus, which the sandbox allows, so that only their users set them apart; the root
// test process listens to the signals and calls as root.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"
#include "testusers.h"

#include <QDirIterator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString progress = QStringLiteral("SendDissectionProgInfo");
const QString finished = QStringLiteral("SendDissectionFinished");
const QString pauseFinished = QStringLiteral("SendPauseDissectionFinished");
const QString busyError = QStringLiteral("org.freedesktop.DBus.Error.Failed: busy");

struct Outcome
{
    int exitCode;
    QString output;
};

// One call through gdbus as `user`, arguments in gdbus's own syntax.
Outcome callAs(const TestUser &user, const QString &method, const QStringList &args = {})
{
    const QStringList command =
        commandAsUser(user, QStringLiteral("gdbus"),
                      QStringList{"call", "--system", "--dest", snx::names::busName(),
                                  "--object-path", snx::names::objectPath(), "--method",
                                  snx::names::interfaceName() + QLatin1Char('.') + method} +
                          args);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(command.first(), command.mid(1));
    p.waitForFinished(30000);
    return {p.exitCode(), QString::fromUtf8(p.readAll())};
}

QString pathList(const QStringList &paths)
{
    QStringList quoted;
    for (const QString &p : paths)
        quoted << "'" + p + "'";
    return "[" + quoted.join(", ") + "]";
}

void chownTree(const QString &path, const TestUser &user)
{
    QStringList all{path};
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        all << it.next();
    for (const QString &p : all)
        QVERIFY(::chown(QFile::encodeName(p).constData(), user.uid, user.gid) == 0);
}

QString pathOf(const ReceivedSignal &m)
{
    return m.arguments().at(0).toString();
}

// Path, type and virus name of every result of one scan, sorted by path.
QStringList resultsOf(const SignalLog &log)
{
    QStringList out;
    for (const ReceivedSignal &m : log.named(progress))
        out << QStringLiteral("%1 %2 %3")
                   .arg(pathOf(m), m.arguments().at(2).toString(), m.arguments().at(3).toString())
                   .trimmed();
    out.sort();
    return out;
}

} // namespace

class TestCallerUsers : public QObject
{
    Q_OBJECT
    TestBus bus;
    TestUser alice;
    TestUser bob;
    QTemporaryDir top;

    // A scan by `user` (root when invalid) and what it reported.
    QStringList scanAs(SandboxService &service, const TestUser &user, const QStringList &paths)
    {
        SignalLog log;
        if (user.valid()) {
            const Outcome out = callAs(user, "DoDissection", {pathList(paths)});
            if (out.exitCode != 0)
                return {"call failed: " + out.output};
        } else {
            service.scanner().DoDissection(paths).waitForFinished();
        }
        if (!log.waitFor(finished) || !log.barrier())
            return {"no end"};
        return resultsOf(log);
    }

    static SandboxService::Options gdbusAllowed()
    {
        SandboxService::Options options;
        options.allowedCallers = QStringList{QStringLiteral("/usr/bin/gdbus")};
        return options;
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to create the users it calls as");
        if (QStandardPaths::findExecutable(QStringLiteral("gdbus")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("gdbus and setpriv are needed");
        QVERIFY(bus.start());
        alice = ensureTestUser(QStringLiteral("snxtest-alice"));
        bob = ensureTestUser(QStringLiteral("snxtest-bob"));
        QVERIFY(alice.valid() && bob.valid());
        // Users must reach what lies below it.
        QCOMPARE(::chmod(QFile::encodeName(top.path()).constData(), 0755), 0);
    }

    // C1: a copy of a program, deleted after its start and named as an allowed one. The exe
    // link then reads "... (deleted)"; the command line must not stand in for it.
    void deletedExecutableNamedAsAllowedIsRefused()
    {
        SandboxService service;
        QVERIFY(service.start(gdbusAllowed()));
        QCOMPARE(callAs(alice, "SetEngineStatus", {"3"}).exitCode, 0);

        const QString dir = makeSharedDir(top.path(), "c1", alice);
        const QString copy = dir + "/copy";
        QVERIFY(QFile::copy(SandboxService::binary("snx_dbuscall"), copy));
        QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                                QFile::ExeOther));
        const QStringList command = commandAsUser(alice, "bash",
                                                  {"-c", "exec -a /usr/bin/gdbus \"$0\" \"$@\"",
                                                   copy, "--wait", "SetEngineStatus", "i:7"});
        QProcess caller;
        caller.start(command.first(), command.mid(1));
        QVERIFY(waitFor([&] {
            caller.waitForReadyRead(50);
            return caller.peek(64).startsWith("ready") || caller.state() == QProcess::NotRunning;
        }));
        QVERIFY(QFile::remove(copy));
        caller.write("go\n");
        QVERIFY(caller.waitForFinished(30000));
        const QString output = QString::fromUtf8(caller.readAll());
        QVERIFY2(output.contains(QStringLiteral("[] is not allowed to transfer sentinex inter")),
                 qPrintable(output));
        QCOMPARE(service.scanner().GetEngineStatus().value(), 3);
        QCOMPARE(service.exitApp(), 0);
    }

    // The executable is the one the kernel names for the process. A caller that swaps a
    // directory on the way to its own program for a link to an allowed one's directory, while the
    // service looks, must not be taken for the allowed program.
    void executablePathSwappedForALinkIsRefused()
    {
        const QString dir = makeSharedDir(top.path(), "c6", bob);
        // A long way to the swapped directory gives the swap time to happen on it.
        const QString deep = dir + QStringLiteral("/d").repeated(400);
        const QString real = deep + "/x";
        QVERIFY(QDir().mkpath(real));
        const QString copy = real + "/gdbus";
        QVERIFY(QFile::copy(SandboxService::binary("snx_dbuscall"), copy));
        QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                                QFile::ExeOther));
        const QString link = deep + "/z";
        QCOMPARE(::symlink("/usr/bin", QFile::encodeName(link).constData()), 0);
        const QString flipperCopy = dir + "/snx-flipper";
        QVERIFY(QFile::copy(SandboxService::binary("snx-flipper"), flipperCopy));
        chownTree(dir, bob);

        SandboxService service;
        QVERIFY(service.start(gdbusAllowed()));
        QCOMPARE(service.scanner().GetEngineStatus().value(), 0);
        // Started before the flipping, so that it surely runs the copy.
        const QStringList command =
            commandAsUser(bob, copy, {"--wait", "--tries", "300", "SetEngineStatus", "i:7"});
        QProcess caller;
        caller.start(command.first(), command.mid(1));
        QVERIFY(waitFor([&] {
            caller.waitForReadyRead(50);
            return caller.peek(64).startsWith("ready") || caller.state() == QProcess::NotRunning;
        }));
        const QStringList flip = commandAsUser(bob, flipperCopy, {"swap", real, link});
        QProcess flipper;
        flipper.start(flip.first(), flip.mid(1));
        QVERIFY(flipper.waitForStarted());
        QVERIFY(waitFor([&] { return QFileInfo(real).isSymLink(); }));
        caller.write("go\n");
        QVERIFY(caller.waitForFinished(120000));
        flipper.kill();
        flipper.waitForFinished();
        const QString output = QString::fromUtf8(caller.readAll());
        QVERIFY2(!output.contains(QStringLiteral("\nok")) &&
                     output.contains(QStringLiteral("is not allowed to transfer sentinex inter")),
                 qPrintable(output));
        QCOMPARE(service.scanner().GetEngineStatus().value(), 0);
        QCOMPARE(service.exitApp(), 0);
    }

    // F4, and C2-C5 by the same token: whatever program calls, it gets its user's reach only.
    void otherUsersPrivateFilesAreNeitherListedNorRead()
    {
        const QString mine = makeSharedDir(top.path(), "f4-alice", alice, 0700);
        samples::write(mine + "/eicar.com", samples::eicar);
        samples::write(mine + "/clean.txt", "clean");
        chownTree(mine, alice);
        const QString mixed = makeSharedDir(top.path(), "f4-mixed");
        samples::write(mixed + "/alice-only.com", samples::eicar);
        samples::write(mixed + "/public.com", samples::eicar);
        const QByteArray aliceOnly = QFile::encodeName(mixed + "/alice-only.com");
        QCOMPARE(::chown(aliceOnly.constData(), alice.uid, alice.gid), 0);
        QCOMPARE(::chmod(aliceOnly.constData(), 0600), 0);

        SandboxService service;
        QVERIFY(service.start(gdbusAllowed()));
        const QString ris = QStringLiteral("EICAR_Test_File");
        // Bob can neither list Alice's directory nor name a file in it.
        QCOMPARE(scanAs(service, bob, {mine, mine + "/eicar.com"}), QStringList());
        // He may see that her file exists where he can list, but not what it holds.
        QCOMPARE(scanAs(service, bob, {mixed}),
                 (QStringList{mixed + "/alice-only.com 0", mixed + "/public.com 1 " + ris}));
        QVERIFY(service.logText().contains("files not scanned"));
        // Alice reaches her own files; root reaches all.
        QCOMPARE(scanAs(service, alice, {mine}),
                 (QStringList{mine + "/clean.txt 0", mine + "/eicar.com 1 " + ris}));
        QCOMPARE(scanAs(service, {}, {mixed}),
                 (QStringList{mixed + "/alice-only.com 1 " + ris, mixed + "/public.com 1 " + ris}));
        QCOMPARE(service.exitApp(), 0);
    }

    // Another user's process lends nobody its working directory: /proc/PID/cwd is followed only
    // with the right to trace that process, which the caller lacks and the service must not lend
    // it. The same goes for a link the caller made to it, and for the service's own descriptors
    // behind /proc/self/fd.
    void anotherUsersWorkingDirectoryIsNotReachedThroughProc()
    {
        const QString hers = makeSharedDir(top.path(), "m1-alice", alice, 0700);
        const QString open = hers + "/open";
        samples::write(open + "/eicar.com", samples::eicar);
        QVERIFY(QDir().mkdir(open + "/inner"));
        chownTree(hers, alice);
        QCOMPARE(::chmod(QFile::encodeName(open).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(open + "/eicar.com").constData(), 0644), 0);
        const QStringList command =
            commandAsUser(alice, "bash", {"-c", "cd \"$0\" && echo ready && exec sleep 300", open});
        QProcess holder;
        holder.start(command.first(), command.mid(1));
        QVERIFY(holder.waitForReadyRead(10000));
        const QString cwd = QStringLiteral("/proc/%1/cwd").arg(holder.processId());
        const QString bobs = makeSharedDir(top.path(), "m1-bob", bob);
        QCOMPARE(::symlink(QFile::encodeName(cwd).constData(),
                           QFile::encodeName(bobs + "/link").constData()),
                 0);

        SandboxService service;
        QVERIFY(service.start(gdbusAllowed()));
        // Alice's scan reaches her file; Bob's reaches nothing, not even its name.
        const QStringList paths{cwd, cwd + "/eicar.com", bobs + "/link",
                                QStringLiteral("/proc/self/fd")};
        const QStringList byAlice = scanAs(service, alice, {open + "/eicar.com"});
        const QStringList byBob = scanAs(service, bob, paths);
        QCOMPARE(byAlice.size(), 1);
        QVERIFY2(byAlice.first().contains(QStringLiteral("EICAR")), qPrintable(byAlice.first()));
        QCOMPARE(byBob, QStringList());
        // Nor does his trust of a file there tell him it exists: the trusted list is public.
        SignalLog log;
        QCOMPARE(callAs(bob, "TrustProblemFile", {"true", cwd + "/eicar.com"}).exitCode, 0);
        QVERIFY(log.waitFor(QStringLiteral("SendTrustProblemFileInfo")));
        log.clear();
        service.scanner().QueryTrustProblemFiles().waitForFinished();
        QVERIFY(log.barrier());
        for (const ReceivedSignal &m : log.named(QStringLiteral("SendTrustProblemFiles")))
            QVERIFY2(!pathOf(m).contains(cwd), qPrintable(pathOf(m)));
        // Nor his white list: an entry is taken only for what exists, and it hides every path
        // that holds it, here a file of his own.
        const QString mirror = bobs + cwd + "/inner/clean.txt";
        QVERIFY(samples::write(mirror, "clean"));
        chownTree(bobs, bob);
        QCOMPARE(callAs(bob, "SetScanWhiteList", {"true", cwd + "/inner"}).exitCode, 0);
        QCOMPARE(scanAs(service, bob, {mirror}), QStringList{mirror + " 0"});
        holder.kill();
        holder.waitForFinished();
        QCOMPARE(service.exitApp(), 0);
    }

    // F6: one user's white list and size limit cannot hide another user's files.
    void whiteListAndSizeLimitOfAUserApplyToItsScansAlone()
    {
        const QString bobs = makeSharedDir(top.path(), "f6-bob", bob);
        samples::write(bobs + "/a.txt", "a");
        samples::write(bobs + "/skip/b.txt", "b");
        chownTree(bobs, bob);
        const QString alices = makeSharedDir(top.path(), "f6-alice", alice);
        samples::write(alices + "/c.txt", "c");
        chownTree(alices, alice);

        SandboxService service;
        SandboxService::Options options = gdbusAllowed();
        options.settingsArgs = QStringList{"--white-list", bobs + "/skip"};
        QVERIFY(service.start(options));
        const QStringList bobsFiles{bobs + "/a.txt 0"};
        QCOMPARE(scanAs(service, bob, {bobs}), bobsFiles);

        QCOMPARE(callAs(alice, "SetScanWhiteList", {"true", "/"}).exitCode, 0);
        QCOMPARE(callAs(alice, "SetScanWhiteList", {"false", bobs + "/skip"}).exitCode, 0);
        QCOMPARE(callAs(alice, "SetScanFileSize", {"int32 -1"}).exitCode, 0);
        // Bob's and root's scans are as before; Alice's own entries apply to her scans.
        QCOMPARE(scanAs(service, bob, {bobs}), bobsFiles);
        QCOMPARE(scanAs(service, {}, {bobs}), bobsFiles);
        QCOMPARE(scanAs(service, alice, {alices}), QStringList());
        QVERIFY(!service.settingsOutput().contains(snx::names::scanSizeKey()));
        // Root's changes are the system's.
        service.scanner().SetScanWhiteList(true, bobs + "/a.txt").waitForFinished();
        QCOMPARE(scanAs(service, bob, {bobs}), QStringList());
        QCOMPARE(service.exitApp(), 0);
    }

    // D3: another user's scan is neither cut nor steered; root's may replace it.
    void anotherUsersScanIsNeitherCutNorSteered()
    {
        // Her scans are held mid-run: the first before its second file (and, once resumed, before
        // its fourth), the last before its fourth; Bob's three files never reach a hold.
        constexpr int files = 10;
        const QString alices = makeSharedDir(top.path(), "d3-alice", alice);
        samples::corpus(alices, files, {files - 1});
        chownTree(alices, alice);
        const QString bobs = makeSharedDir(top.path(), "d3-bob", bob);
        samples::corpus(bobs, 3);
        chownTree(bobs, bob);

        SandboxService service;
        SandboxService::Options options = gdbusAllowed();
        options.holdAt = {1, 3, 3};
        QVERIFY(service.start(options));
        QCOMPARE(callAs(alice, "SetEngineType", {"1"}).exitCode, 0);
        SignalLog log;
        QCOMPARE(callAs(alice, "DoDissection", {pathList({alices})}).exitCode, 0);
        QVERIFY(service.hold().waitHeld(1));

        Outcome out = callAs(bob, "DoDissection", {pathList({"/"})});
        QVERIFY2(log.count(finished) == 0, "the scan ended before the second user's call");
        QVERIFY2(out.exitCode != 0 && out.output.contains(busyError), qPrintable(out.output));

        QCOMPARE(callAs(alice, "SetDissectionStatus", {"0"}).exitCode, 0);
        service.hold().release(1);
        QVERIFY(log.waitFor(pauseFinished));
        // Paused is still hers: neither a new scan nor pause, resume, stop or exit from Bob.
        for (const QStringList &call :
             {QStringList{"DoDissection", pathList({bobs})},
              QStringList{"SetDissectionStatus", "1"}, QStringList{"SetDissectionStatus", "2"},
              QStringList{"SetDissectionStatus", "0"}, QStringList{"ExitApp"}}) {
            out = callAs(bob, call.first(), call.mid(1));
            QVERIFY2(out.exitCode != 0 && out.output.contains(busyError),
                     qPrintable(call.join(' ') + ": " + out.output));
        }
        QCOMPARE(callAs(alice, "SetDissectionStatus", {"1"}).exitCode, 0);
        QVERIFY(service.hold().waitHeld(3));
        service.hold().release(3);
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());

        // Her scan ran whole, once, and reported nothing but her files.
        QCOMPARE(log.count(finished), 1);
        QSet<QString> reported;
        for (const ReceivedSignal &m : log.named(progress)) {
            QVERIFY2(pathOf(m).startsWith(alices + "/"), qPrintable(pathOf(m)));
            reported.insert(pathOf(m));
        }
        QCOMPARE(reported.size(), files);
        QCOMPARE(log.named(progress).last().arguments().at(1).toDouble(), 1.0);

        // Once it ended, Bob scans; root replaces a running scan of Alice's.
        QCOMPARE(scanAs(service, bob, {bobs}).size(), 3);
        log.clear();
        QCOMPARE(callAs(alice, "DoDissection", {pathList({alices})}).exitCode, 0);
        QVERIFY(service.hold().waitHeld(3));
        QDBusPendingReply<> byRoot = service.scanner().DoDissection({bobs});
        // Her loop passes its file only once root's scan has halted it.
        service.hold().releaseWhenPaused(3);
        byRoot.waitForFinished();
        QVERIFY2(!byRoot.isError(), qPrintable(byRoot.error().message()));
        QVERIFY(log.waitFor(finished));
        QVERIFY(log.barrier());
        QCOMPARE(log.count(finished), 1);
        QVERIFY(pathOf(log.named(progress).last()).startsWith(bobs + "/"));
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCallerUsers)
#include "tst_callerusers.moc"
