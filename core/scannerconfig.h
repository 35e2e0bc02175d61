#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

namespace snx {

// Every fixed name, path and policy list of the service, in one value. Production hands the
// service `production()`; the sandbox and the tests hand it the same layout under a private root,
// so they run the very same code against files of their own.
struct ScannerConfig
{
    QString serviceName;
    QString objectPath;

    // Caller check.
    QStringList allowedCallers;
    QStringList permittedLibraryRoots;
    QString procRoot;
    // Process whose mount namespace a caller must share.
    QString namespaceReferencePid;
    // Prefix under which mapped library paths are looked up; empty on a real system.
    QString libraryLookupRoot;

    // File walk.
    QStringList systemDirectories;

    // Run by the scan loop before each file, with the file's index and the pause flag, and with
    // index -1 before the walk of a new task's paths; the loop goes on when it returns. Only the
    // sandbox sets it, for tests that hold a scan mid-run.
    std::function<void(int index, const std::atomic_bool &paused)> beforeScanningFile;

    // Install tree.
    QString installDir;
    QString ahEngineDir;
    // ClamAV databases kept current by freshclam; the Ah engine loads them besides its own.
    QString ahUpdateDir;
    QString risEngineDir;
    QString risVirusDatabase;
    QString configDir;
    QString databaseFile;
    QString quarantineDir;
    // Bytes that a user other than root may have copied into the quarantine by isolating; -1
    // for no limit.
    qint64 userQuarantineQuota = 0;

    // Logging.
    QString logDir;
    QString logFile;

    static ScannerConfig production();
    // The production layout with every path placed under `root`.
    static ScannerConfig underRoot(const QString &root);
};

} // namespace snx
