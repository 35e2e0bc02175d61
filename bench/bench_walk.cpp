// The walk that builds a scan's file list, against find over the same tree in the same run.
// usage: bench_walk [TREE] [LIMIT_MIB]
#include "benchutil.h"
#include "core/scannerconfig.h"
#include "engines/filewalk.h"

#include <QCoreApplication>

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
        files = snx::walkPaths({tree}, rules).size();
        walkBest = qMin(walkBest, bench::seconds(t));
        findBest = qMin(findBest, bench::timeCommand(QStringLiteral("find"), findArgs));
    }
    std::printf("walk of %s, limit %d MiB, %d files (best of 7, warm cache)\n", qPrintable(tree),
                limit, files);
    std::printf("  collectFiles  %8.3f s  %10.0f files/s\n", walkBest, files / walkBest);
    std::printf("  find          %8.3f s  %10.0f files/s\n", findBest, files / findBest);
    std::printf("  ratio walk/find: %.2f (target <= 1.0)\n", walkBest / findBest);
    return 0;
}
