// Both scan jobs with the real engines and the starter signatures, in threads of their own as
// the service runs them.
#include "app/scannerconfig.h"
#include "engines/ahvirusscanjob.h"
#include "engines/risvirusscanjob.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <memory>

namespace {

const QByteArray eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

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
    }

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
};

QTEST_GUILESS_MAIN(TestScanJobs)
#include "tst_scanjobs.moc"
