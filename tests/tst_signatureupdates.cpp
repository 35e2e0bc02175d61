// Signatures end to end: the real service in its sandbox with databases of the test's own, every
// sample of Debian's clamav-testfiles, and database files that change while the service runs.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

const QString progress = QStringLiteral("SendDissectionProgInfo");
const QString finished = QStringLiteral("SendDissectionFinished");
const QString testFiles = QStringLiteral("/usr/share/clamav-testfiles");
const QString ahDir = snx::names::ahEngineDir() + QLatin1Char('/');
const QString updateDir = QStringLiteral("/var/lib/velmar-sentinex/clamav/");

// The Ah engine, files up to 100 MiB.
SandboxService::Options ahOptions()
{
    SandboxService::Options options;
    options.settingsArgs = QStringList{"--engine-type", "1", "--scan-size", "100"};
    return options;
}

// One scan; the results, or none when it did not finish.
QList<ReceivedSignal> scan(SandboxService &service, const QStringList &paths)
{
    SignalLog log;
    service.scanner().DoDissection(paths).waitForFinished();
    if (!log.waitFor(finished, 1, 120000))
        return {};
    return log.named(progress);
}

bool detected(SandboxService &service, const QString &path)
{
    const QList<ReceivedSignal> results = scan(service, {path});
    return results.size() == 1 && results[0].arguments().at(2).toInt() == 1;
}

QByteArray md5Signature(const QByteArray &content, const QByteArray &name)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex() + ":" +
           QByteArray::number(content.size()) + ":" + name + "\n";
}

// Rewrites a file in place and gives it back its former modification time to the nanosecond:
// only its change time tells the edit.
bool editKeepingModificationTime(const QString &path, const QByteArray &content)
{
    struct stat before;
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &before) != 0)
        return false;
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || f.write(content) != content.size())
        return false;
    f.close();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    return ::utimensat(AT_FDCWD, native.constData(), times, 0) == 0;
}

} // namespace

class TestSignatureUpdates : public QObject
{
    Q_OBJECT
    TestBus bus;

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
    }

    void clamavTestFilesAreAllDetected()
    {
        const QByteArray clam = [] {
            QFile f(testFiles + "/clam.exe");
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        if (clam.isEmpty())
            QSKIP("Debian's clamav-testfiles is not installed (scripts/install-deps)");
        // The nested-archive sample holds the program nine archives deep, past the three levels
        // the service unpacks; our signature for it is the archive it holds at the first level.
        QTemporaryDir unpacked;
        QProcess tar;
        tar.start("tar", {"xzf", testFiles + "/clam_cache_emax.tgz", "-C", unpacked.path()});
        QVERIFY(tar.waitForFinished() && tar.exitCode() == 0);
        QFile nested(unpacked.filePath("clam01.tgz"));
        QVERIFY(nested.open(QIODevice::ReadOnly));
        SandboxService service;
        // Our own signatures for the test program inside every sample: its digest, and the
        // first bytes of its code for the samples whose unpacked program differs in its headers.
        QVERIFY(samples::write(service.path(ahDir + "clamtest.hdb"),
                               md5Signature(clam, "Snx.Test.Clam.Hdb") +
                                   md5Signature(nested.readAll(), "Snx.Test.Clam.NestedTgz")));
        QVERIFY(samples::write(service.path(ahDir + "clamtest.ndb"),
                               "Snx.Test.Clam.Ndb:1:*:" + clam.mid(0x40, 48).toHex() + "\n"));
        QVERIFY(service.start(ahOptions()));
        const QStringList files = QDir(testFiles).entryList(QDir::Files, QDir::Name);
        QVERIFY(files.size() >= 40);
        const QList<ReceivedSignal> results = scan(service, {testFiles});
        QCOMPARE(results.size(), files.size());
        QStringList missed;
        for (const ReceivedSignal &r : results)
            if (r.arguments().at(2).toInt() != 1)
                missed << r.arguments().at(0).toString();
        QVERIFY2(missed.isEmpty(), qPrintable("missed: " + missed.join(", ")));
        QCOMPARE(service.exitApp(), 0);
    }

    void signaturesLoadAtStartUpBeforeAnyScan()
    {
        SandboxService service;
        QVERIFY(service.start(ahOptions()));
        QVERIFY(waitFor([&] { return service.logText().contains("signatures loaded"); }));
        QCOMPARE(service.exitApp(), 0);
    }

    // logrotate's and systemctl reload's signal loads what changed, without waiting for a scan.
    void sighupLoadsChangedSignatures()
    {
        SandboxService service;
        QVERIFY(service.start(ahOptions()));
        QVERIFY(waitFor([&] { return service.logText().contains("signatures loaded"); }));
        QVERIFY(samples::write(service.path(updateDir + "update.hdb"),
                               md5Signature("what a reload detects\n", "Snx.Test.Reload")));
        ::kill(pid_t(service.process().processId()), SIGHUP);
        QVERIFY(waitFor([&] { return service.logText().count("signatures loaded") == 2; }));
        QCOMPARE(service.process().state(), QProcess::Running);
        QCOMPARE(service.exitApp(), 0);
    }

    void updatedDatabasesLoadUnlessAnotherUserCanChangeThem_data()
    {
        QTest::addColumn<int>("dirMode");
        QTest::addColumn<int>("fileMode");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("root's alone") << 0755 << 0644 << true;
        QTest::newRow("file writable by its group") << 0755 << 0664 << false;
        QTest::newRow("directory writable by all") << 0777 << 0644 << false;
    }
    void updatedDatabasesLoadUnlessAnotherUserCanChangeThem()
    {
        QFETCH(int, dirMode);
        QFETCH(int, fileMode);
        QFETCH(bool, loaded);
        SandboxService service;
        const QString file = service.path(updateDir + "update.hdb");
        const QByteArray sample = "what an update detects\n";
        QVERIFY(samples::write(file, md5Signature(sample, "Snx.Test.Update")));
        QVERIFY(::chmod(QFile::encodeName(file).constData(), mode_t(fileMode)) == 0);
        QVERIFY(::chmod(QFile::encodeName(service.path(updateDir)).constData(), mode_t(dirMode)) ==
                0);
        QVERIFY(service.start(ahOptions()));
        QTemporaryDir dir;
        QVERIFY(samples::write(dir.filePath("sample"), sample));
        QCOMPARE(detected(service, dir.filePath("sample")), loaded);
        QCOMPARE(service.logText().contains("may be changed by another user than root"), !loaded);
        QCOMPARE(service.exitApp(), 0);
    }

    void changedDatabaseFilesAreSeen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("before"); // empty: the file is not there at first
        QTest::addColumn<QByteArray>("after");  // empty: the file is deleted
        QTest::addColumn<QByteArray>("sample");
        QTest::addColumn<bool>("detectedBefore");
        const QByteArray sample = "a sample of the test's own, 40 bytes...\n";
        const QByteArray marker = "Snx.Test.Marker:0:*:";
        QTest::newRow("deleted .hdb")
            << "own.hdb" << md5Signature(sample, "Snx.Test.Own") << QByteArray() << sample << true;
        QTest::newRow("deleted .ign2") << "quiet.ign2" << QByteArray("EICAR-Test-File\n")
                                       << QByteArray() << samples::eicar << false;
        QTest::newRow("added .hdb")
            << "own.hdb" << QByteArray() << md5Signature(sample, "Snx.Test.Own") << sample << false;
        QTest::newRow("edited within the same second, same size and time")
            << "marker.ndb" << marker + QByteArray("MARKER-AAAA").toHex() + "\n"
            << marker + QByteArray("MARKER-BBBB").toHex() + "\n"
            << QByteArray("xx MARKER-BBBB xx") << false;
    }
    void changedDatabaseFilesAreSeen()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(QByteArray, sample);
        QFETCH(bool, detectedBefore);
        SandboxService service;
        // Something always loads, whatever the row ignores or deletes.
        QVERIFY(samples::write(service.path(ahDir + "keeper.hdb"),
                               md5Signature("keeper", "Snx.Test.Keeper")));
        const QString file = service.path(ahDir + name);
        if (!before.isEmpty())
            QVERIFY(samples::write(file, before));
        QVERIFY(service.start(ahOptions()));
        QTemporaryDir dir;
        const QString target = dir.filePath("sample");
        QVERIFY(samples::write(target, sample));
        QCOMPARE(detected(service, target), detectedBefore);

        if (after.isEmpty())
            QVERIFY(QFile::remove(file));
        else if (before.isEmpty())
            QVERIFY(samples::write(file, after));
        else
            QVERIFY(editKeepingModificationTime(file, after));
        // The scan that sees the change starts the new load and goes on with the signatures in
        // use; one of the next scans has the new ones.
        QVERIFY(waitFor([&] { return detected(service, target) != detectedBefore; }, 30000));
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSignatureUpdates)
#include "tst_signatureupdates.moc"
