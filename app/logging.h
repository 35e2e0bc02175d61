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
    static void setLogFilePath(const QString &path);
    static void registerConsoleSink();
    static void registerFileSink();
};

} // namespace snx
