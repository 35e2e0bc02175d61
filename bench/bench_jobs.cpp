// Per-file cost and the use of all cores: DoDissection over many empty files and over 20,000
// small files, with each engine, timed as a client on the bus sees it (from the call to
// SendDissectionFinished), and the service's CPU time for it. Prints the median of alternating
// rounds; the peers' runs are bench_scan's.
// usage: bench_jobs [WORKDIR] [EMPTY_FILES] [SMALL_FILES] [ROUNDS]
#include "benchutil.h"
#include "sandboxservice.h"
#include "testbus.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <unistd.h>
#include <vector>

namespace {

// CPU seconds the service has used so far, all its threads together.
double serviceCpu(SandboxService &service)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(service.process().processId()));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold blanks: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / sysconf(_SC_CLK_TCK);
}

struct Timing
{
    double wall;
    double cpu;
};

Timing scanOnce(SandboxService &service, int engine, const QString &dir, int *results)
{
    service.scanner().SetEngineType(engine).waitForFinished();
    int count = 0;
    QEventLoop loop;
    QMetaObject::Connection progress = QObject::connect(
        &service.scanner(), &ComVelmarSentinexScannerInterface::SendDissectionProgInfo,
        [&] { ++count; });
    QMetaObject::Connection end = QObject::connect(
        &service.scanner(), &ComVelmarSentinexScannerInterface::SendDissectionFinished, &loop,
        &QEventLoop::quit);
    const double cpuBefore = serviceCpu(service);
    QElapsedTimer t;
    t.start();
    service.scanner().DoDissection({dir});
    loop.exec();
    const double secs = bench::seconds(t);
    const double cpu = serviceCpu(service) - cpuBefore;
    QObject::disconnect(progress);
    QObject::disconnect(end);
    *results = count;
    return {secs, cpu};
}

void makeEmptyFiles(const QString &dir, int count)
{
    for (int i = 0; i < count; ++i) {
        const QString sub = dir + QStringLiteral("/d%1").arg(i / 1000);
        if (i % 1000 == 0)
            QDir().mkpath(sub);
        QFile f(sub + QStringLiteral("/e%1").arg(i));
        f.open(QIODevice::WriteOnly);
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int emptyCount = args.value(2, QStringLiteral("100000")).toInt();
    const int smallCount = args.value(3, QStringLiteral("20000")).toInt();
    const int rounds = std::max(1, args.value(4, QStringLiteral("3")).toInt());
    TestBus bus;
    if (!bus.start()) {
        std::fprintf(stderr, "no dbus-daemon\n");
        return 1;
    }
    const auto tmp =
        bench::workDirectory(args.value(1, QDir::tempPath()), QStringLiteral("bench-jobs"));
    if (!tmp)
        return 1;
    std::printf("generating %d empty and %d small files...\n", emptyCount, smallCount);
    const QString empty = tmp->path() + QStringLiteral("/empty");
    makeEmptyFiles(empty, emptyCount);
    const bench::Corpus corpus =
        bench::makeCorpus(tmp->path() + QStringLiteral("/c"), smallCount, 0);
    bench::warm(empty);
    bench::warm(corpus.small);

    SandboxService service;
    SandboxService::Options options;
    options.settingsArgs = QStringList{QStringLiteral("--scan-size"), QStringLiteral("1024")};
    if (!service.start(options)) {
        std::fprintf(stderr, "service did not start\n");
        return 1;
    }
    int results = 0;
    scanOnce(service, 1, corpus.small, &results); // signatures loaded once
    scanOnce(service, 0, corpus.small, &results);
    struct Set
    {
        const char *name;
        QString dir;
        int files;
        qint64 bytes;
    };
    for (const Set &set : {Set{"empty", empty, emptyCount, 0},
                           Set{"small", corpus.small, corpus.smallFiles, corpus.smallBytes}}) {
        std::vector<double> ah, ris, ahCpu, risCpu;
        for (int r = 0; r < rounds; ++r) {
            Timing t = scanOnce(service, 1, set.dir, &results);
            ah.push_back(t.wall);
            ahCpu.push_back(t.cpu);
            if (results != set.files)
                std::printf("  Ah round %d: %d results for %d files\n", r, results, set.files);
            t = scanOnce(service, 0, set.dir, &results);
            ris.push_back(t.wall);
            risCpu.push_back(t.cpu);
            if (results != set.files)
                std::printf("  Ris round %d: %d results for %d files\n", r, results, set.files);
        }
        std::printf("%s files: %d files, %.1f MB, median of %d rounds\n", set.name, set.files,
                    set.bytes / 1e6, rounds);
        bench::row("service, Ah engine", set.files, set.bytes, median(ah));
        std::printf("    service CPU %.3f s, %.1f us a file\n", median(ahCpu),
                    median(ahCpu) / set.files * 1e6);
        bench::row("service, Ris engine", set.files, set.bytes, median(ris));
        std::printf("    service CPU %.3f s, %.1f us a file\n", median(risCpu),
                    median(risCpu) / set.files * 1e6);
    }
    service.exitApp();
    return 0;
}
