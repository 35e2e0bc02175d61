// DoDissection over a corpus, timed as a client on the bus sees it (from the call to
// SendDissectionFinished), against warm clamd (clamdscan --fdpass and --multiscan --fdpass),
// clamscan -r, yara -p 1 -r and yara -r on the same signatures, in alternating rounds of the
// same run; medians are printed with the ratio service / peer.
//
// usage: bench_scan [options] [WORKDIR]
//   --database DIR   signatures of bench/gen-database.sh (bench.hdb, bench.ndb, bench.yar)
//                    for the service and every peer; default: the test signatures
//   --empty N        N empty files (bench/gen-corpus.sh), with the CPU of each thread
//   --small N        N files of 1-16 KiB (bench/gen-corpus.sh)
//   --tree DIR       a tree as it stands, e.g. /usr/share
//   --memory S:N     S scans of N empty files in a row: the service's memory at its peak and
//                    after each scan, against its level once loaded
//   --rounds R       rounds per corpus (default 3)
// Without a corpus option: 20,000 small files and a few large ones (bench::makeCorpus).
// Corpora made in WORKDIR are kept there for the next run.
#include "benchutil.h"
#include "clamdpeer.h"
#include "core/names.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <unistd.h>
#include <vector>

namespace {

const QString ahDir = snx::names::ahEngineDir();
const QString rulesFile = snx::names::risRuleFile();

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Seconds of CPU per thread name of a process (user + system), from /proc.
QMap<QString, double> threadCpu(qint64 pid)
{
    QMap<QString, double> cpu;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    const QString task = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &tid : QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(task + QLatin1Char('/') + tid + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const int open = line.indexOf('('), close = line.lastIndexOf(')');
        const QString name = QString::fromUtf8(line.mid(open + 1, close - open - 1));
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        cpu[name] += (fields.value(11).toDouble() + fields.value(12).toDouble()) / tick;
    }
    return cpu;
}

// Seconds of CPU of a whole process, threads that have ended included.
double totalCpu(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) /
           double(::sysconf(_SC_CLK_TCK));
}

qint64 childNamed(const QByteArray &name)
{
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const int close = line.lastIndexOf(')');
        if (line.mid(line.indexOf('(') + 1, close - line.indexOf('(') - 1) == name &&
            line.mid(close + 2).split(' ').value(1).toLongLong() == ::getpid())
            return pid.toLongLong();
    }
    return -1;
}

double statusMiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toDouble() / 1024;
    return -1;
}

// Forgets the process's peak resident size, so that VmHWM measures from now.
void resetPeak(qint64 pid)
{
    QFile clear(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

double scanThroughTheService(SandboxService &service, int engine, const QString &dir, int *results)
{
    service.scanner().SetEngineType(engine).waitForFinished();
    int count = 0;
    QEventLoop loop;
    QObject::connect(&service.scanner(), &ComVelmarSentinexScannerInterface::SendDissectionProgInfo,
                     [&] { ++count; });
    // Stops the clock the moment the end arrives, not at the next poll.
    QMetaObject::Connection c = QObject::connect(
        &service.scanner(), &ComVelmarSentinexScannerInterface::SendDissectionFinished, &loop,
        &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    service.scanner().DoDissection({dir});
    loop.exec();
    const double secs = bench::seconds(t);
    QObject::disconnect(c);
    QObject::disconnect(&service.scanner(),
                        &ComVelmarSentinexScannerInterface::SendDissectionProgInfo, nullptr,
                        nullptr);
    *results = count;
    return secs;
}

struct CorpusSet
{
    QString name;
    QString dir;
    int files = 0;
    qint64 bytes = 0;
    bool threads = false; // print where the CPU goes
};

// Counts what a tree holds, as the peers see it.
void count(CorpusSet &set)
{
    QDirIterator it(set.dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++set.files;
        set.bytes += it.fileInfo().size();
    }
}

QString generated(const QString &work, const QString &kind, int count)
{
    const QString dir = work + QStringLiteral("/corpus-%1-%2").arg(kind).arg(count);
    if (!QFile::exists(dir + QStringLiteral(".complete"))) {
        QDir(dir).removeRecursively();
        std::printf("generating %d %s files...\n", count, qPrintable(kind));
        std::fflush(stdout);
        QProcess gen;
        gen.setProcessChannelMode(QProcess::ForwardedChannels);
        gen.start(QStringLiteral(SNX_SOURCE_DIR "/bench/gen-corpus.sh"),
                  {dir, kind, QString::number(count)});
        gen.waitForFinished(-1);
        QFile(dir + QStringLiteral(".complete")).open(QIODevice::WriteOnly);
    }
    return dir;
}

void compare(const char *peer, double service, double peerSecs)
{
    if (peerSecs > 0)
        std::printf("  service / %-28s %6.2f\n", peer, service / peerSecs);
    else
        std::printf("  service / %-28s   (peer did not run)\n", peer);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString database, tree, workArg;
    int empty = 0, small = 0, rounds = 3, memoryScans = 0, memoryFiles = 0;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (a == QLatin1String("--database"))
            database = args.takeFirst();
        else if (a == QLatin1String("--empty"))
            empty = args.takeFirst().toInt();
        else if (a == QLatin1String("--small"))
            small = args.takeFirst().toInt();
        else if (a == QLatin1String("--tree"))
            tree = args.takeFirst();
        else if (a == QLatin1String("--rounds"))
            rounds = std::max(1, args.takeFirst().toInt());
        else if (a == QLatin1String("--memory")) {
            const QStringList sn = args.takeFirst().split(QLatin1Char(':'));
            memoryScans = sn.value(0).toInt();
            memoryFiles = sn.value(1).toInt();
        } else
            workArg = a;
    }
    TestBus bus;
    if (!bus.start()) {
        std::fprintf(stderr, "no dbus-daemon\n");
        return 1;
    }
    const auto tmp = bench::workDirectory(workArg.isEmpty() ? QDir::tempPath() : workArg,
                                          QStringLiteral("bench-scan"));
    if (!tmp)
        return 1;
    const QString work = workArg.isEmpty() ? tmp->path() : workArg;

    std::vector<CorpusSet> sets;
    if (empty > 0)
        sets.push_back({QStringLiteral("%1 empty files").arg(empty),
                        generated(work, QStringLiteral("empty"), empty), 0, 0, true});
    if (small > 0)
        sets.push_back({QStringLiteral("%1 files of 1-16 KiB").arg(small),
                        generated(work, QStringLiteral("small"), small), 0, 0, false});
    if (!tree.isEmpty())
        sets.push_back({tree, tree, 0, 0, false});
    const QString memoryDir =
        memoryScans > 0 ? generated(work, QStringLiteral("empty"), memoryFiles) : QString();
    if (sets.empty() && memoryScans == 0) {
        std::printf("generating the corpus...\n");
        const bench::Corpus corpus = bench::makeCorpus(tmp->path());
        sets.push_back({QStringLiteral("small files"), corpus.small, 0, 0, false});
        sets.push_back({QStringLiteral("large files"), corpus.large, 0, 0, false});
    }
    for (CorpusSet &set : sets) {
        count(set);
        bench::warm(set.dir);
    }

    SandboxService service;
    SandboxService::Options options;
    options.settingsArgs = QStringList{QStringLiteral("--scan-size"), QStringLiteral("1024")};
    if (!database.isEmpty()) {
        QDir().mkpath(service.path(ahDir));
        QDir().mkpath(QFileInfo(service.path(rulesFile)).path());
        for (const char *name : {"bench.hdb", "bench.ndb"})
            QFile::copy(database + QLatin1Char('/') + QLatin1String(name),
                        service.path(ahDir) + QLatin1Char('/') + QLatin1String(name));
        QFile::copy(database + QStringLiteral("/bench.yar"), service.path(rulesFile));
    }
    if (!service.start(options)) {
        std::fprintf(stderr, "service did not start\n");
        return 1;
    }
    const qint64 servicePid = service.process().processId();
    const qint64 busPid = childNamed("dbus-daemon");
    const QString sigDir = service.path(ahDir);
    // The rules may read the external the Ris engine sets for each file; yara gets it empty.
    const QStringList yaraArgs = {QStringLiteral("-d"), QStringLiteral("extension="),
                                  QStringLiteral("-r"), service.path(rulesFile)};
    const QStringList clamscanArgs = {QStringLiteral("--no-summary"), QStringLiteral("-d"), sigDir,
                                      QStringLiteral("-r")};

    int results = 0;
    QTemporaryDir warmUp;
    QFile(warmUp.filePath(QStringLiteral("f"))).open(QIODevice::WriteOnly);
    for (int engine : {1, 0}) // signatures loaded once
        scanThroughTheService(service, engine, warmUp.path(), &results);

    bench::ClamdPeer clamd;
    const bool clamdUp = !sets.empty() && clamd.start(work, sigDir, 1024);
    if (!sets.empty() && !clamdUp)
        std::printf("clamd did not start: its peers are left out\n");

    for (const CorpusSet &set : sets) {
        std::printf("%s: %d files, %.1f MB, median of %d rounds\n", qPrintable(set.name), set.files,
                    set.bytes / 1e6, rounds);
        std::vector<double> ah, ris, fdpass, multiscan, clamscan, yara1, yara;
        QMap<QString, double> threads;
        double busCpu = 0, listenerCpu = 0;
        for (int round = 0; round < rounds; ++round) {
            const QMap<QString, double> before = threadCpu(servicePid);
            const double serviceBefore = totalCpu(servicePid);
            const double busBefore = busPid > 0 ? totalCpu(busPid) : 0;
            const double selfBefore = totalCpu(::getpid());
            ah.push_back(scanThroughTheService(service, 1, set.dir, &results));
            if (round == 0 && set.threads) {
                const QMap<QString, double> after = threadCpu(servicePid);
                // The engine's thread has ended by now: it is what the live ones do not explain.
                double ended = totalCpu(servicePid) - serviceBefore;
                for (auto it = after.cbegin(); it != after.cend(); ++it) {
                    threads[it.key()] = it.value() - before.value(it.key());
                    ended -= threads[it.key()];
                }
                threads[QStringLiteral("(ended: engine)")] = ended;
                busCpu = busPid > 0 ? totalCpu(busPid) - busBefore : -1;
                listenerCpu = totalCpu(::getpid()) - selfBefore;
            }
            if (clamdUp) {
                fdpass.push_back(clamd.scan({QStringLiteral("--fdpass")}, set.dir));
                multiscan.push_back(clamd.scan(
                    {QStringLiteral("--multiscan"), QStringLiteral("--fdpass")}, set.dir));
            }
            // clamscan loads the signatures for every run: a peer for small sets only.
            if (set.files <= 100000 && database.isEmpty())
                clamscan.push_back(bench::timeCommand(QStringLiteral("clamscan"),
                                                      clamscanArgs + QStringList{set.dir}));
            ris.push_back(scanThroughTheService(service, 0, set.dir, &results));
            yara1.push_back(bench::timeCommand(
                QStringLiteral("yara"), QStringList{QStringLiteral("-p"), QStringLiteral("1")} +
                                            yaraArgs + QStringList{set.dir}));
            yara.push_back(
                bench::timeCommand(QStringLiteral("yara"), yaraArgs + QStringList{set.dir}));
        }
        if (results != set.files)
            std::printf("  the service reported %d of %d files\n", results, set.files);
        bench::row("service, Ah engine", set.files, set.bytes, median(ah));
        bench::row("clamdscan --fdpass", set.files, set.bytes, median(fdpass));
        bench::row("clamdscan --multiscan --fdpass", set.files, set.bytes, median(multiscan));
        if (!clamscan.empty())
            bench::row("clamscan -r (loads each time)", set.files, set.bytes, median(clamscan));
        bench::row("service, Ris engine", set.files, set.bytes, median(ris));
        bench::row("yara -p 1 -r", set.files, set.bytes, median(yara1));
        bench::row("yara -r", set.files, set.bytes, median(yara));
        compare("clamdscan --multiscan --fdpass", median(ah), median(multiscan));
        compare("clamdscan --fdpass", median(ah), median(fdpass));
        compare("yara -r (Ris)", median(ris), median(yara));
        compare("yara -p 1 -r (Ris)", median(ris), median(yara1));
        if (set.threads) {
            std::printf("  CPU of one Ah scan, per file (first round):\n");
            for (auto it = threads.cbegin(); it != threads.cend(); ++it)
                if (it.value() > 0)
                    std::printf("    service thread %-18s %7.1f us\n", qPrintable(it.key()),
                                it.value() / set.files * 1e6);
            std::printf("    dbus-daemon                       %7.1f us\n",
                        busCpu / set.files * 1e6);
            std::printf("    listener (this program)           %7.1f us\n",
                        listenerCpu / set.files * 1e6);
        }
        std::fflush(stdout);
    }

    if (memoryScans > 0) {
        QThread::sleep(1);
        const double loaded = statusMiB(servicePid, "VmRSS:");
        std::printf("memory: %d Ah scans of %d empty files; loaded, resident %.1f MiB\n",
                    memoryScans, memoryFiles, loaded);
        for (int i = 0; i < memoryScans; ++i) {
            resetPeak(servicePid);
            const double secs = scanThroughTheService(service, 1, memoryDir, &results);
            const double peak = statusMiB(servicePid, "VmHWM:");
            QThread::msleep(500);
            const double after = statusMiB(servicePid, "VmRSS:");
            std::printf("  scan %d: %6.2f s, %d results, peak +%.1f MiB (%.0f bytes a file), "
                        "after +%.1f MiB\n",
                        i + 1, secs, results, peak - loaded,
                        (peak - loaded) * 1048576.0 / memoryFiles, after - loaded);
            std::fflush(stdout);
        }
        std::printf("  after %d scans: %+.1f MiB against the loaded level (target within 10)\n",
                    memoryScans, statusMiB(servicePid, "VmRSS:") - loaded);
    }
    service.exitApp();
    return 0;
}
