// Both scan jobs' scan loops on a generated corpus, against clamscan and yara with the same
// signatures in the same run; and how long a second engine creation takes on a large database.
// usage: bench_engines [WORKDIR]
#include "benchutil.h"
#include "core/scannerconfig.h"
#include "engines/ahvirusscanjob.h"
#include "engines/risvirusscanjob.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <avcore.h>

namespace {

// Runs one job over `dir` in its own thread, as the service does; returns seconds.
template <class Job>
double runJob(const snx::ScannerConfig &config, const QString &dir, int *detections)
{
    QThread thread;
    Job job(config);
    job.moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, &job, &Job::initData);
    int found = 0;
    bool done = false;
    QObject::connect(
        &job, &Job::sendDissectionResult, &job,
        [&](QString, double, int type, QString) { found += type; }, Qt::DirectConnection);
    QObject::connect(
        &job, &Job::sendDissectionFinished, &job, [&] { done = true; }, Qt::DirectConnection);
    QElapsedTimer t;
    t.start();
    job.prepareDissection(true, {dir}, {}, 1024);
    thread.start();
    while (!done)
        QThread::msleep(1);
    const double secs = bench::seconds(t);
    thread.quit();
    thread.wait();
    *detections = found;
    return secs;
}

QString hex32(QRandomGenerator &rng)
{
    QString s;
    for (int i = 0; i < 4; ++i)
        s += QStringLiteral("%1").arg(rng.generate(), 8, 16, QLatin1Char('0'));
    return s;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const auto tmp = bench::workDirectory(app.arguments().value(1, QDir::tempPath()),
                                          QStringLiteral("bench-engines"));
    if (!tmp)
        return 1;
    const snx::ScannerConfig config =
        snx::ScannerConfig::underRoot(tmp->path() + QStringLiteral("/root"));
    QDir().mkpath(config.ahEngineDir);
    QDir().mkpath(config.risEngineDir);
    QFile::copy(QStringLiteral(SNX_SOURCE_DIR "/signatures/starter.ndb"),
                config.ahEngineDir + QStringLiteral("/starter.ndb"));
    QFile::copy(QStringLiteral(SNX_SOURCE_DIR "/signatures/malware.yar"), config.risVirusDatabase);

    std::printf("generating the corpus...\n");
    const bench::Corpus corpus = bench::makeCorpus(tmp->path() + QStringLiteral("/corpus"));
    bench::warm(corpus.small);
    bench::warm(corpus.large);
    const QString clamscan = QStringLiteral("clamscan");
    const QStringList clamArgs = {QStringLiteral("--no-summary"), QStringLiteral("-d"),
                                  config.ahEngineDir, QStringLiteral("-r")};
    const QStringList yaraArgs = {QStringLiteral("-p"), QStringLiteral("1"), QStringLiteral("-r"),
                                  config.risVirusDatabase};

    int found = 0;
    runJob<AhVirusScanJob>(config, corpus.large, &found); // loads the signatures once
    std::printf("small files: %d files, %.1f MB\n", corpus.smallFiles, corpus.smallBytes / 1e6);
    const double ahSmall = runJob<AhVirusScanJob>(config, corpus.small, &found);
    bench::row("Ah job (libclamav)", corpus.smallFiles, corpus.smallBytes, ahSmall);
    std::printf("    detections: %d\n", found);
    const double clamSmall = bench::timeCommand(clamscan, clamArgs + QStringList{corpus.small});
    bench::row("clamscan -r", corpus.smallFiles, corpus.smallBytes, clamSmall);
    const double risSmall = runJob<RisVirusScanJob>(config, corpus.small, &found);
    bench::row("Ris job (libyara)", corpus.smallFiles, corpus.smallBytes, risSmall);
    std::printf("    detections: %d\n", found);
    const double yaraSmall =
        bench::timeCommand(QStringLiteral("yara"), yaraArgs + QStringList{corpus.small});
    bench::row("yara -p 1 -r", corpus.smallFiles, corpus.smallBytes, yaraSmall);

    std::printf("large files: %d files, %.1f MB\n", corpus.largeFiles, corpus.largeBytes / 1e6);
    const double ahLarge = runJob<AhVirusScanJob>(config, corpus.large, &found);
    bench::row("Ah job (libclamav)", corpus.largeFiles, corpus.largeBytes, ahLarge);
    const double clamLarge = bench::timeCommand(clamscan, clamArgs + QStringList{corpus.large});
    bench::row("clamscan -r", corpus.largeFiles, corpus.largeBytes, clamLarge);
    const double risLarge = runJob<RisVirusScanJob>(config, corpus.large, &found);
    bench::row("Ris job (libyara)", corpus.largeFiles, corpus.largeBytes, risLarge);
    const double yaraLarge =
        bench::timeCommand(QStringLiteral("yara"), yaraArgs + QStringList{corpus.large});
    bench::row("yara -p 1 -r", corpus.largeFiles, corpus.largeBytes, yaraLarge);

    std::printf("ratios (higher is better for us):\n");
    std::printf("  clamscan / Ah job, small: %.2f (target >= 1.4)\n", clamSmall / ahSmall);
    std::printf("  clamscan / Ah job, large: %.2f\n", clamLarge / ahLarge);
    std::printf("  yara / Ris job, small:    %.2f (target >= 1.0)\n", yaraSmall / risSmall);
    std::printf("  yara / Ris job, large:    %.2f\n", yaraLarge / risLarge);

    // A database of 25,000 hash signatures: the first engine loads it, the next reuses it.
    const QString bigDb = tmp->path() + QStringLiteral("/bigdb");
    QDir().mkpath(bigDb);
    QFile hdb(bigDb + QStringLiteral("/many.hdb"));
    hdb.open(QIODevice::WriteOnly);
    QRandomGenerator rng(7);
    for (int i = 0; i < 25000; ++i)
        hdb.write(
            QStringLiteral("%1:%2:Bench.Sig.%3\n").arg(hex32(rng)).arg(1000 + i).arg(i).toLatin1());
    hdb.close();
    const QByteArray dir = QFile::encodeName(bigDb);
    QElapsedTimer t;
    t.start();
    avcore_engine *first = avcore_create_engine(12, dir.constData());
    const double firstSecs = bench::seconds(t);
    avcore_destroy_engine(first);
    t.restart();
    avcore_engine *second = avcore_create_engine(12, dir.constData());
    const double secondSecs = bench::seconds(t);
    avcore_destroy_engine(second);
    std::printf("engine creation on 25,000 signatures: first %.3f s, second %.6f s (%.0fx)\n",
                firstSecs, secondSecs, firstSecs / secondSecs);
    return 0;
}
