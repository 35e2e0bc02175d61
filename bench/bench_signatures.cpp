// Signatures of realistic size (bench/gen-database.sh: 2 million MD5 and 50,000 body signatures,
// 500 YARA rules) through the sandboxed service, against clamd on the same database in the same
// run: load time and memory after load, the first scan after start-up against a warm one, the
// longest pause between two results of a scan while the signatures are reloaded, and the peak
// memory while the new set is built beside the old.
// usage: bench_signatures [WORKDIR [MD5_COUNT BODY_COUNT YARA_RULES]]
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
#include <cstring>
#include <functional>
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    TestBus bus;
    if (!bus.start()) {
        std::fprintf(stderr, "no dbus-daemon\n");
        return 1;
    }
    QTemporaryDir work(args.value(1, QDir::tempPath()) + QStringLiteral("/bench-sigs-XXXXXX"));
    const QString db = work.filePath(QStringLiteral("db"));
    QStringList counts = args.mid(2, 3);
    std::printf("generating the database...\n");
    if (bench::timeCommand(QStringLiteral(SNX_SOURCE_DIR "/bench/gen-database.sh"),
                           QStringList{db} + counts) < 0) {
        std::fprintf(stderr, "bench/gen-database.sh failed\n");
        return 1;
    }
    const bench::Corpus corpus =
        bench::makeCorpus(work.filePath(QStringLiteral("corpus")), 20000, 0);
    bench::warm(corpus.small);
    bench::warm(db);

    // The peer: clamd on the same ClamAV files.
    const QString clamdDb = work.filePath(QStringLiteral("clamd-db"));
    QDir().mkpath(clamdDb);
    for (const char *name : {"bench.hdb", "bench.ndb"})
        QFile::copy(db + "/" + name, clamdDb + "/" + name);
    const QString socket = work.filePath(QStringLiteral("clamd.sock"));
    const QString clamdLog = work.filePath(QStringLiteral("clamd.log"));
    QFile conf(work.filePath(QStringLiteral("clamd.conf")));
    conf.open(QIODevice::WriteOnly);
    conf.write(("LocalSocket " + socket + "\nDatabaseDirectory " + clamdDb + "\nLogFile " +
                clamdLog + "\nForeground yes\nSelfCheck 0\n")
                   .toUtf8());
    conf.close();
    QProcess clamd;
    clamd.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    clamd.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    clamd.start(QStringLiteral("clamd"), {QStringLiteral("--config-file=") + conf.fileName()});
    double clamdLoad = -1, clamdRss = -1, clamdPeak = -1;
    if (clamd.waitForStarted()) {
        waitSampling(clamd.processId(),
                     [&] { return clamdCommand(socket, "PING") == QByteArray("PONG\0", 5); });
        clamdLoad = secondsSinceStart(clamd.processId());
        QThread::msleep(300);
        clamdRss = rssMiB(clamd.processId());
        appendLine(clamdDb + "/bench.ndb", "Snx.Bench.Reload:0:*:736e782d72656c6f6164\n");
        clamdCommand(socket, "RELOAD");
        clamdPeak = waitSampling(clamd.processId(), [&] {
            QFile log(clamdLog);
            return log.open(QIODevice::ReadOnly) &&
                   log.readAll().contains("Database correctly reloaded");
        });
        clamd.kill();
        clamd.waitForFinished();
    }
    const double yaraCompile = bench::timeCommand(
        QStringLiteral("yarac"),
        {QStringLiteral("-d"), QStringLiteral("extension="), db + QStringLiteral("/bench.yar"),
         work.filePath(QStringLiteral("rules.yarc"))});

    // The service, with the same files and the rule set.
    SandboxService service;
    QDir().mkpath(service.path(ahDir));
    QDir().mkpath(QFileInfo(service.path(rulesFile)).path());
    for (const char *name : {"bench.hdb", "bench.ndb"})
        QFile::copy(db + "/" + name, service.path(ahDir) + name);
    QFile::copy(db + "/bench.yar", service.path(rulesFile));
    SandboxService::Options options;
    options.settingsArgs = QStringList{QStringLiteral("--engine-type"), QStringLiteral("1"),
                                       QStringLiteral("--scan-size"), QStringLiteral("1024")};
    t.restart();
    if (!service.start(options)) {
        std::fprintf(stderr, "service did not start\n");
        return 1;
    }
    const qint64 pid = service.process().processId();
    const double startPeak =
        waitSampling(pid, [&] { return service.logText().contains("signatures loaded"); });
    const double serviceLoad = secondsSinceStart(pid);
    QThread::msleep(300);
    const double serviceRss = rssMiB(pid);

    const ScanTiming first = timedScan(service, corpus.small);
    const ScanTiming warm = timedScan(service, corpus.small);
    // A change makes the next scan's start build the new set beside the old one while it scans.
    appendLine(service.path(ahDir) + "bench.ndb", "Snx.Bench.Reload:0:*:736e782d72656c6f6164\n");
    const ScanTiming reloading = timedScan(service, corpus.small);
    waitSampling(pid, [&] { return service.logText().count("signatures loaded") >= 2; });
    const QString log = service.logText();
    const QString reloadLine =
        log.mid(log.lastIndexOf("signatures loaded")).section('\n', 0, 0).trimmed();
    service.exitApp();

    std::printf("database: %s MD5, %s body signatures, %s YARA rules; corpus: %d files\n",
                qPrintable(counts.value(0, "2000000")), qPrintable(counts.value(1, "50000")),
                qPrintable(counts.value(2, "500")), corpus.smallFiles);
    compare("load, process start to ready (both engines)", serviceLoad, "clamd + yarac",
            clamdLoad + yaraCompile, "s  ");
    std::printf("  %-44s clamd %.2f s, yarac %.2f s\n", "", clamdLoad, yaraCompile);
    compare("resident memory after load", serviceRss, "clamd", clamdRss, "MiB");
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
    compare("peak memory during the switch", reloading.peakMiB, "clamd RELOAD", clamdPeak, "MiB");
    std::printf("  %-44s (steady after load: service %.0f MiB, clamd %.0f MiB)\n", "", serviceRss,
                clamdRss);
    return 0;
}
