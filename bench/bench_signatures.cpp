// Signatures of realistic size (bench/gen-database.sh: 2 million MD5 and 50,000 body signatures,
// 500 YARA rules) through the sandboxed service, against clamd on the same database in the same
// run. In alternating rounds, medians: the load at start-up, and a reload of a changed database
// while the process runs (SIGHUP against clamd's RELOAD). Then, once: memory after load, the
// first scan after start-up against a warm one, the longest pause between two results of a scan
// while the signatures are reloaded, and the peak memory while the new set is built beside the
// old. --loads-only stops after the rounds.
// usage: bench_signatures [--rounds N] [--loads-only] [WORKDIR [MD5_COUNT BODY_COUNT YARA_RULES]]
#include "benchutil.h"
#include "core/names.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

const QString ahDir = snx::names::ahEngineDir() + QLatin1Char('/');
const QString rulesFile = snx::names::risRuleFile();

double rssMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    return -1;
}

// Runs the event loop until `done`, sampling the process's memory every 5 ms; returns the peak.
double waitSampling(qint64 pid, const std::function<bool()> &done, int timeoutMs = 600000)
{
    double peak = 0;
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        peak = std::max(peak, rssMiB(pid));
        QThread::msleep(5);
    }
    return std::max(peak, rssMiB(pid));
}

// How long the process has run, from the kernel's record of its start (1/100 s).
double secondsSinceStart(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    QFile uptime(QStringLiteral("/proc/uptime"));
    if (!stat.open(QIODevice::ReadOnly) || !uptime.open(QIODevice::ReadOnly))
        return -1;
    // Field 22, counted after the command name, which may hold blanks.
    const QByteArray fields = stat.readAll();
    const QList<QByteArray> after = fields.mid(fields.lastIndexOf(')') + 2).split(' ');
    const double started = after.value(19).toDouble() / double(::sysconf(_SC_CLK_TCK));
    return uptime.readAll().split(' ').first().toDouble() - started;
}

bool appendLine(const QString &path, const QByteArray &line)
{
    QFile f(path);
    return f.open(QIODevice::Append) && f.write(line) == line.size();
}

// One command on clamd's socket and its NUL-terminated reply; empty when clamd is not ready.
QByteArray clamdCommand(const QString &socketPath, const QByteArray &command)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    QByteArray reply;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        const QByteArray request = "z" + command + '\0';
        if (::write(fd, request.constData(), size_t(request.size())) == request.size()) {
            char buffer[256];
            ssize_t n;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
                reply.append(buffer, int(n));
                if (reply.endsWith('\0'))
                    break;
            }
        }
    }
    if (fd >= 0)
        ::close(fd);
    return reply;
}

struct ScanTiming
{
    double seconds = 0;
    double longestGapMs = 0;
    double p99GapMs = 0;
    int gapsOver100Ms = 0;
    std::vector<double> gapsMs;
    int results = 0;
    double peakMiB = 0;
};

// One Ah scan of `dir`, timing every result as the client receives it.
ScanTiming timedScan(SandboxService &service, const QString &dir)
{
    ScanTiming timing;
    QElapsedTimer t;
    qint64 last = 0;
    bool finished = false;
    auto &scanner = service.scanner();
    auto c1 =
        QObject::connect(&scanner, &ComVelmarSentinexScannerInterface::SendDissectionProgInfo, [&] {
            const qint64 now = t.nsecsElapsed();
            if (timing.results++ > 0)
                timing.gapsMs.push_back((now - last) / 1e6);
            last = now;
        });
    auto c2 = QObject::connect(&scanner, &ComVelmarSentinexScannerInterface::SendDissectionFinished,
                               [&] { finished = true; });
    t.start();
    scanner.DoDissection({dir});
    timing.peakMiB = waitSampling(service.process().processId(), [&] { return finished; });
    timing.seconds = bench::seconds(t);
    std::sort(timing.gapsMs.begin(), timing.gapsMs.end());
    if (!timing.gapsMs.empty()) {
        timing.longestGapMs = timing.gapsMs.back();
        timing.p99GapMs = timing.gapsMs[timing.gapsMs.size() * 99 / 100];
        timing.gapsOver100Ms =
            int(timing.gapsMs.end() -
                std::upper_bound(timing.gapsMs.begin(), timing.gapsMs.end(), 100.0));
    }
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    return timing;
}

void compare(const char *what, double service, const char *peerName, double peer, const char *unit)
{
    std::printf("  %-44s service %9.2f %s   %-18s %9.2f %s   service/peer %.2f\n", what, service,
                unit, peerName, peer, unit, peer > 0 ? service / peer : 0.0);
}

// Processor time the process has used so far, user and system (fields 14 and 15).
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray fields = stat.readAll();
    const QList<QByteArray> after = fields.mid(fields.lastIndexOf(')') + 2).split(' ');
    return (after.value(11).toDouble() + after.value(12).toDouble()) /
           double(::sysconf(_SC_CLK_TCK));
}

// Processor time of the children waited for so far.
double childrenCpuSeconds()
{
    struct rusage usage = {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

const QByteArray reloadSignature = "Snx.Bench.Reload:0:*:736e782d72656c6f6164\n";

// One start and one reload, timed from the process's start and from the request to the log
// line that says the new set is in use; processor time alongside, which other engineers' builds
// on the machine disturb less.
struct LoadRound
{
    double load = -1;
    double loadCpu = -1;
    double reload = -1;
    double reloadCpu = -1;
    double rssMiB = -1;
    double reloadPeakMiB = -1;
};

// clamd on a fresh copy of the ClamAV files: start-up until it answers, then RELOAD.
LoadRound clamdRound(const QString &db, const QString &dir)
{
    LoadRound round;
    const QString clamdDb = dir + QStringLiteral("/db");
    QDir().mkpath(clamdDb);
    for (const char *name : {"bench.hdb", "bench.ndb"})
        QFile::copy(db + "/" + name, clamdDb + "/" + name);
    const QString socket = dir + QStringLiteral("/clamd.sock");
    const QString clamdLog = dir + QStringLiteral("/clamd.log");
    QFile conf(dir + QStringLiteral("/clamd.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write(("LocalSocket " + socket + "\nDatabaseDirectory " + clamdDb + "\nLogFile " +
                clamdLog + "\nForeground yes\nSelfCheck 0\n")
                   .toUtf8());
    conf.close();
    QProcess clamd;
    clamd.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    clamd.setStandardOutputFile(QProcess::nullDevice());
    clamd.start(QStringLiteral("clamd"), {QStringLiteral("--config-file=") + conf.fileName()});
    if (!clamd.waitForStarted())
        return round;
    const qint64 pid = clamd.processId();
    waitSampling(pid, [&] {
        return clamd.state() != QProcess::Running ||
               clamdCommand(socket, "PING") == QByteArray("PONG\0", 5);
    });
    if (clamd.state() == QProcess::Running) {
        round.load = secondsSinceStart(pid);
        round.loadCpu = cpuSeconds(pid);
        QThread::msleep(300);
        round.rssMiB = rssMiB(pid);
        appendLine(clamdDb + "/bench.ndb", reloadSignature);
        const double cpuBefore = cpuSeconds(pid);
        QElapsedTimer t;
        t.start();
        clamdCommand(socket, "RELOAD");
        round.reloadPeakMiB = waitSampling(pid, [&] {
            QFile log(clamdLog);
            return log.open(QIODevice::ReadOnly) &&
                   log.readAll().contains("Database correctly reloaded");
        });
        round.reload = bench::seconds(t);
        round.reloadCpu = cpuSeconds(pid) - cpuBefore;
    }
    clamd.kill();
    clamd.waitForFinished();
    return round;
}

void installDatabase(SandboxService &service, const QString &db)
{
    QDir().mkpath(service.path(ahDir));
    QDir().mkpath(QFileInfo(service.path(rulesFile)).path());
    for (const char *name : {"bench.hdb", "bench.ndb"})
        QFile::copy(db + "/" + name, service.path(ahDir) + name);
    QFile::copy(db + "/bench.yar", service.path(rulesFile));
}

SandboxService::Options serviceOptions()
{
    SandboxService::Options options;
    options.settingsArgs = QStringList{QStringLiteral("--engine-type"), QStringLiteral("1"),
                                       QStringLiteral("--scan-size"), QStringLiteral("1024")};
    return options;
}

// The service on its own copy of the files: start-up until its log says both engines' sets are
// loaded, then SIGHUP after a change of the Ah database, until it says so again.
LoadRound serviceRound(const QString &db)
{
    LoadRound round;
    SandboxService service;
    installDatabase(service, db);
    if (!service.start(serviceOptions()))
        return round;
    const qint64 pid = service.process().processId();
    waitSampling(pid, [&] { return service.logText().contains("signatures loaded"); });
    round.load = secondsSinceStart(pid);
    round.loadCpu = cpuSeconds(pid);
    QThread::msleep(300);
    round.rssMiB = rssMiB(pid);
    appendLine(service.path(ahDir) + "bench.ndb", reloadSignature);
    const double cpuBefore = cpuSeconds(pid);
    QElapsedTimer t;
    t.start();
    ::kill(pid_t(pid), SIGHUP);
    round.reloadPeakMiB =
        waitSampling(pid, [&] { return service.logText().count("signatures loaded") >= 2; });
    round.reload = bench::seconds(t);
    round.reloadCpu = cpuSeconds(pid) - cpuBefore;
    service.exitApp();
    return round;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int rounds = 5;
    bool loadsOnly = false;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("--"))) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("--rounds") && !args.isEmpty())
            rounds = std::max(1, args.takeFirst().toInt());
        else if (option == QLatin1String("--loads-only"))
            loadsOnly = true;
        else {
            std::fprintf(stderr, "usage: bench_signatures [--rounds N] [--loads-only] [WORKDIR "
                                 "[MD5_COUNT BODY_COUNT YARA_RULES]]\n");
            return 2;
        }
    }
    TestBus bus;
    if (!bus.start()) {
        std::fprintf(stderr, "no dbus-daemon\n");
        return 1;
    }
    const auto workDir =
        bench::workDirectory(args.value(0, QDir::tempPath()), QStringLiteral("bench-sigs"));
    if (!workDir)
        return 1;
    const QTemporaryDir &work = *workDir;
    const QString db = work.filePath(QStringLiteral("db"));
    QStringList counts = args.mid(1, 3);
    std::printf("generating the database...\n");
    if (bench::timeCommand(QStringLiteral(SNX_SOURCE_DIR "/bench/gen-database.sh"),
                           QStringList{db} + counts) < 0) {
        std::fprintf(stderr, "bench/gen-database.sh failed\n");
        return 1;
    }
    bench::warm(db);

    // Alternating rounds: the machine is shared, so each side goes first as often.
    std::vector<LoadRound> clamdRounds, serviceRounds;
    std::vector<double> yaracs, yaracCpus;
    for (int i = 0; i < rounds; ++i) {
        auto runClamd = [&] {
            const QString dir = work.filePath(QStringLiteral("clamd-%1").arg(i));
            clamdRounds.push_back(clamdRound(db, dir));
            QDir(dir).removeRecursively();
            const double cpuBefore = childrenCpuSeconds();
            yaracs.push_back(bench::timeCommand(QStringLiteral("yarac"),
                                                {QStringLiteral("-d"), QStringLiteral("extension="),
                                                 db + QStringLiteral("/bench.yar"),
                                                 work.filePath(QStringLiteral("rules.yarc"))}));
            yaracCpus.push_back(childrenCpuSeconds() - cpuBefore);
        };
        if (i % 2 == 0)
            runClamd();
        serviceRounds.push_back(serviceRound(db));
        if (i % 2 == 1)
            runClamd();
        const LoadRound &c = clamdRounds.back(), &s = serviceRounds.back();
        std::printf("round %d: load service %.2f s, clamd %.2f s + yarac %.2f s; reload service "
                    "%.2f s, clamd %.2f s\n",
                    i + 1, s.load, c.load, yaracs.back(), s.reload, c.reload);
        std::fflush(stdout);
    }
    auto medianOf = [](const std::vector<LoadRound> &all, double LoadRound::*field) {
        std::vector<double> values;
        for (const LoadRound &r : all)
            values.push_back(r.*field);
        return median(values);
    };
    std::vector<double> peerLoads, peerLoadCpus;
    for (size_t i = 0; i < clamdRounds.size(); ++i) {
        peerLoads.push_back(clamdRounds[i].load + yaracs[i]);
        peerLoadCpus.push_back(clamdRounds[i].loadCpu + yaracCpus[i]);
    }

    std::printf("database: %s MD5, %s body signatures, %s YARA rules; %d alternating rounds, "
                "medians\n",
                qPrintable(counts.value(0, "2000000")), qPrintable(counts.value(1, "50000")),
                qPrintable(counts.value(2, "500")), rounds);
    compare("load at start-up, process start to ready", medianOf(serviceRounds, &LoadRound::load),
            "clamd + yarac", median(peerLoads), "s  ");
    std::printf("  %-44s target: service/peer <= 1.0; clamd %.2f s, yarac %.2f s\n", "",
                medianOf(clamdRounds, &LoadRound::load), median(yaracs));
    compare("  processor time until ready", medianOf(serviceRounds, &LoadRound::loadCpu),
            "clamd + yarac", median(peerLoadCpus), "s  ");
    compare("reload of a changed Ah database, running", medianOf(serviceRounds, &LoadRound::reload),
            "clamd RELOAD", medianOf(clamdRounds, &LoadRound::reload), "s  ");
    std::printf("  %-44s target: service/peer <= 1.0 (the service's reload runs niced)\n", "");
    compare("  processor time of the reload", medianOf(serviceRounds, &LoadRound::reloadCpu),
            "clamd", medianOf(clamdRounds, &LoadRound::reloadCpu), "s  ");
    const double clamdRss = medianOf(clamdRounds, &LoadRound::rssMiB);
    compare("resident memory after load", medianOf(serviceRounds, &LoadRound::rssMiB), "clamd",
            clamdRss, "MiB");
    if (loadsOnly)
        return 0;
    std::fflush(stdout);

    const bench::Corpus corpus =
        bench::makeCorpus(work.filePath(QStringLiteral("corpus")), 20000, 0);
    bench::warm(corpus.small);
    SandboxService service;
    installDatabase(service, db);
    if (!service.start(serviceOptions())) {
        std::fprintf(stderr, "service did not start\n");
        return 1;
    }
    const qint64 pid = service.process().processId();
    const double startPeak =
        waitSampling(pid, [&] { return service.logText().contains("signatures loaded"); });
    const ScanTiming first = timedScan(service, corpus.small);
    const ScanTiming warm = timedScan(service, corpus.small);
    // A change makes the next scan's start build the new set beside the old one while it scans.
    appendLine(service.path(ahDir) + "bench.ndb", reloadSignature);
    const ScanTiming reloading = timedScan(service, corpus.small);
    waitSampling(pid, [&] { return service.logText().count("signatures loaded") >= 2; });
    const QString log = service.logText();
    const QString reloadLine =
        log.mid(log.lastIndexOf("signatures loaded")).section('\n', 0, 0).trimmed();
    service.exitApp();

    std::printf("corpus: %d files\n", corpus.smallFiles);
    compare("peak memory while loading at start", startPeak, "clamd (after load)", clamdRss, "MiB");
    compare("first scan after start-up vs warm scan", first.seconds, "warm scan", warm.seconds,
            "s  ");
    std::printf("  %-44s target: service/peer <= 1.10\n", "");
    compare("longest pause between results, reloading", reloading.longestGapMs, "no reload",
            warm.longestGapMs, "ms ");
    std::printf("  %-44s target: <= 100 ms; scan %.2f s, %s\n", "", reloading.seconds,
                qPrintable(reloadLine));
    compare("99th percentile pause, reloading", reloading.p99GapMs, "no reload", warm.p99GapMs,
            "ms ");
    std::printf("  %-44s pauses over 100 ms: %d while reloading, %d without\n", "",
                reloading.gapsOver100Ms, warm.gapsOver100Ms);
    compare("peak memory during the switch", reloading.peakMiB, "clamd RELOAD",
            medianOf(clamdRounds, &LoadRound::reloadPeakMiB), "MiB");
    return 0;
}
