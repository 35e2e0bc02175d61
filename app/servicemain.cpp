#include "app/servicemain.h"

#include "app/servicesignals.h"
#include "core/logging.h"
#include "core/losslessutf8codec.h"
#include "service/operatedbusdata.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <memory>

namespace snx {

int runService(const ScannerConfig &config)
{
    // Before any file name is read: names that are not UTF-8 must reach the engines and the
    // quarantine byte for byte.
    LosslessUtf8Codec::install();
    const bool logDirMade = QDir().mkpath(config.logDir);
    LogBackend::setLogFilePath(config.logFile);
    LogBackend::registerConsoleSink();
    LogBackend::registerFileSink();
    LogBackend::applyLevelFromEnvironment();
    // Said on the console at least: without the directory the log file stays empty.
    if (!logDirMade)
        qWarning() << "log directory not made:" << config.logDir;
    qInfo() << "velmar-sentinex-scanner" << SNX_VERSION << "starting";

    // Before the service object: a SIGTERM during its start-up then ends the process cleanly too.
    ServiceSignals unixSignals;
    auto service = std::make_unique<OperateDBusData>(config);
    QObject::connect(&unixSignals, &ServiceSignals::reloadRequested, service.get(),
                     &OperateDBusData::reloadSignatures);
    const int status = QCoreApplication::exec();
    service.reset();
    return status;
}

} // namespace snx
