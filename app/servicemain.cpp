#include "app/servicemain.h"

#include "app/logging.h"
#include "service/operatedbusdata.h"

#include <QCoreApplication>
#include <QDir>
#include <memory>

namespace snx {

int runService(const ScannerConfig &config)
{
    QDir().mkpath(config.logDir);
    LogBackend::setLogFilePath(config.logFile);
    LogBackend::registerConsoleSink();
    LogBackend::registerFileSink();

    auto service = std::make_unique<OperateDBusData>(config);
    const int status = QCoreApplication::exec();
    service.reset();
    return status;
}

} // namespace snx
