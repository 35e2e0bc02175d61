#include "engines/ahvirusscanjob.h"

#include "core/scannerconfig.h"
#include "engines/enginetext.h"

#include <QDebug>
#include <QFile>
#include <avcore.h>
#include <cstddef>
#include <cstring>

static_assert(sizeof(avcore_result) == 280, "Ah result record is 280 bytes");
static_assert(offsetof(avcore_result, status) == 4, "Ah result value at offset 4");
static_assert(offsetof(avcore_result, virus_name) == 8, "Ah virus name at offset 8");

namespace {
constexpr int32_t engineFlags = 12;
constexpr int32_t archiveMaxSize = 50 * 1024 * 1024;
constexpr int32_t archiveMaxLevel = 3;

struct AhEngine : VirusScanJob::EngineHandle
{
    explicit AhEngine(avcore_engine *created) : engine(created) {}
    ~AhEngine() override { avcore_destroy_engine(engine); }
    AhEngine(const AhEngine &) = delete;
    AhEngine &operator=(const AhEngine &) = delete;

    avcore_engine *const engine;
    avcore_scan_context scanContext = {};
};
} // namespace

AhVirusScanJob::AhVirusScanJob(const snx::ScannerConfig &config, QObject *parent)
    : VirusScanJob(config, "ah engine not created: no signature loaded from", config.ahEngineDir,
                   parent),
      engineDir(QFile::encodeName(config.ahEngineDir))
{
    avcore_add_database_dir(engineDir.constData(),
                            QFile::encodeName(config.ahUpdateDir).constData());
}

std::unique_ptr<VirusScanJob::EngineHandle> AhVirusScanJob::openEngine()
{
    avcore_engine *created = avcore_create_engine(engineFlags, engineDir.constData());
    if (!created)
        return nullptr;
    avcore_set_option(created, "archive-max-size", &archiveMaxSize);
    avcore_set_option(created, "archive-max-level", &archiveMaxLevel);
    return std::make_unique<AhEngine>(created);
}

VirusScanJob::ScanOutcome AhVirusScanJob::scanFile(EngineHandle &handle, int fd,
                                                   const QByteArray &nativePath)
{
    auto &ah = static_cast<AhEngine &>(handle);
    avcore_result result;
    std::memset(&result, 0, sizeof result);
    ScanOutcome outcome;
    outcome.found =
        avcore_scan_fd(ah.engine, fd, nativePath.constData(), &ah.scanContext, &result) != 0;
    outcome.status = result.status;
    outcome.virusName = snx::enginetext::virusName(result.virus_name, sizeof result.virus_name);
    return outcome;
}

void AhVirusScanJob::noteOutcome(const QString &filepath, const ScanOutcome &outcome)
{
    if (outcome.found)
        qInfo() << QStringLiteral("ah doDissection path: %1  vname: %2")
                       .arg(filepath, outcome.virusName);
}
