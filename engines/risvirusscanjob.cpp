#include "engines/risvirusscanjob.h"

#include "core/scannerconfig.h"
#include "engines/enginetext.h"

#include <QFile>
#include <cstddef>
#include <cstring>
#include <lame.h>

static_assert(sizeof(lam_result) == 440, "Ris result record is 440 bytes");
static_assert(offsetof(lam_result, status) == 0, "Ris result value at offset 0");
static_assert(offsetof(lam_result, virus_name) == 132, "Ris virus name at offset 132");

namespace {
struct RisEngine : VirusScanJob::EngineHandle
{
    RisEngine() = default;
    // The engine was made over the database, so it goes first.
    ~RisEngine() override
    {
        if (engine)
            lam_engine_close(engine);
        if (virusDb)
            lam_virdb_close(virusDb);
    }
    RisEngine(const RisEngine &) = delete;
    RisEngine &operator=(const RisEngine &) = delete;

    lam_virdb *virusDb = nullptr;
    lam_engine *engine = nullptr;
};
} // namespace

RisVirusScanJob::RisVirusScanJob(const snx::ScannerConfig &config, QObject *parent)
    : VirusScanJob(config, "ris engine not created: no rule loaded from", config.risVirusDatabase,
                   parent),
      databasePath(QFile::encodeName(config.risVirusDatabase))
{
}

std::unique_ptr<VirusScanJob::EngineHandle> RisVirusScanJob::openEngine()
{
    auto ris = std::make_unique<RisEngine>();
    ris->virusDb = lam_virdb_open(databasePath.constData());
    if (ris->virusDb)
        ris->engine = lam_engine_new(ris->virusDb);
    if (!ris->engine || lam_engine_init(ris->engine) != 0)
        return nullptr;
    return ris;
}

VirusScanJob::ScanOutcome RisVirusScanJob::scanFile(EngineHandle &handle, int fd,
                                                    const QByteArray &nativePath)
{
    auto &ris = static_cast<RisEngine &>(handle);
    lam_result result;
    std::memset(&result, 0, sizeof result);
    lam_engine_scan_fd(ris.engine, fd, nativePath.constData(), &result);
    ScanOutcome outcome;
    outcome.status = result.status;
    outcome.virusName = snx::enginetext::virusName(result.virus_name, sizeof result.virus_name);
    return outcome;
}
