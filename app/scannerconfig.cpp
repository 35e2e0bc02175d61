#include "app/scannerconfig.h"

#include <QDir>

namespace snx {

ScannerConfig ScannerConfig::production()
{
    ScannerConfig c;
    c.serviceName = QStringLiteral("com.velmar.sentinex.scanner");
    c.objectPath = QStringLiteral("/com/velmar/sentinex/scanner");
    c.allowedCallers = QStringList{
        QStringLiteral("/usr/bin/velmar-sentinex"),
        QStringLiteral("/usr/bin/velmar-sentinex-scanner"),
        QStringLiteral("/usr/bin/velmar-sentinex-session-daemon"),
        QStringLiteral("/usr/bin/velmar-sentinex-system-daemon"),
        QStringLiteral("/usr/bin/zorq-guard"),
        QStringLiteral("/usr/bin/zorq-esm"),
        // Added on purpose beyond the suite's original six: the installed command-line client
        // is one of the suite's own programs, with the same rights as its GUI.
        QStringLiteral("/usr/bin/velmar-sentinex-cli"),
    };
    c.permittedLibraryRoots =
        QStringList{QStringLiteral("/usr/lib"), QStringLiteral("/opt/velmar-sentinex-vdbup")};
    c.procRoot = QStringLiteral("/proc");
    c.namespaceReferencePid = QStringLiteral("1");
    c.systemDirectories = QStringList{
        QStringLiteral("bin"),   QStringLiteral("sbin"),  QStringLiteral("lib"),
        QStringLiteral("lib32"), QStringLiteral("lib64"), QStringLiteral("libx32"),
        QStringLiteral("sys"),   QStringLiteral("data"),  QStringLiteral("proc"),
    };
    c.installDir = QStringLiteral("/opt/velmar-sentinex-vdbup/");
    c.ahEngineDir = QStringLiteral("/opt/velmar-sentinex-vdbup/file");
    c.ahUpdateDir = QStringLiteral("/var/lib/velmar-sentinex/clamav");
    c.risEngineDir = QStringLiteral("/opt/velmar-sentinex-vdbup/risfile");
    c.risVirusDatabase = QStringLiteral("/opt/velmar-sentinex-vdbup/risfile/malware.rmd");
    c.configDir = QStringLiteral("/opt/velmar-sentinex-vdbup/file/config/");
    c.databaseFile = QStringLiteral("/opt/velmar-sentinex-vdbup/file/config/scan_cache.db");
    c.quarantineDir = QStringLiteral("/opt/velmar-sentinex-vdbup/file/config/isolation/");
    c.logDir = QStringLiteral("/var/log/velmar/velmar-sentinex-scanner");
    c.logFile =
        QStringLiteral("/var/log/velmar/velmar-sentinex-scanner/velmar-sentinex-scanner.log");
    return c;
}

ScannerConfig ScannerConfig::underRoot(const QString &root)
{
    // Strip trailing slashes so that root + "/opt/..." has exactly one separator.
    QString r = QDir::cleanPath(root);
    if (r == QLatin1String("/"))
        r.clear();
    ScannerConfig c = production();
    for (QString *path :
         {&c.installDir, &c.ahEngineDir, &c.ahUpdateDir, &c.risEngineDir, &c.risVirusDatabase,
          &c.configDir, &c.databaseFile, &c.quarantineDir, &c.logDir, &c.logFile})
        path->prepend(r);
    return c;
}

} // namespace snx
