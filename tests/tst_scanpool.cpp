// A job that scans ahead in several threads reports exactly what a job that scans alone does:
// the same results in the same order, pauses, resumes, stops and new scans included. The engine
// is a stand-in whose "slow" files wait until other threads have scanned ahead, so that every
// pause drops results scanned ahead.
#include "core/scannerconfig.h"
#include "engines/virusscanjob.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace {

// Finds files that begin with "VIRUS". A file named slow* is held until `aheadWanted` other
// files were scanned meanwhile, a pause came, or a few seconds passed, as a large file would be.
class StandInJob : public VirusScanJob
{
    Q_OBJECT
public:
    StandInJob(const snx::ScannerConfig &config, int ahead)
        : VirusScanJob(config, "stand-in engine not created from", QStringLiteral("nothing"),
                       nullptr),
          aheadWanted(ahead)
    {
    }

    std::atomic_int scans{0};
    // Set with a pause: whatever is held then is dropped anyway, and need not be waited for.
    std::atomic_bool holdsReleased{false};

protected:
    std::unique_ptr<EngineHandle> openEngine() override { return std::make_unique<EngineHandle>(); }

    ScanOutcome scanFile(EngineHandle &, int fd, const QByteArray &nativePath) override
    {
        if (QFileInfo(QFile::decodeName(nativePath)).fileName().startsWith("slow")) {
            const int before = scans;
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (scans < before + aheadWanted && !holdsReleased &&
                   std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        char head[5] = {};
        const bool infected = ::pread(fd, head, sizeof head, 0) == 5 &&
                              QByteArray(head, 5) == QByteArrayLiteral("VIRUS");
        ++scans;
        ScanOutcome outcome;
        outcome.status = infected ? 1 : 0;
        if (infected)
            outcome.virusName = QStringLiteral("Stand.In.Virus");
        return outcome;
    }

private:
    const int aheadWanted;
};

// One step of a recorded sequence, as the service drives a job: a new scan of a file set or a
// resume, which may pause after some results; a file removed between the walk and the scan.
struct Step
{
    enum Kind { Scan, Resume, RemoveFile } kind;
    int arg = 0;        // Scan: the file set; RemoveFile: the file
    int pauseAfter = 0; // results after which the pause comes, 0 for none
};

// Runs the steps against a job with `threads` scanning threads and returns what it reported.
class Driver
{
public:
    Driver(const snx::ScannerConfig &config, int threads, const QList<QStringList> &pathSets)
        : job(config, threads > 1 ? 1 : 0), sets(pathSets)
    {
        job.setScanThreads(threads);
        job.moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, &job, &VirusScanJob::initData);
        QObject::connect(&thread, &QThread::finished, &job, &VirusScanJob::unInitData);
        QObject::connect(&job, &VirusScanJob::sendDissectionResult, &sink,
                         [this](QString path, double process, int type, QString name) {
                             stream << QStringLiteral("result %1 %2 %3 %4")
                                           .arg(QFileInfo(path).fileName())
                                           .arg(process, 0, 'g', 17)
                                           .arg(type)
                                           .arg(name);
                         });
        QObject::connect(&job, &VirusScanJob::sendDissectionFinished, &sink,
                         [this] { stream << QStringLiteral("finished"); });
        // The service's pause is a direct call; right after a result it lands where a pause
        // during the next file would.
        QObject::connect(
            &job, &VirusScanJob::sendDissectionResult, &job,
            [this] {
                if (--pauseCountdown == 0) {
                    job.holdsReleased = true;
                    job.pauseDissection();
                }
            },
            Qt::DirectConnection);
    }

    ~Driver() { endRun(); }

    QStringList run(const QList<Step> &steps)
    {
        for (const Step &step : steps) {
            if (step.kind == Step::RemoveFile) {
                QFile::remove(removable.value(step.arg));
                continue;
            }
            endRun();
            // As the service does before every start: a stop or pause reaches the idle job too.
            job.pauseDissection();
            job.prepareDissection(step.kind == Step::Scan,
                                  step.kind == Step::Scan ? sets.value(step.arg) : QStringList(),
                                  {}, 100);
            pauseCountdown = step.pauseAfter > 0 ? step.pauseAfter : -1;
            job.holdsReleased = false;
            thread.start();
            // Returns once the scan loop has, as haltRunningScan waits for it.
            endRun();
            stream << QStringLiteral("loop returned");
        }
        return stream;
    }

    QStringList removable;

private:
    QThread thread;
    QObject sink;

public:
    StandInJob job;

private:
    void endRun()
    {
        thread.quit();
        thread.wait();
        QCoreApplication::sendPostedEvents(&sink);
    }

    QList<QStringList> sets;
    QStringList stream;
    std::atomic_int pauseCountdown{-1};
};

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestScanPool : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    snx::ScannerConfig config;
    QList<QStringList> sets;

    // Files named by their role: slow ones hold their thread, VIRUS ones are found.
    QStringList makeSet(const QString &name, const QStringList &files)
    {
        const QString dir = root.filePath(name);
        QDir().mkpath(dir);
        QStringList paths;
        for (const QString &file : files) {
            paths << dir + "/" + file;
            QFile f(paths.last());
            if (!f.open(QIODevice::WriteOnly))
                return {};
            f.write(file.contains("virus") ? "VIRUS inside" : "clean");
        }
        return paths;
    }

private slots:
    void initTestCase()
    {
        config = snx::ScannerConfig::underRoot(root.path());
        sets << makeSet("a", {"slow0", "a1", "a2-virus", "a3", "slow4", "a5", "a6", "a7-virus",
                              "slow8", "a9", "a10", "a11"});
        sets << makeSet("b", {"slow-b0", "b1-virus", "b2", "b3", "b4", "b5"});
        sets << makeSet("c", {"c0", "slow1", "c2", "c3", "c4"});
        for (const QStringList &set : sets)
            QVERIFY(!set.isEmpty());
    }

    // Results the receiver has not taken hold the loop at the limit, so that a scan that
    // outruns the relay to the bus cannot fill memory with waiting results; a receiver that
    // stops taking them lets the loop run out.
    void unrelayedResultsHoldTheLoop()
    {
        const QStringList files =
            makeSet("held", {"h0", "h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9"});
        StandInJob job(config, 0);
        job.setScanThreads(1);
        job.limitUnrelayedResults(3);
        QThread thread;
        job.moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, &job, &VirusScanJob::initData);
        std::atomic_int results{0};
        QObject::connect(
            &job, &VirusScanJob::sendDissectionResult, &job, [&results] { ++results; },
            Qt::DirectConnection);
        job.prepareDissection(true, {root.filePath("held")}, {}, 100);
        thread.start();
        QTRY_COMPARE(results.load(), 3);
        QThread::msleep(200);
        QCOMPARE(results.load(), 3);
        job.resultRelayed();
        job.resultRelayed();
        QTRY_COMPARE(results.load(), 5);
        job.stopWaitingForRelay();
        QTRY_COMPARE(results.load(), int(files.size()));
        thread.quit();
        QVERIFY(thread.wait(10000));
    }

    void poolReportsWhatOneThreadReports_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<bool>("dropsAhead");
        struct Sequence
        {
            const char *name;
            QList<Step> steps;
            // A pause comes while files after it are scanned ahead.
            bool dropsAhead;
        };
        const QList<Sequence> sequences = {
            {"whole scan", {{Step::Scan, 0}}, false},
            {"pause after 1, resume", {{Step::Scan, 0, 1}, {Step::Resume}}, true},
            {"pause, resume, pause, resume",
             {{Step::Scan, 0, 3}, {Step::Resume, 0, 4}, {Step::Resume}},
             true},
            {"pause on the file again, resume",
             {{Step::Scan, 0, 2}, {Step::Resume, 0, 1}, {Step::Resume}},
             true},
            {"stop: pause then a new scan", {{Step::Scan, 0, 5}, {Step::Scan, 1}}, true},
            {"pause then stop, then a new scan",
             {{Step::Scan, 1, 2}, {Step::Scan, 0, 9}, {Step::Scan, 2}},
             true},
            {"pause during the last file, resume", {{Step::Scan, 2, 5}, {Step::Resume}}, false},
            {"resume after the end", {{Step::Scan, 2}, {Step::Resume}}, false},
            {"empty task, then a scan",
             {{Step::Scan, 3}, {Step::Scan, 1, 1}, {Step::Resume}},
             true},
            {"file gone before its turn",
             {{Step::Scan, 1, 1}, {Step::RemoveFile, 3}, {Step::Resume}},
             true},
        };
        for (int threads : {2, 4})
            for (const auto &sequence : sequences)
                QTest::addRow("%d threads, %s", threads, sequence.name)
                    << threads << sequence.steps << sequence.dropsAhead;
    }
    void poolReportsWhatOneThreadReports()
    {
        QFETCH(int, threads);
        QFETCH(QList<Step>, steps);
        QFETCH(bool, dropsAhead);
        // A set of its own for each run, since a step may remove a file of it.
        QTemporaryDir copies;
        auto copy = [&](int runNo) {
            QList<QStringList> own;
            for (int s = 0; s < sets.size(); ++s) {
                const QString dir = copies.filePath(QStringLiteral("%1-%2").arg(runNo).arg(s));
                QDir().mkpath(dir);
                QStringList paths;
                for (const QString &path : sets[s]) {
                    paths << dir + "/" + QFileInfo(path).fileName();
                    QFile::copy(path, paths.last());
                }
                own << paths;
            }
            return own;
        };
        const QList<QStringList> aloneSets = copy(1);
        const QList<QStringList> poolSets = copy(2);

        Driver alone(config, 1, aloneSets);
        alone.removable = aloneSets.value(1);
        const QStringList expected = alone.run(steps);
        Driver pool(config, threads, poolSets);
        pool.removable = poolSets.value(1);
        const QStringList actual = pool.run(steps);

        QCOMPARE(actual, expected);
        QVERIFY(expected.contains("finished"));
        // Alone, each file reported is scanned once, a file that is gone not at all; the pool
        // scanned ahead what a pause dropped, and scanned it again.
        const bool fileGone = std::any_of(steps.cbegin(), steps.cend(), [](const Step &step) {
            return step.kind == Step::RemoveFile;
        });
        QCOMPARE(alone.job.scans.load() + (fileGone ? 1 : 0),
                 int(expected.filter("result").size()));
        if (dropsAhead)
            QVERIFY2(pool.job.scans > alone.job.scans,
                     qPrintable(QStringLiteral("%1 scans, alone %2")
                                    .arg(pool.job.scans.load())
                                    .arg(alone.job.scans.load())));
    }
};

QTEST_GUILESS_MAIN(TestScanPool)
#include "tst_scanpool.moc"
