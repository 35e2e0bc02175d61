// Isolating a 2 GiB file: the service's peak memory above idle, and the time to the completion
// signal against md5sum plus sha256sum on the same file in the same run.
// usage: bench_isolate [WORKDIR] [SIZE_MIB]
#include "benchutil.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

namespace {

qint64 statusKiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(strlen(field))).trimmed().split(' ').first().toLongLong();
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 sizeMiB = app.arguments().value(2, QStringLiteral("2048")).toLongLong();
    TestBus bus;
    if (!bus.start())
        return 1;
    const auto tmp = bench::workDirectory(app.arguments().value(1, QDir::tempPath()),
                                          QStringLiteral("bench-isolate"));
    if (!tmp)
        return 1;
    const QString path = tmp->filePath(QStringLiteral("big.bin"));
    {
        std::printf("writing a %lld MiB file...\n", sizeMiB);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(samples::eicar);
        QByteArray block(1 << 20, Qt::Uninitialized);
        QRandomGenerator rng(3);
        rng.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        for (qint64 i = 0; i < sizeMiB; ++i)
            f.write(block);
    }
    SandboxService service;
    SandboxService::Options options;
    options.settingsArgs = QStringList{QStringLiteral("--scan-size"), QStringLiteral("1000000")};
    if (!service.start(options))
        return 1;
    const qint64 pid = service.process().processId();
    SignalLog log;
    service.scanner().DoDissection({path}).waitForFinished();
    log.waitFor(QStringLiteral("SendDissectionFinished"), 1, 600000);
    if (log.named(QStringLiteral("SendDissectionProgInfo")).value(0).arguments().value(2).toInt() !=
        1) {
        std::fprintf(stderr, "the file was not reported\n");
        return 1;
    }

    bench::warm(tmp->path());
    // The service takes both digests, MD5 for the name and SHA-256 to tell collisions apart.
    const double digestTools = bench::timeCommand(QStringLiteral("md5sum"), {path}) +
                               bench::timeCommand(QStringLiteral("sha256sum"), {path});
    const qint64 idle = statusKiB(pid, "VmRSS:");
    QFile clear(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5"); // restart the peak from here
    clear.close();
    QElapsedTimer t;
    t.start();
    // The call returns at once; the database worker digests the file and links it.
    service.scanner().IsolationProblemFile(true, path).waitForFinished();
    log.waitFor(QStringLiteral("SendIsolationProblemFileInfo"), 1, 600000);
    const double isolation = bench::seconds(t);
    const qint64 peak = statusKiB(pid, "VmHWM:");
    std::printf("isolating %lld MiB\n", sizeMiB);
    std::printf(
        "  service RSS idle %lld KiB, peak during isolation %lld KiB: %+.1f MiB (target < 64)\n",
        idle, peak, (peak - idle) / 1024.0);
    std::printf("  isolation in the service %.3f s, md5sum + sha256sum %.3f s: ratio %.2f "
                "(target <= 1.15)\n",
                isolation, digestTools, isolation / digestTools);
    service.exitApp();
    return 0;
}
