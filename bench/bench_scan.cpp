// One DoDissection over a generated corpus, timed as a client on the bus sees it (from the call
// to SendDissectionFinished), against clamscan -r and yara -p 1 -r in the same run.
// usage: bench_scan [WORKDIR]
#include "benchutil.h"
#include "core/names.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>

namespace {

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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestBus bus;
    if (!bus.start()) {
        std::fprintf(stderr, "no dbus-daemon\n");
        return 1;
    }
    QTemporaryDir tmp(app.arguments().value(1, QDir::tempPath()) +
                      QStringLiteral("/bench-scan-XXXXXX"));
    std::printf("generating the corpus...\n");
    const bench::Corpus corpus = bench::makeCorpus(tmp.path());
    bench::warm(corpus.small);
    bench::warm(corpus.large);

    SandboxService service;
    SandboxService::Options options;
    options.settingsArgs = QStringList{QStringLiteral("--scan-size"), QStringLiteral("1024")};
    if (!service.start(options)) {
        std::fprintf(stderr, "service did not start\n");
        return 1;
    }
    const QString sigDir = service.path(snx::names::ahEngineDir());
    const QString rules = service.path(snx::names::risRuleFile());
    const QStringList clamArgs = {QStringLiteral("--no-summary"), QStringLiteral("-d"), sigDir,
                                  QStringLiteral("-r")};
    const QStringList yaraArgs = {QStringLiteral("-p"), QStringLiteral("1"), QStringLiteral("-r"),
                                  rules};

    int results = 0;
    scanThroughTheService(service, 1, corpus.large, &results); // signatures loaded once
    struct Set
    {
        const char *name;
        QString dir;
        int files;
        qint64 bytes;
    };
    for (const Set &set : {Set{"small", corpus.small, corpus.smallFiles, corpus.smallBytes},
                           Set{"large", corpus.large, corpus.largeFiles, corpus.largeBytes}}) {
        std::printf("%s files: %d files, %.1f MB\n", set.name, set.files, set.bytes / 1e6);
        const double ah = scanThroughTheService(service, 1, set.dir, &results);
        bench::row("service, Ah engine", results, set.bytes, ah);
        const double clam =
            bench::timeCommand(QStringLiteral("clamscan"), clamArgs + QStringList{set.dir});
        bench::row("clamscan -r", set.files, set.bytes, clam);
        const double ris = scanThroughTheService(service, 0, set.dir, &results);
        bench::row("service, Ris engine", results, set.bytes, ris);
        const double yara =
            bench::timeCommand(QStringLiteral("yara"), yaraArgs + QStringList{set.dir});
        bench::row("yara -p 1 -r", set.files, set.bytes, yara);
        std::printf("  clamscan / service (Ah):  %.2f (target >= %s)\n", clam / ah,
                    set.files > 100 ? "1.3" : "1/1.05 = 0.95");
        std::printf("  yara / service (Ris):     %.2f (target >= 1.0)\n", yara / ris);
    }
    service.exitApp();
    return 0;
}
