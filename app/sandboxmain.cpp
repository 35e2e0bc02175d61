// Runs the very same service with every fixed path under a directory of the user's choosing,
// for the demo and the tests. Not installed.
#include "app/servicemain.h"
#include "core/scannerconfig.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: velmar-sentinex-sandbox ROOT [--allow-caller EXECUTABLE]...\n"
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
    while (!args.isEmpty()) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("--user-quarantine-quota") && !args.isEmpty()) {
            bool valid = false;
            config.userQuarantineQuota = args.takeFirst().toLongLong(&valid);
            if (!valid)
                return usage();
            continue;
        }
        if (option != QLatin1String("--allow-caller") || args.isEmpty())
            return usage();
        // An empty entry would let in a caller whose executable cannot be found at all.
        const QString executable = QFileInfo(args.takeFirst()).canonicalFilePath();
        if (executable.isEmpty()) {
            std::fprintf(stderr,
                         "velmar-sentinex-sandbox: --allow-caller needs an existing program\n");
            return 2;
        }
        config.allowedCallers.append(executable);
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
