#include "app/servicemain.h"
#include "core/scannerconfig.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // Answered before anything else starts: no bus, no log file.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("velmar-sentinex-scanner %s\n", SNX_VERSION);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "usage: velmar-sentinex-scanner [--version]\n\n"
            "The virus-scanning service of Velmar Sentinex on the D-Bus system bus.\n"
            "It is started by systemd or bus activation; see velmar-sentinex-scanner(8).\n");
        return 0;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("velmar"));
    QCoreApplication::setApplicationName(QStringLiteral("velmar-sentinex-scanner"));
    return snx::runService(snx::ScannerConfig::production());
}
