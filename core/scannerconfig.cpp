#include "core/scannerconfig.h"

#include "core/names.h"

#include <QDir>

namespace snx {

ScannerConfig ScannerConfig::production()
{
    return underRoot(QString());
}

ScannerConfig ScannerConfig::underRoot(const QString &root)
{
    // Strip trailing slashes so that root + "/opt/..." has exactly one separator.
    QString r = QDir::cleanPath(root);
    if (r == QLatin1String("/"))
        r.clear();
    // Every file the service touches is placed here, under the root: the sandbox cannot miss one.
    const auto placed = [&r](const QString &path) { return r + path; };
    ScannerConfig c;
    c.serviceName = names::busName();
    c.objectPath = names::objectPath();
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
    c.permittedLibraryRoots = QStringList{QStringLiteral("/usr/lib"), names::installRoot()};
    c.procRoot = QStringLiteral("/proc");
    c.namespaceReferencePid = QStringLiteral("1");
    c.systemDirectories = QStringList{
        QStringLiteral("bin"),   QStringLiteral("sbin"),  QStringLiteral("lib"),
        QStringLiteral("lib32"), QStringLiteral("lib64"), QStringLiteral("libx32"),
        QStringLiteral("sys"),   QStringLiteral("data"),  QStringLiteral("proc"),
    };
    c.installDir = placed(names::installRoot() + QLatin1Char('/'));
    c.ahEngineDir = placed(names::ahEngineDir());
    c.ahUpdateDir = placed(names::ahUpdateDir());
    c.risEngineDir = placed(names::risEngineDir());
    c.risVirusDatabase = placed(names::risRuleFile());
    c.configDir = placed(names::configDir());
    c.databaseFile = placed(names::databaseFile());
    c.quarantineDir = placed(names::quarantineDir());
    c.userQuarantineQuota = qint64(4) << 30;
    c.logDir = placed(names::logDir());
    c.logFile = placed(names::logFile());
    return c;
}

} // namespace snx
