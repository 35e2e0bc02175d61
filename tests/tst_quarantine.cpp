// Isolation and restore against an attacker who controls the paths: races with a process that
// flips names, files that turn into FIFOs or links, MD5 collisions, the same path isolated twice,
// refused restores, shared quarantine files. Each case once let root lose or overwrite a file.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString configDir = snx::names::configDir();
const QString quarantine = configDir + QStringLiteral("isolation/");

// A published MD5 collision pair: two different 128-byte blocks with one digest.
const QByteArray collisionA = QByteArray::fromHex(
    "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f8955ad340609f4b30283e48883"
    "2571415a085125e8f7cdc99fd91dbdf280373c5bd8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd"
    "02396306d248cda0e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70");
const QByteArray collisionB = QByteArray::fromHex(
    "d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f8955ad340609f4b30283e48883"
    "25f1415a085125e8f7cdc99fd91dbd7280373c5bd8823e3156348f5bae6dacd436c919c6dd53e23487da03fd"
    "02396306d248cda0e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70");

QString md5(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

QString hashOf(const QString &path, QCryptographicHash::Algorithm algorithm)
{
    QFile f(path);
    QCryptographicHash hash(algorithm);
    return f.open(QIODevice::ReadOnly) && hash.addData(&f)
               ? QString::fromLatin1(hash.result().toHex())
               : QString();
}

QString md5Of(const QString &path)
{
    return hashOf(path, QCryptographicHash::Md5);
}

QString sha256Of(const QString &path)
{
    return hashOf(path, QCryptographicHash::Sha256);
}

QByteArray read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct stat statOf(const QString &path)
{
    struct stat st = {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

bool writeOwned(const QString &path, const QByteArray &content, uid_t uid, mode_t mode)
{
    const QByteArray native = QFile::encodeName(path);
    return samples::write(path, content) && ::chown(native.constData(), uid, uid) == 0 &&
           ::chmod(native.constData(), mode) == 0;
}

int isolationRows(const QString &dbFile, const QString &path)
{
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "reader");
        db.setDatabaseName(dbFile);
        const bool open = db.open();
        QSqlQuery q(db);
        if (open && q.exec(QStringLiteral("select filepath from isolationfiles"))) {
            count = 0;
            while (q.next())
                count += q.value(0).toString() == path;
        }
    }
    QSqlDatabase::removeDatabase("reader");
    return count;
}

// A child process that flips names until it is stopped; see tests/helpers/flipper.cpp.
class Flipper
{
public:
    Flipper(const QString &mode, const QString &a, const QString &b)
    {
        process.start(SandboxService::binary(QStringLiteral("snx-flipper")), {mode, a, b});
        process.waitForStarted();
    }
    ~Flipper()
    {
        process.kill();
        process.waitForFinished();
    }
    void pause() { ::kill(pid_t(process.processId()), SIGSTOP); }
    void resume() { ::kill(pid_t(process.processId()), SIGCONT); }
    bool running() const { return process.state() == QProcess::Running; }

private:
    QProcess process;
};

} // namespace

class TestQuarantine : public QObject
{
    Q_OBJECT
    TestBus bus;
    bool root = ::geteuid() == 0;

    static QStringList scan(SandboxService &service, const QStringList &paths)
    {
        SignalLog log;
        service.scanner().DoDissection(paths).waitForFinished();
        log.waitFor("SendDissectionFinished");
        QStringList found;
        for (const ReceivedSignal &m : log.named("SendDissectionProgInfo"))
            if (m.arguments().at(2).toInt() == 1)
                found << m.arguments().at(0).toString();
        return found;
    }

    // Isolates (true) or restores (false) and waits for the completion signal.
    static bool isolation(SandboxService &service, bool flag, const QString &path)
    {
        SignalLog log;
        service.scanner().IsolationProblemFile(flag, path).waitForFinished();
        if (!log.waitFor("SendIsolationProblemFileInfo", 1, 60000))
            return false;
        return log.named("SendIsolationProblemFileInfo").first().arguments() ==
               QList<QVariant>{flag, path};
    }

    static QString isolatedList(SandboxService &service)
    {
        SignalLog log;
        service.scanner().QueryIsolationProblemFiles().waitForFinished();
        log.waitFor("SendIsolationProblemFiles");
        return log.named("SendIsolationProblemFiles").value(0).arguments().value(0).toString();
    }

    static bool listed(SandboxService &service, const QString &path)
    {
        const QString text = isolatedList(service);
        return text.startsWith(path + '|') || text.contains('*' + path + '|');
    }

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
    }

    // Fault 1: a directory on the path swapped for a link into a root-only directory.
    void isolateRaceThroughASwappedDirectory()
    {
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir tmp;
        const QString secretDir = tmp.filePath("secret");
        QVERIFY(QDir().mkpath(secretDir));
        QVERIFY(::chmod(QFile::encodeName(secretDir), 0700) == 0);
        const QByteArray secret = samples::eicar + " root's own";
        QVERIFY(samples::write(secretDir + "/bad.com", secret));
        QVERIFY(::chmod(QFile::encodeName(secretDir + "/bad.com"), 0600) == 0);

        const QString dir = tmp.filePath("work/dir");
        const QString bad = dir + "/bad.com";
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(samples::write(bad, samples::eicar));
        QCOMPARE(scan(service, {bad}), QStringList{bad});
        // The user's link, beside the real directory, swapped with it all the time.
        const QString link = tmp.filePath("work/link");
        QVERIFY(QFile::link(secretDir, link));
        if (root)
            QVERIFY(::lchown(QFile::encodeName(link), 65534, 65534) == 0);
        const int realDir = ::open(QFile::encodeName(dir).constData(), O_PATH | O_DIRECTORY);
        QVERIFY(realDir >= 0);
        const QString realBad = QStringLiteral("/proc/self/fd/%1/bad.com").arg(realDir);

        Flipper flipper("swap", dir, link);
        QVERIFY(flipper.running());
        int tries = 0;
        int isolated = 0;
        bool won = false;
        for (; tries < 300 && !won; ++tries) {
            if (!QFileInfo::exists(realBad))
                QVERIFY(samples::write(realBad, samples::eicar));
            QVERIFY(isolation(service, true, bad));
            isolated += !QFileInfo::exists(realBad);
            won = read(secretDir + "/bad.com") != secret;
        }
        ::close(realDir);
        QVERIFY2(!won, qPrintable(QStringLiteral("root's file was moved on try %1").arg(tries)));
        // The race was run: some tries found the real directory and isolated its file.
        QVERIFY(isolated > 0);
        QVERIFY(!QFile::exists(service.path(quarantine) + md5(secret)));
        QCOMPARE(service.exitApp(), 0);
    }

    // Fault 2: a link to a root file created at the restore path between check and copy.
    void restoreRaceThroughALinkAtThePath()
    {
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir tmp;
        const QString target = tmp.filePath("passwd");
        const QByteArray targetContent = "root:x:0:0:root:/root:/bin/bash\n";
        QVERIFY(samples::write(target, targetContent));
        QVERIFY(::chmod(QFile::encodeName(target), 0644) == 0);
        const QString bad = tmp.filePath("bad.com");
        QVERIFY(writeOwned(bad, samples::eicar, root ? 65534 : ::geteuid(), 0666));
        QCOMPARE(scan(service, {bad}), QStringList{bad});
        QVERIFY(isolation(service, true, bad));

        Flipper flipper("link", target, bad);
        flipper.pause();
        int tries = 0;
        bool won = false;
        for (; tries < 100 && !won; ++tries) {
            flipper.resume();
            QVERIFY(isolation(service, false, bad));
            flipper.pause();
            const struct stat st = statOf(target);
            won = read(target) != targetContent || st.st_uid != 0 || (st.st_mode & 0777) != 0644;
            // Back to the start: nothing at the path, one isolation on record.
            QFile::remove(bad);
            if (!listed(service, bad)) {
                QVERIFY(writeOwned(bad, samples::eicar, root ? 65534 : ::geteuid(), 0666));
                QVERIFY(isolation(service, true, bad));
            }
        }
        QVERIFY2(!won, qPrintable(QStringLiteral("the target was written on try %1").arg(tries)));
        QCOMPARE(service.exitApp(), 0);
    }

    // Fault 3: a FIFO or a link to an endless device in the file's place, or a huge sparse file:
    // the service answers other calls meanwhile, and only a regular file is isolated.
    void specialFileDoesNotHoldTheService_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("fifo") << "fifo";
        QTest::newRow("link to /dev/zero") << "zero";
        QTest::newRow("10 GiB sparse file") << "sparse";
    }

    void specialFileDoesNotHoldTheService()
    {
        QFETCH(QString, kind);
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir tmp;
        const QString bad = tmp.filePath("bad.com");
        QVERIFY(samples::write(bad, samples::eicar));
        QCOMPARE(scan(service, {bad}), QStringList{bad});
        if (kind == "sparse") {
            QVERIFY(::truncate(QFile::encodeName(bad).constData(), off_t(10) << 30) == 0);
        } else {
            QVERIFY(QFile::remove(bad));
            if (kind == "fifo")
                QVERIFY(::mkfifo(QFile::encodeName(bad).constData(), 0666) == 0);
            else
                QVERIFY(QFile::link("/dev/zero", bad));
        }

        SignalLog log;
        service.scanner().IsolationProblemFile(true, bad);
        QDBusMessage ask =
            QDBusMessage::createMethodCall(snx::names::busName(), snx::names::objectPath(),
                                           snx::names::busName(), "GetEngineType");
        const QDBusMessage answer = QDBusConnection::systemBus().call(ask, QDBus::Block, 5000);
        QCOMPARE(answer.type(), QDBusMessage::ReplyMessage);
        if (kind == "sparse")
            return; // its digest takes a while; the service goes with the test
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo", 1, 10000));
        QVERIFY(QFileInfo(bad).isSymLink() || QFileInfo(bad).exists());
        QVERIFY(!listed(service, bad));
        QCOMPARE(service.exitApp(), 0);
    }

    // Fault 4: two different files with one MD5 each keep their own bytes, owner and mode.
    void equalMd5DifferentContent()
    {
        QCOMPARE(md5(collisionA), md5(collisionB));
        QVERIFY(collisionA != collisionB);
        SandboxService service;
        // A signature that both blocks match, for the Ah engine.
        QVERIFY(QDir().mkpath(service.path(snx::names::ahEngineDir())));
        QVERIFY(samples::write(service.path(snx::names::ahEngineDir() + "/collision.ndb"),
                               "Collision-Test:0:0:d131dd02c5e6eec4693d9a0698aff95c\n"));
        QVERIFY(service.start());
        service.scanner().SetEngineType(1).waitForFinished();
        QTemporaryDir tmp;
        const QString a = tmp.filePath("a.bin");
        const QString b = tmp.filePath("b.bin");
        const uid_t other = root ? 65534 : ::geteuid();
        QVERIFY(writeOwned(a, collisionA, other, 0600));
        QVERIFY(writeOwned(b, collisionB, ::geteuid(), 0666));
        QCOMPARE(scan(service, {a, b}).size(), 2);
        QVERIFY(isolation(service, true, a));
        QVERIFY(isolation(service, true, b));
        QVERIFY(!QFile::exists(a) && !QFile::exists(b));
        QVERIFY(isolation(service, false, a));
        QVERIFY(isolation(service, false, b));
        QCOMPARE(read(a), collisionA);
        QCOMPARE(read(b), collisionB);
        QCOMPARE(statOf(a).st_uid, other);
        QCOMPARE(statOf(a).st_mode & 0777, mode_t(0600));
        QCOMPARE(statOf(b).st_mode & 0777, mode_t(0666));
        QCOMPARE(service.exitApp(), 0);
    }

    // Fault 6: the digest taken through a link to another user's content, the link then
    // replaced by the attacker's file: the other user's quarantine file must stay theirs.
    void digestThroughALinkDoesNotOverwriteAnotherIsolation()
    {
        SandboxService service;
        SandboxService::Options options;
        options.settingsArgs = QStringList{"--scan-size", "1000"};
        QVERIFY(service.start(options));
        QTemporaryDir tmp;
        const QByteArray victimContent = samples::eicar + " victim";
        const QString victim = tmp.filePath("victim.com");
        const uid_t other = root ? 65534 : ::geteuid();
        QVERIFY(writeOwned(victim, victimContent, other, 0600));
        const QString twin = tmp.filePath("twin-of-victim");
        QVERIFY(samples::write(twin, victimContent));
        const QString big = tmp.filePath("big.com");
        QVERIFY(samples::write(big, samples::eicar + QByteArray(128 << 20, 'b')));
        const QString bad = tmp.filePath("bad.com");
        QVERIFY(samples::write(bad, samples::eicar + " attacker"));
        QCOMPARE(scan(service, {victim, big, bad}).size(), 3);
        QVERIFY(isolation(service, true, victim));
        QVERIFY(isolation(service, true, big));

        // The worker is busy restoring the big file while the attacker's path points at the
        // victim's content, then becomes the attacker's own file.
        SignalLog log;
        service.scanner().IsolationProblemFile(false, big);
        QVERIFY(QFile::remove(bad));
        QVERIFY(QFile::link(twin, bad));
        service.scanner().IsolationProblemFile(true, bad).waitForFinished();
        QVERIFY(QFile::remove(bad));
        QVERIFY(samples::write(bad, samples::eicar + " attacker"));
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo", 2, 60000));

        QVERIFY(isolation(service, false, victim));
        QCOMPARE(read(victim), victimContent);
        QCOMPARE(statOf(victim).st_uid, other);
        QCOMPARE(statOf(victim).st_mode & 0777, mode_t(0600));
        QCOMPARE(service.exitApp(), 0);
    }

    // Fault 7: the same path isolated twice keeps both versions, and a second isolation of a
    // path whose file is already gone records nothing.
    void samePathIsolatedTwice()
    {
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir tmp;
        const QString bad = tmp.filePath("bad.com");
        const QByteArray first = samples::eicar + " first";
        const QByteArray second = samples::eicar + " second";
        QVERIFY(samples::write(bad, first));
        QCOMPARE(scan(service, {bad}), QStringList{bad});
        const QString dbFile = service.path(configDir + "scan_cache.db");

        QVERIFY(isolation(service, true, bad));
        QVERIFY(isolation(service, true, bad)); // nothing there any more
        QCOMPARE(isolationRows(dbFile, bad), 1);
        QVERIFY(samples::write(bad, second));
        QVERIFY(isolation(service, true, bad));
        QCOMPARE(isolationRows(dbFile, bad), 2);

        QVERIFY(isolation(service, false, bad));
        QCOMPARE(read(bad), second);
        QVERIFY(listed(service, bad)); // the first version is still isolated
        QVERIFY(QFile::remove(bad));
        QVERIFY(isolation(service, false, bad));
        QCOMPARE(read(bad), first);
        QVERIFY(!listed(service, bad));
        QCOMPARE(isolationRows(dbFile, bad), 0);
        QCOMPARE(service.exitApp(), 0);
    }

    // Fault 8: a refused restore keeps its record, and a later one succeeds.
    void refusedRestoreKeepsItsRecord_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("a file stands at the path") << "file";
        QTest::newRow("a dangling link stands at the path") << "link";
        QTest::newRow("no quarantine file") << "quarantine";
    }

    void refusedRestoreKeepsItsRecord()
    {
        QFETCH(QString, obstacle);
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir tmp;
        const QString bad = tmp.filePath("bad.com");
        QVERIFY(samples::write(bad, samples::eicar));
        QCOMPARE(scan(service, {bad}), QStringList{bad});
        QVERIFY(isolation(service, true, bad));
        const QString quarantined = service.path(quarantine) + md5(samples::eicar);
        const QString aside = tmp.filePath("aside");
        if (obstacle == "file")
            QVERIFY(samples::write(bad, "newer"));
        else if (obstacle == "link")
            QVERIFY(QFile::link(tmp.filePath("nowhere"), bad));
        else
            QVERIFY(QFile::rename(quarantined, aside));

        QVERIFY(isolation(service, false, bad));
        QVERIFY(listed(service, bad));
        QCOMPARE(isolationRows(service.path(configDir + "scan_cache.db"), bad), 1);
        if (obstacle == "file")
            QCOMPARE(read(bad), QByteArray("newer"));
        QVERIFY(!QFile::exists(tmp.filePath("nowhere")));

        if (obstacle == "quarantine")
            QVERIFY(QFile::rename(aside, quarantined));
        else
            QVERIFY(QFile::remove(bad));
        QVERIFY(isolation(service, false, bad));
        QCOMPARE(read(bad), samples::eicar);
        QVERIFY(!listed(service, bad));
        QCOMPARE(service.exitApp(), 0);
    }

    // Fault 9: files of equal content, isolated from different owners, each come back with their
    // own owner, mode and times.
    void sharedQuarantineFileKeepsEachOwnerAndMode()
    {
        if (!root)
            QSKIP("needs root to give files other owners");
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir tmp;
        const QString a = tmp.filePath("a.com");
        const QString b = tmp.filePath("b.com");
        QVERIFY(writeOwned(a, samples::eicar, 65534, 0600));
        QVERIFY(writeOwned(b, samples::eicar, 0, 0666));
        const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(a).constData(), old, 0) == 0);
        QCOMPARE(scan(service, {a, b}).size(), 2);
        QVERIFY(isolation(service, true, a));
        QVERIFY(isolation(service, true, b));
        // The first keeps its inode in quarantine; the second gets a copy of root's, which any
        // later isolation of this content shares.
        QCOMPARE(QDir(service.path(quarantine)).entryList(QDir::Files).size(), 2);
        QVERIFY(isolation(service, false, b));
        QVERIFY(isolation(service, false, a));
        QCOMPARE(statOf(a).st_uid, uid_t(65534));
        QCOMPARE(statOf(a).st_mode & 0777, mode_t(0600));
        QCOMPARE(statOf(a).st_mtim.tv_sec, time_t(1000000000));
        QCOMPARE(statOf(b).st_uid, uid_t(0));
        QCOMPARE(statOf(b).st_mode & 0777, mode_t(0666));
        QCOMPARE(read(a), samples::eicar);
        QCOMPARE(read(b), samples::eicar);
        QCOMPARE(service.exitApp(), 0);
    }

    // Fault 10: a sparse file copied into the quarantine, and copied back by its restore, had
    // its holes written out: a few KiB of data in a large file took the file's whole size on
    // root's disk. Both copies must keep the holes and every byte.
    void sparseFileKeepsItsHoles_data()
    {
        QTest::addColumn<bool>("trailingHole");
        QTest::newRow("data at the very end") << false;
        QTest::newRow("a hole at the end") << true;
    }

    void sparseFileKeepsItsHoles()
    {
        QFETCH(bool, trailingHole);
        SandboxService service;
        SandboxService::Options options;
        options.settingsArgs = QStringList{"--scan-size", "512"}; // MiB, so that it is found
        QVERIFY(service.start(options));
        QTemporaryDir tmp;
        const QString bad = tmp.filePath("sparse.com");
        const qint64 size = qint64(256) << 20;
        {
            QFile f(bad);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.write(samples::eicar) == samples::eicar.size());
            for (const qint64 at : {qint64(1) << 20, size / 2 + 12345})
                QVERIFY(f.seek(at) && f.write(QByteArray(5000, 'd')) == 5000);
            if (trailingHole)
                QVERIFY(f.resize(size));
            else
                QVERIFY(f.seek(size - 3) && f.write("end") == 3);
        }
        const qint64 few = 1 << 20; // far more than the data's blocks, far less than the size
        if (statOf(bad).st_blocks * 512 > few)
            QSKIP("this file system keeps no holes");
        // A second name makes the isolation copy the file rather than link it.
        QVERIFY(::link(QFile::encodeName(bad).constData(),
                       QFile::encodeName(tmp.filePath("second-name")).constData()) == 0);
        const QString digest = sha256Of(bad);
        QCOMPARE(scan(service, {bad}), QStringList{bad});

        QVERIFY(isolation(service, true, bad));
        QVERIFY(!QFile::exists(bad));
        const QString quarantined = service.path(quarantine) + md5Of(tmp.filePath("second-name"));
        const struct stat held = statOf(quarantined);
        QCOMPARE(held.st_nlink, nlink_t(1));
        QCOMPARE(qint64(held.st_size), size);
        QVERIFY2(held.st_blocks * 512 <= few, qPrintable(QString::number(held.st_blocks * 512)));
        QCOMPARE(sha256Of(quarantined), digest);

        QVERIFY(isolation(service, false, bad));
        const struct stat restored = statOf(bad);
        QCOMPARE(qint64(restored.st_size), size);
        QVERIFY2(restored.st_blocks * 512 <= few,
                 qPrintable(QString::number(restored.st_blocks * 512)));
        QCOMPARE(sha256Of(bad), digest);
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestQuarantine)
#include "tst_quarantine.moc"
