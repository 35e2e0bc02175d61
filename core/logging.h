#pragma once

#include <QLoggingCategory>
#include <QString>

// The service object's own category; every warning of the service goes through it.
Q_DECLARE_LOGGING_CATEGORY(lcScanner)

namespace snx {

// Log back-end on spdlog. Start-up calls the three operations once each, in this order; from then
// on every Qt message of every category goes to all registered sinks.
class LogBackend
{
public:
    // Names the variable of the process environment that sets the lowest level written.
    static constexpr const char *levelVariable = "VELMAR_SENTINEX_LOG_LEVEL";

    static void setLogFilePath(const QString &path);
    // Under systemd (JOURNAL_STREAM names stderr) the console lines carry a "<N>" priority and no
    // time stamp of their own, as journald expects; otherwise the file's line format.
    static void registerConsoleSink();
    // The file is created with mode 0600 if it is missing.
    static void registerFileSink();
    // Takes the level from levelVariable; a value that names no level is logged and ignored.
    static void applyLevelFromEnvironment();
    // Opens the log file path anew, e.g. after logrotate renamed the file. Main thread only.
    static void reopenLogFile();
};

} // namespace snx
