#include "app/scannerconfig.h"
#include "app/servicemain.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("velmar"));
    QCoreApplication::setApplicationName(QStringLiteral("velmar-sentinex-scanner"));
    return snx::runService(snx::ScannerConfig::production());
}
