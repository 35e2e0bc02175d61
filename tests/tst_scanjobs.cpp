// Both scan jobs with the real engines and the starter signatures, in threads of their own as
// the service runs them.
#include "core/scannerconfig.h"
#include "engines/ahvirusscanjob.h"
#include "engines/risvirusscanjob.h"

#include "samples.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <list>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace {

const QByteArray &eicar = samples::eicar;
// Found anywhere in a file by the test's own signature "Snx.Test.Tail".
const QByteArray tailMarker = "SNX-TEST-TAIL-MARKER-5f1c9a7e";

// Every message of the process, as the service's log gets them.
QStringList logLines;
QtMessageHandler previousHandler = nullptr;
void keepMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    logLines.append(message);
    previousHandler(type, context, message);
}

bool run(const QString &dir, const QString &program, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

struct Result
{
    QString path;
    double process;
    int type;
    QString name;
};

// Drives one job the way the service does, and collects what it reports on this thread.
class Runner
{
public:
    Runner(bool ah, const snx::ScannerConfig &config)
    {
        if (ah)
            job.reset(new AhVirusScanJob(config));
        else
            job.reset(new RisVirusScanJob(config));
        job->moveToThread(&thread);
        QObject::connect(&thread, SIGNAL(started()), job.get(), SLOT(initData()));
        QObject::connect(&thread, SIGNAL(finished()), job.get(), SLOT(unInitData()));
        connectResults(ah);
    }

    ~Runner()
    {
        thread.quit();
        thread.wait();
        job.reset();
    }

    void start(bool isNewTask, const QStringList &paths)
    {
        thread.quit();
        thread.wait();
        QMetaObject::invokeMethod(job.get(), "pauseDissection", Qt::DirectConnection);
        if (auto *ah = qobject_cast<AhVirusScanJob *>(job.get()))
            ah->prepareDissection(isNewTask, paths, {}, 100);
        else
            qobject_cast<RisVirusScanJob *>(job.get())->prepareDissection(isNewTask, paths, {},
                                                                          100);
        thread.start();
    }

    bool waitFinished(int count)
    {
        return QTest::qWaitFor([&] { return finished >= count; }, 20000);
    }

    void pauseOnResult(int n) { pauseAfter = n; }
    void endRun()
    {
        thread.quit();
        thread.wait();
    }

    QList<Result> results;
    int finished = 0;

private:
    template <class Job> void wire(Job *j)
    {
        QObject::connect(j, &Job::sendDissectionResult, &sink,
                         [this](QString p, double pr, int t, QString n) {
                             results.append({p, pr, t, n});
                         });
        QObject::connect(j, &Job::sendDissectionFinished, &sink, [this] { ++finished; });
        // Pauses from the job's thread right after the n-th result, as a direct pause would.
        QObject::connect(
            j, &Job::sendDissectionResult, j,
            [this, j](QString, double, int, QString) {
                if (--pauseAfter == 0)
                    j->pauseDissection();
            },
            Qt::DirectConnection);
    }
    void connectResults(bool ah)
    {
        if (ah)
            wire(static_cast<AhVirusScanJob *>(job.get()));
        else
            wire(static_cast<RisVirusScanJob *>(job.get()));
    }

    QThread thread;
    QObject sink;
    std::unique_ptr<QObject> job;
    std::atomic_int pauseAfter{-1};
};

} // namespace

class TestScanJobs : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    QTemporaryDir samples;
    snx::ScannerConfig config;

    std::list<QTemporaryDir> roots;

    // An install tree of its own, for a test that needs signatures other than the shared ones.
    snx::ScannerConfig freshConfig()
    {
        roots.emplace_back();
        snx::ScannerConfig own = snx::ScannerConfig::underRoot(roots.back().path());
        QDir().mkpath(own.ahEngineDir);
        QDir().mkpath(own.risEngineDir);
        return own;
    }

    static bool writeFile(const QString &path, const QByteArray &content)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
    }

    QString sample(const QString &name, const QByteArray &content)
    {
        const QString path = samples.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return QString();
        f.write(content);
        return path;
    }

private slots:
    void initTestCase()
    {
        config = snx::ScannerConfig::underRoot(root.path());
        QDir().mkpath(config.ahEngineDir);
        QDir().mkpath(config.risEngineDir);
        QVERIFY(QFile::copy(SNX_SOURCE_DIR "/signatures/starter.ndb",
                            config.ahEngineDir + "/starter.ndb"));
        QVERIFY(QFile::copy(SNX_SOURCE_DIR "/signatures/malware.yar", config.risVirusDatabase));
        QFile tail(config.ahEngineDir + "/tail.ndb");
        QVERIFY(tail.open(QIODevice::WriteOnly));
        tail.write("Snx.Test.Tail:0:*:" + tailMarker.toHex() + "\n");
        previousHandler = qInstallMessageHandler(keepMessage);
    }

    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }

    void engines_data()
    {
        QTest::addColumn<bool>("ah");
        QTest::addColumn<QString>("eicarName");
        QTest::newRow("ah") << true << QStringLiteral("EICAR-Test-File.UNOFFICIAL");
        QTest::newRow("ris") << false << QStringLiteral("EICAR_Test_File");
    }

    void cleanAndDetectedFilesWithProgress_data() { engines_data(); }
    void cleanAndDetectedFilesWithProgress()
    {
        QFETCH(bool, ah);
        QFETCH(QString, eicarName);
        QTemporaryDir dir;
        QStringList paths;
        for (int i = 0; i < 4; ++i) {
            paths << dir.filePath(QStringLiteral("f%1").arg(i));
            QFile f(paths.last());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(i == 2 ? eicar : QByteArray("clean file ") + QByteArray::number(i));
        }
        Runner run(ah, config);
        run.start(true, paths);
        QVERIFY(run.waitFinished(1));
        QCOMPARE(run.results.size(), 4);
        const double expected[] = {0.25, 0.5, 0.75, 1.0};
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(run.results[i].path, paths[i]);
            QCOMPARE(run.results[i].process, expected[i]);
            QCOMPARE(run.results[i].type, i == 2 ? 1 : 0);
            QCOMPARE(run.results[i].name, i == 2 ? eicarName : QString());
        }
        run.endRun();
        QCOMPARE(run.finished, 1);

        Runner one(ah, config);
        one.start(true, {paths[2]});
        QVERIFY(one.waitFinished(1));
        QCOMPARE(one.results.size(), 1);
        QCOMPARE(one.results[0].process, 1.0);
    }

    void emptyTaskFinishesWithoutResults_data() { engines_data(); }
    void emptyTaskFinishesWithoutResults()
    {
        QFETCH(bool, ah);
        Runner run(ah, config);
        run.start(true, {samples.filePath("does-not-exist")});
        QVERIFY(run.waitFinished(1));
        run.endRun();
        QCOMPARE(run.finished, 1);
        QVERIFY(run.results.isEmpty());
    }

    void pauseThenResumeScansTheLastFileAgain_data() { engines_data(); }
    void pauseThenResumeScansTheLastFileAgain()
    {
        QFETCH(bool, ah);
        QTemporaryDir dir;
        QStringList paths;
        for (int i = 0; i < 4; ++i) {
            paths << dir.filePath(QStringLiteral("p%1").arg(i));
            QFile f(paths.last());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("x");
        }
        Runner run(ah, config);
        run.pauseOnResult(2);
        run.start(true, paths);
        QVERIFY(QTest::qWaitFor([&] { return run.results.size() == 2; }, 20000));
        run.endRun(); // the thread ends; the paused job keeps its list and place
        QCOMPARE(run.finished, 0);
        run.start(false, {});
        QVERIFY(run.waitFinished(1));
        QList<double> progress;
        for (const Result &r : run.results)
            progress << r.process;
        QCOMPARE(progress, (QList<double>{0.25, 0.5, 0.5, 0.75, 1.0}));
        QCOMPARE(run.results[2].path, paths[1]);
    }

    void pauseDuringTheLastFileStillFinishes_data() { engines_data(); }
    void pauseDuringTheLastFileStillFinishes()
    {
        QFETCH(bool, ah);
        const QString only = sample(QStringLiteral("last"), "x");
        Runner run(ah, config);
        run.pauseOnResult(1);
        run.start(true, {only});
        QVERIFY(run.waitFinished(1));
        run.endRun();
        // A resume of that task finds the list cleared: one more end, no result.
        run.start(false, {});
        QVERIFY(run.waitFinished(2));
        QCOMPARE(run.results.size(), 1);
    }

    void missingSignaturesReportNothingAsClean_data() { engines_data(); }
    void missingSignaturesReportNothingAsClean()
    {
        QFETCH(bool, ah);
        QTemporaryDir emptyRoot;
        const snx::ScannerConfig bare = snx::ScannerConfig::underRoot(emptyRoot.path());
        QDir().mkpath(bare.ahEngineDir);
        QDir().mkpath(bare.risEngineDir);
        Runner run(ah, bare);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("engine not created"));
        run.start(true, {sample(QStringLiteral("unscanned"), "x")});
        QVERIFY(run.waitFinished(1));
        QVERIFY(run.results.isEmpty());
    }

    void nonAsciiPathReachesTheEngine_data() { engines_data(); }
    void nonAsciiPathReachesTheEngine()
    {
        QFETCH(bool, ah);
        const QString path =
            sample(QString::fromUtf8("t\xc3\xabst \xe2\x82\xac \"q\" %1.com"), eicar);
        Runner run(ah, config);
        run.start(true, {path});
        QVERIFY(run.waitFinished(1));
        QCOMPARE(run.results.size(), 1);
        QCOMPARE(run.results[0].path, path);
        QCOMPARE(run.results[0].type, 1);
    }

    void archiveIsUnpackedByTheAhEngine()
    {
        if (QStandardPaths::findExecutable("zip").isEmpty())
            QSKIP("zip is not installed");
        QTemporaryDir dir;
        QFile inner(dir.filePath("eicar.com"));
        QVERIFY(inner.open(QIODevice::WriteOnly));
        inner.write(eicar);
        inner.close();
        QProcess zip;
        zip.setWorkingDirectory(dir.path());
        zip.start("zip", {"-q", "-r", "nested.zip", "eicar.com"});
        QVERIFY(zip.waitForFinished() && zip.exitCode() == 0);
        Runner run(true, config);
        run.start(true, {dir.filePath("nested.zip")});
        QVERIFY(run.waitFinished(1));
        QCOMPARE(run.results.size(), 1);
        QCOMPARE(run.results[0].name, QStringLiteral("EICAR-Test-File.UNOFFICIAL"));
    }

    void badDatabaseFileIsSkippedAndNamed_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("malformed ndb") << "broken.ndb" << QByteArray("Broken:0:0:zz-not-hex\n");
        QTest::newRow("bad ldb logic")
            << "broken.ldb" << QByteArray("Broken.Ldb;Engine:51-255,Target:0;0&&;zz\n");
        QTest::newRow("truncated cvd")
            << "main.cvd"
            << QByteArray("ClamAV-VDB:14 Apr 2020 08-00 -0400:25800:4564:90:X:X:x:1586865600")
                       .leftJustified(512, ' ') +
                   QByteArray("\x1f\x8b\x08\x00garbage");
    }
    void badDatabaseFileIsSkippedAndNamed()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        const snx::ScannerConfig own = freshConfig();
        QVERIFY(QFile::copy(SNX_SOURCE_DIR "/signatures/starter.ndb",
                            own.ahEngineDir + "/starter.ndb"));
        QVERIFY(writeFile(own.ahEngineDir + "/" + fileName, content));
        logLines.clear();
        Runner run(true, own);
        run.start(true, {sample(QStringLiteral("eicar-beside-bad"), eicar)});
        QVERIFY(run.waitFinished(1));
        QCOMPARE(run.results.size(), 1);
        QCOMPARE(run.results[0].name, QStringLiteral("EICAR-Test-File.UNOFFICIAL"));
        const QStringList named = logLines.filter(own.ahEngineDir + "/" + fileName);
        QCOMPARE(named.size(), 1);
        QVERIFY2(named[0].contains("skipped") && named[0].contains("("), qPrintable(named[0]));
    }

    void risRulesThatDoNotCompileAreLoggedWithTheCompilersMessage()
    {
        const snx::ScannerConfig own = freshConfig();
        QVERIFY(writeFile(own.risVirusDatabase, "rule Broken\n{\n    condition: nonsense +\n}\n"));
        logLines.clear();
        Runner run(false, own);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("engine not created"));
        run.start(true, {sample(QStringLiteral("not-scanned"), eicar)});
        QVERIFY(run.waitFinished(1));
        QVERIFY(run.results.isEmpty());
        const QStringList named = logLines.filter(own.risVirusDatabase);
        QVERIFY2(!named.isEmpty() && named.join('\n').contains("line 3"),
                 qPrintable(logLines.join('\n')));
    }

    void risExternalsDescribeTheScannedFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("rule");
        QTest::newRow("filename and extension") << "Marked.BIN" << QByteArray("x") << "By_Name";
        QTest::newRow("filetype, owner, filepath") << "prog" << QByteArray("MZ\x90") << "By_Type";
        QTest::newRow("none applies") << "plain.txt" << QByteArray("text") << "";
    }
    void risExternalsDescribeTheScannedFile()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, rule);
        const snx::ScannerConfig own = freshConfig();
        const passwd *user = getpwuid(geteuid());
        QVERIFY(user);
        const QByteArray rules = "rule By_Name { condition: filename == \"Marked.BIN\" and "
                                 "extension == \".bin\" }\n"
                                 "rule By_Type { condition: filetype == \"EXE\" and owner == \"" +
                                 QByteArray(user->pw_name) + "\" and filepath == \"" +
                                 QFile::encodeName(samples.path()) + "\" }\n";
        QVERIFY(writeFile(own.risVirusDatabase, rules));
        Runner run(false, own);
        run.start(true, {sample(name, content)});
        QVERIFY(run.waitFinished(1));
        QCOMPARE(run.results.size(), 1);
        QCOMPARE(run.results[0].name, rule);
    }

    void externalsFollowEachFileOfARun()
    {
        const snx::ScannerConfig own = freshConfig();
        QVERIFY(writeFile(own.risVirusDatabase,
                          "rule By_Name { condition: filename == \"Marked.BIN\" }\n"
                          "rule By_Type { condition: filetype == \"EXE\" }\n"));
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("sub")));
        const QStringList paths = {dir.filePath("Marked.BIN"), dir.filePath("sub/plain.txt"),
                                   dir.filePath("sub/prog"), dir.filePath("again.txt")};
        const QByteArray contents[] = {"x", "text", "MZ\x90", "text"};
        for (int i = 0; i < paths.size(); ++i)
            QVERIFY(writeFile(paths[i], contents[i]));
        Runner run(false, own);
        run.start(true, paths);
        QVERIFY(run.waitFinished(1));
        QStringList names;
        for (const Result &r : run.results)
            names << r.name;
        QCOMPARE(names, (QStringList{"By_Name", "", "By_Type", ""}));
    }

    void ahIgnoresWhatLibclamavIgnores_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("detected");
        QTest::newRow("5 bytes, as libclamav: clean") << QByteArray("12345") << false;
        QTest::newRow("6 bytes: matched") << QByteArray("123456") << true;
    }
    void ahIgnoresWhatLibclamavIgnores()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, detected);
        const snx::ScannerConfig own = freshConfig();
        QVERIFY(writeFile(own.ahEngineDir + "/small.hdb",
                          QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex() + ":" +
                              QByteArray::number(content.size()) + ":Snx.Test.Small\n"));
        Runner run(true, own);
        run.start(true, {sample(QStringLiteral("small-%1").arg(content.size()), content)});
        QVERIFY(run.waitFinished(1));
        QCOMPARE(run.results.size(), 1);
        QCOMPARE(run.results[0].type, detected ? 1 : 0);
    }

    void archiveLevelsCountArchivesNotLayers_data()
    {
        QTest::addColumn<int>("zips");
        QTest::addColumn<bool>("inTarGz");
        QTest::addColumn<bool>("detected");
        for (int depth = 1; depth <= 5; ++depth)
            QTest::addRow("%d nested zips", depth) << depth << false << (depth <= 3);
        QTest::newRow("2 zips in a tar.gz: 3 archives") << 2 << true << true;
        QTest::newRow("3 zips in a tar.gz: 4 archives") << 3 << true << false;
    }
    void archiveLevelsCountArchivesNotLayers()
    {
        QFETCH(int, zips);
        QFETCH(bool, inTarGz);
        QFETCH(bool, detected);
        if (QStandardPaths::findExecutable("zip").isEmpty())
            QSKIP("zip is not installed");
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("eicar.com"), eicar));
        QString inner = "eicar.com";
        for (int level = 1; level <= zips; ++level) {
            const QString outer = QStringLiteral("level%1.zip").arg(level);
            QVERIFY(run(dir.path(), "zip", {"-q", outer, inner}));
            inner = outer;
        }
        if (inTarGz) {
            QVERIFY(run(dir.path(), "tar", {"czf", "outer.tar.gz", inner}));
            inner = "outer.tar.gz";
        }
        Runner scan(true, config);
        scan.start(true, {dir.filePath(inner)});
        QVERIFY(scan.waitFinished(1));
        QCOMPARE(scan.results.size(), 1);
        QCOMPARE(scan.results[0].type, detected ? 1 : 0);
        // A file cut at the level is not remembered as clean: on its own it is still found.
        Runner plain(true, config);
        plain.start(true, {dir.filePath("eicar.com")});
        QVERIFY(plain.waitFinished(1));
        QCOMPARE(plain.results.size(), 1);
        QCOMPARE(plain.results[0].type, 1);
    }

    void plainFilesAreScannedWholeArchivesWithinTheirSize_data()
    {
        QTest::addColumn<bool>("zipped");
        QTest::addColumn<bool>("detected");
        // The marker sits at the end of 60 MiB, past the 50 MiB archive size.
        QTest::newRow("plain file of 60 MiB") << false << true;
        QTest::newRow("zip bomb: the same 60 MiB in a zip of 60 KiB") << true << false;
    }
    void plainFilesAreScannedWholeArchivesWithinTheirSize()
    {
        QFETCH(bool, zipped);
        QFETCH(bool, detected);
        QTemporaryDir dir;
        // Sparse: 60 MiB of zeros that cost the disk nothing, then the marker.
        QFile big(dir.filePath("big.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(60 << 20) && big.seek(60 << 20));
        QVERIFY(big.write(tailMarker) == tailMarker.size());
        big.close();
        QString target = dir.filePath("big.bin");
        if (zipped) {
            if (QStandardPaths::findExecutable("zip").isEmpty())
                QSKIP("zip is not installed");
            QVERIFY(run(dir.path(), "zip", {"-q", "bomb.zip", "big.bin"}));
            QVERIFY(QFileInfo(dir.filePath("bomb.zip")).size() < (1 << 20));
            target = dir.filePath("bomb.zip");
        }
        Runner scan(true, config);
        scan.start(true, {target});
        QVERIFY(scan.waitFinished(1));
        QCOMPARE(scan.results.size(), 1);
        QCOMPARE(scan.results[0].name,
                 detected ? QStringLiteral("Snx.Test.Tail.UNOFFICIAL") : QString());
    }
};

QTEST_GUILESS_MAIN(TestScanJobs)
#include "tst_scanjobs.moc"
