// Runs the very same service with every fixed path under a directory of the user's choosing,
// for the demo and the tests. Not installed.
#include "app/scanhold.h"
#include "app/servicemain.h"
#include "core/scannerconfig.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <memory>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: velmar-sentinex-sandbox ROOT [--allow-caller EXECUTABLE]... "
                         "[--hold-socket PATH [--hold-at INDEX]...]\n"
                         "           [--user-quarantine-quota BYTES]\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("velmar"));
    QCoreApplication::setApplicationName(QStringLiteral("velmar-sentinex-scanner"));

    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty() || args.first().startsWith(QLatin1Char('-')))
        return usage();
    const QString root = QFileInfo(args.takeFirst()).absoluteFilePath();
    snx::ScannerConfig config = snx::ScannerConfig::underRoot(root);
    QString holdSocket;
    QVector<int> holdIndexes;
    while (!args.isEmpty()) {
        const QString option = args.takeFirst();
        if (args.isEmpty())
            return usage();
        const QString value = args.takeFirst();
        if (option == QLatin1String("--user-quarantine-quota")) {
            bool isNumber = false;
            config.userQuarantineQuota = value.toLongLong(&isNumber);
            if (!isNumber)
                return usage();
        } else if (option == QLatin1String("--hold-socket")) {
            holdSocket = value;
        } else if (option == QLatin1String("--hold-at")) {
            bool isNumber = false;
            holdIndexes.append(value.toInt(&isNumber));
            if (!isNumber)
                return usage();
        } else if (option == QLatin1String("--allow-caller")) {
            // An empty entry would let in a caller whose executable cannot be found at all.
            const QString executable = QFileInfo(value).canonicalFilePath();
            if (executable.isEmpty()) {
                std::fprintf(stderr,
                             "velmar-sentinex-sandbox: --allow-caller needs an existing program\n");
                return 2;
            }
            config.allowedCallers.append(executable);
        } else {
            return usage();
        }
    }
    if (!holdSocket.isEmpty()) {
        const auto hold = std::make_shared<snx::ScanHold>(holdSocket, holdIndexes);
        config.beforeScanningFile = [hold](int index, const std::atomic_bool &paused) {
            hold->beforeFile(index, paused);
        };
    }
    // Build machines keep process 1's namespace link out of reach even of root, so the sandbox
    // compares callers with its own namespace instead.
    config.namespaceReferencePid = QString::number(QCoreApplication::applicationPid());

    // The install tree that a package would provide.
    for (const QString &dir : {config.ahEngineDir, config.risEngineDir})
        if (!QDir().mkpath(dir))
            qWarning() << "velmar-sentinex-sandbox: engine directory not made:" << dir;
    return snx::runService(config);
}
