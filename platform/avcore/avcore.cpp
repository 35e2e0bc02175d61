// The Ah engine on libclamav. Loading a real ClamAV database takes seconds and hundreds of MiB,
// so the compiled signatures of a directory stay in the process across engine handles. A new set
// is built beside the one in use and published when it is compiled: handles made before keep
// the old set until they are destroyed.
#include "avcore.h"

#include "../common/enginelog.h"
#include "../common/smallfile.h"
#include "archivelevel.h"
#include "database.h"
#include "databasefiles.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using avcore::Database;

// What a directory's engines scan with, and the state of the files it was built from. A set
// that failed to load is published as well (no database), so that a scan fails closed instead
// of loading again and again.
struct Published
{
    std::shared_ptr<Database> db;
    enginefiles::Fingerprint fingerprint;
};

struct Slot
{
    std::vector<std::string> directories;       // under slotsLock
    std::mutex buildLock;                       // one build at a time
    std::shared_ptr<const Published> published; // std::atomic_load / std::atomic_store only
};

std::mutex slotsLock;
std::map<std::string, std::shared_ptr<Slot>> slots;

void initialiseOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { cl_init(CL_INIT_DEFAULT); });
}

std::shared_ptr<Slot> slotFor(const std::string &baseDir)
{
    std::lock_guard<std::mutex> guard(slotsLock);
    auto &slot = slots[baseDir];
    if (!slot) {
        slot = std::make_shared<Slot>();
        slot->directories.push_back(baseDir);
    }
    return slot;
}

std::vector<std::string> directoriesOf(const Slot &slot)
{
    std::lock_guard<std::mutex> guard(slotsLock);
    return slot.directories;
}

// 1 a new set was published, 0 nothing changed, -1 nothing loads (and that is published).
int rebuild(Slot &slot, bool onlyIfChanged)
{
    std::lock_guard<std::mutex> build(slot.buildLock);
    // The files are listed before they are loaded: a change during the load shows as a change
    // at the next check.
    const avcore::DatabaseFiles files = avcore::listDatabaseFiles(directoriesOf(slot), true);
    const auto current = std::atomic_load(&slot.published);
    if (onlyIfChanged && current && current->fingerprint == files.fingerprint)
        return 0;
    auto db = avcore::buildDatabase(files.files);
    if (!db)
        enginelog::write(enginelog::Warning, "no signature loaded from " + directoriesOf(slot)[0]);
    std::atomic_store(&slot.published,
                      std::shared_ptr<const Published>(new Published{db, files.fingerprint}));
    return db ? 1 : -1;
}

// libclamav scans nothing of a file over the largest scan size, the top-level file included.
// The file itself is the service's to admit, so the limits of a scan take the file as it is
// plus "archive-max-size" for what is unpacked from it; the file size is rounded up to whole
// MiB so that files of about the same size share the limits.
struct Limits
{
    uint64_t scanSize;
    uint64_t fileSize;
};

constexpr uint64_t largestFile = (uint64_t(1) << 31) - 1; // libclamav scans no larger file
// libclamav reports a file of this size or less clean without matching anything, not even a
// hash signature of it; it still makes and removes a temporary directory for the scan first.
constexpr size_t libclamavIgnoredSize = 5;

Limits limitsFor(uint64_t archiveMaxSize, uint64_t topFileSize)
{
    constexpr uint64_t mib = 1 << 20;
    const uint64_t rounded =
        std::min(std::max(mib, (topFileSize + mib - 1) / mib * mib), largestFile);
    return {rounded + archiveMaxSize, std::max(archiveMaxSize, rounded)};
}

// Holds the engine's limits at those a scan needs, for the whole scan.
class LimitsHold
{
public:
    LimitsHold(Database &db, const Limits &wanted) : shared(db.limitsLock)
    {
        if (db.maxScanSize == wanted.scanSize && db.maxFileSize == wanted.fileSize)
            return;
        shared.unlock();
        alone = std::unique_lock<std::shared_mutex>(db.limitsLock);
        cl_engine_set_num(db.engine, CL_ENGINE_MAX_SCANSIZE,
                          static_cast<long long>(wanted.scanSize));
        cl_engine_set_num(db.engine, CL_ENGINE_MAX_FILESIZE,
                          static_cast<long long>(wanted.fileSize));
        db.maxScanSize = wanted.scanSize;
        db.maxFileSize = wanted.fileSize;
    }

private:
    std::shared_lock<std::shared_mutex> shared;
    std::unique_lock<std::shared_mutex> alone;
};

struct cl_scan_options scanOptions()
{
    struct cl_scan_options options = {};
    options.parse = ~0u;
    options.general = CL_SCAN_GENERAL_HEURISTICS;
    return options;
}

} // namespace

struct avcore_engine
{
    std::shared_ptr<Database> db;
    uint64_t maxSize;
    uint32_t maxLevel;
    std::vector<unsigned char> buffer;
};

namespace {

uint8_t reportScan(cl_error_t status, const char *virusName, avcore_scan_context *context,
                   avcore_result *result)
{
    if (context) {
        ++context->files_scanned;
        context->last_status = static_cast<int16_t>(status);
    }
    if (status == CL_VIRUS) {
        result->status = 1;
        std::strncpy(result->virus_name, virusName ? virusName : "Unknown",
                     sizeof result->virus_name - 1);
        return 1;
    }
    result->status = status == CL_CLEAN ? 0 : -1;
    return 0;
}

} // namespace

extern "C" {

void avcore_set_log_callback(avcore_log_fn callback, void *user)
{
    enginelog::setSink(callback, user);
    initialiseOnce();
}

int avcore_add_database_dir(const char *base_dir, const char *extra_dir)
{
    if (!base_dir || !extra_dir)
        return -1;
    auto slot = slotFor(base_dir);
    std::lock_guard<std::mutex> guard(slotsLock);
    auto &dirs = slot->directories;
    if (std::find(dirs.begin(), dirs.end(), extra_dir) == dirs.end())
        dirs.push_back(extra_dir);
    return 0;
}

int avcore_reload_databases(const char *base_dir)
{
    if (!base_dir)
        return -1;
    initialiseOnce();
    return rebuild(*slotFor(base_dir), true);
}

int avcore_databases_changed(const char *base_dir)
{
    if (!base_dir)
        return -1;
    auto slot = slotFor(base_dir);
    const auto current = std::atomic_load(&slot->published);
    if (!current)
        return 1;
    return avcore::listDatabaseFiles(directoriesOf(*slot), false).fingerprint !=
           current->fingerprint;
}

avcore_engine *avcore_create_engine(int32_t, const char *base_dir)
{
    if (!base_dir)
        return nullptr;
    initialiseOnce();
    auto slot = slotFor(base_dir);
    auto current = std::atomic_load(&slot->published);
    if (!current || !current->db) {
        // Nothing to scan with yet: wait for the load in progress, or load what is there now.
        // With no set in use there is nothing a scan could go on with meanwhile.
        rebuild(*slot, true);
        current = std::atomic_load(&slot->published);
    }
    if (!current || !current->db)
        return nullptr;
    return new avcore_engine{current->db, current->db->defaultArchiveSize, UINT32_MAX, {}};
}

int avcore_set_option(avcore_engine *engine, const char *name, const int32_t *value)
{
    if (!engine || !name || !value || *value < 0)
        return -1;
    if (std::strcmp(name, "archive-max-size") == 0)
        engine->maxSize = static_cast<uint64_t>(*value);
    else if (std::strcmp(name, "archive-max-level") == 0)
        engine->maxLevel = static_cast<uint32_t>(*value);
    else
        return -1;
    return 0;
}

uint8_t avcore_scan_file(avcore_engine *engine, const char *path, avcore_scan_context *context,
                         avcore_result *result)
{
    if (!engine || !path || !result)
        return 0;
    const int fd = engineio::openForScan(path);
    if (fd < 0)
        return reportScan(CL_EOPEN, nullptr, context, result);
    const uint8_t found = avcore_scan_fd(engine, fd, path, context, result);
    ::close(fd);
    return found;
}

uint8_t avcore_scan_fd(avcore_engine *engine, int fd, const char *name,
                       avcore_scan_context *context, avcore_result *result)
{
    if (!engine || fd < 0 || !result)
        return 0;
    Database &db = *engine->db;
    struct cl_scan_options options = scanOptions();
    avcore::ScanLimits limits{engine->maxLevel, {}};
    const char *virusName = nullptr;
    unsigned long scanned = 0;
    cl_error_t status;
    size_t length = 0;
    switch (engineio::readSmallDescriptor(fd, engine->buffer, length)) {
    case engineio::Read::Whole: {
        if (length <= libclamavIgnoredSize) {
            // What libclamav would answer, without its temporary directory of every scan.
            status = CL_CLEAN;
            break;
        }
        cl_fmap_t *map = cl_fmap_open_memory(engine->buffer.data(), length);
        LimitsHold hold(db, limitsFor(engine->maxSize, length));
        status =
            map ? cl_scanmap_callback(map, name, &virusName, &scanned, db.engine, &options, &limits)
                : CL_EMEM;
        if (map)
            cl_fmap_close(map);
        break;
    }
    case engineio::Read::TooLarge: {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            status = CL_ESTAT;
            break;
        }
        // Skipped by libclamav and so reported clean: not scanned is the truth.
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size > largestFile) {
            status = CL_EMAXSIZE;
            break;
        }
        LimitsHold hold(db, limitsFor(engine->maxSize, size));
        status = cl_scandesc_callback(fd, name, &virusName, &scanned, db.engine, &options, &limits);
        break;
    }
    default:
        status = CL_EREAD;
    }
    return reportScan(status, virusName, context, result);
}

void avcore_destroy_engine(avcore_engine *engine)
{
    delete engine;
}

} // extern "C"
