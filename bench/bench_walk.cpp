// The walk that builds a scan's file list, against find over the same tree in the same run; then
// what the list costs a file, held and at its peak, against a QStringList of the same paths.
// usage: bench_walk [TREE] [LIMIT_MIB]
#include "benchutil.h"
#include "core/scannerconfig.h"
#include "engines/filewalk.h"

#include <QCoreApplication>
#include <QFile>
#include <malloc.h>

namespace {

// Bytes the allocator has handed out, small and mapped blocks alike.
double heapInUse()
{
    const struct mallinfo2 m = ::mallinfo2();
    return double(m.uordblks + m.hblkhd);
}

double statusBytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toDouble() * 1024;
    return -1;
}

// Starts the peak resident size afresh; returns the resident size now.
double startPeak()
{
    ::malloc_trim(0);
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    return statusBytes("VmRSS:");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString tree = args.value(1, QStringLiteral("/usr"));
    const int limit = args.value(2, QStringLiteral("100")).toInt();
    const snx::WalkRules rules{{}, limit, snx::ScannerConfig::production().systemDirectories};
    const QStringList findArgs = {tree, QStringLiteral("-type"), QStringLiteral("f"),
                                  QStringLiteral("-size"),
                                  QStringLiteral("-%1k").arg(qint64(limit) * 1024 + 1)};

    bench::timeCommand(QStringLiteral("find"), findArgs); // warm the dentry and inode caches
    double walkBest = 1e9, findBest = 1e9;
    int files = 0;
    for (int round = 0; round < 7; ++round) {
        QElapsedTimer t;
        t.start();
        files = snx::walkPathList({tree}, rules).size();
        walkBest = qMin(walkBest, bench::seconds(t));
        findBest = qMin(findBest, bench::timeCommand(QStringLiteral("find"), findArgs));
    }
    std::printf("walk of %s, limit %d MiB, %d files (best of 7, warm cache)\n", qPrintable(tree),
                limit, files);
    std::printf("  collectFiles  %8.3f s  %10.0f files/s\n", walkBest, files / walkBest);
    std::printf("  find          %8.3f s  %10.0f files/s\n", findBest, files / findBest);
    std::printf("  ratio walk/find: %.2f (target <= 1.0)\n", walkBest / findBest);

    // The list the service keeps, then the QStringList it used to keep, beside it.
    double rss = startPeak();
    double heap = heapInUse();
    const snx::PathList list = snx::walkPathList({tree}, rules);
    const double listPeak = statusBytes("VmHWM:") - rss;
    const double listHeld = heapInUse() - heap;
    rss = startPeak();
    heap = heapInUse();
    QStringList strings;
    for (int i = 0; i < list.size(); ++i) {
        QString path = list.at(i);
        path.squeeze(); // as the walk made them, of their exact size
        strings.append(path);
    }
    const double stringsPeak = statusBytes("VmHWM:") - rss;
    const double stringsHeld = heapInUse() - heap;
    const double n = qMax(1, list.size());
    std::printf("memory of the file list, bytes a file (%d files)\n", list.size());
    std::printf("  PathList      held %6.1f  peak %6.1f  (own count %.1f)\n", listHeld / n,
                listPeak / n, double(list.bytesUsed()) / n);
    std::printf("  QStringList   held %6.1f  peak %6.1f\n", stringsHeld / n, stringsPeak / n);
    std::printf("  ratio PathList/QStringList at peak: %.2f (target <= 80 bytes a file)\n",
                listPeak / stringsPeak);
    return 0;
}
