// The Ah engine on libclamav. Loading a real ClamAV database takes seconds and hundreds of MiB,
// so the compiled signatures of a directory stay in the process across engine handles and are
// reloaded only when a database file in it changed.
#include "avcore.h"

#include "../common/smallfile.h"

#include <clamav.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Database
{
    cl_engine *engine = nullptr;
    struct cl_stat stat = {};
    std::string tempDir;
    // Limits live in the shared cl_engine; scans read them, a handle with other limits writes
    // them, so scans take this shared and a change takes it alone.
    std::shared_mutex limitsLock;
    uint64_t maxSize = 0;
    uint32_t maxLevel = 0;

    ~Database()
    {
        if (engine)
            cl_engine_free(engine);
        cl_statfree(&stat);
        if (!tempDir.empty())
            rmdir(tempDir.c_str());
    }
};

std::mutex cacheLock;
std::map<std::string, std::shared_ptr<Database>> cache;

void initialiseOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { cl_init(CL_INIT_DEFAULT); });
}

// libclamav unpacks every file into a temporary directory; on tmpfs that costs half as much.
std::string privateTempDir()
{
    char pattern[] = "/dev/shm/avcore.XXXXXX";
    if (access("/dev/shm", W_OK) == 0 && mkdtemp(pattern))
        return pattern;
    return {};
}

std::shared_ptr<Database> load(const std::string &dir)
{
    auto db = std::make_shared<Database>();
    db->engine = cl_engine_new();
    if (!db->engine)
        return nullptr;
    db->tempDir = privateTempDir();
    if (!db->tempDir.empty())
        cl_engine_set_str(db->engine, CL_ENGINE_TMPDIR, db->tempDir.c_str());
    unsigned int signatures = 0;
    if (cl_load(dir.c_str(), db->engine, &signatures, CL_DB_STDOPT) != CL_SUCCESS ||
        signatures == 0)
        return nullptr;
    if (cl_engine_compile(db->engine) != CL_SUCCESS)
        return nullptr;
    cl_statinidir(dir.c_str(), &db->stat);
    db->maxSize = cl_engine_get_num(db->engine, CL_ENGINE_MAX_SCANSIZE, nullptr);
    db->maxLevel = cl_engine_get_num(db->engine, CL_ENGINE_MAX_RECURSION, nullptr);
    return db;
}

std::shared_ptr<Database> databaseFor(const std::string &dir)
{
    std::lock_guard<std::mutex> guard(cacheLock);
    auto it = cache.find(dir);
    if (it != cache.end() && cl_statchkdir(&it->second->stat) == 0)
        return it->second;
    auto db = load(dir);
    if (db)
        cache[dir] = db;
    else if (it != cache.end())
        cache.erase(it);
    return db;
}

} // namespace

struct avcore_engine
{
    std::shared_ptr<Database> db;
    uint64_t maxSize;
    uint32_t maxLevel;
    std::vector<unsigned char> buffer;
};

extern "C" {

avcore_engine *avcore_create_engine(int32_t, const char *base_dir)
{
    if (!base_dir)
        return nullptr;
    initialiseOnce();
    auto db = databaseFor(base_dir);
    if (!db)
        return nullptr;
    std::shared_lock<std::shared_mutex> lock(db->limitsLock);
    return new avcore_engine{db, db->maxSize, db->maxLevel, {}};
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
    Database &db = *engine->db;
    {
        std::unique_lock<std::shared_mutex> lock(db.limitsLock);
        if (db.maxSize != engine->maxSize || db.maxLevel != engine->maxLevel) {
            cl_engine_set_num(db.engine, CL_ENGINE_MAX_SCANSIZE, engine->maxSize);
            cl_engine_set_num(db.engine, CL_ENGINE_MAX_FILESIZE, engine->maxSize);
            cl_engine_set_num(db.engine, CL_ENGINE_MAX_RECURSION, engine->maxLevel);
            db.maxSize = engine->maxSize;
            db.maxLevel = engine->maxLevel;
        }
    }
    struct cl_scan_options options = {};
    options.parse = ~0u;
    options.general = CL_SCAN_GENERAL_HEURISTICS;
    const char *virusName = nullptr;
    unsigned long scanned = 0;
    cl_error_t status;
    size_t length = 0;
    switch (engineio::readSmallFile(path, engine->buffer, length)) {
    case engineio::Read::Whole: {
        cl_fmap_t *map = cl_fmap_open_memory(engine->buffer.data(), length);
        std::shared_lock<std::shared_mutex> lock(db.limitsLock);
        status =
            map ? cl_scanmap_callback(map, path, &virusName, &scanned, db.engine, &options, nullptr)
                : CL_EMEM;
        if (map)
            cl_fmap_close(map);
        break;
    }
    case engineio::Read::TooLarge: {
        std::shared_lock<std::shared_mutex> lock(db.limitsLock);
        status = cl_scanfile(path, &virusName, &scanned, db.engine, &options);
        break;
    }
    default:
        status = CL_EOPEN;
    }
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

uint8_t avcore_scan_fd(avcore_engine *engine, int fd, const char *name,
                       avcore_scan_context *context, avcore_result *result)
{
    if (!engine || fd < 0 || !result)
        return 0;
    Database &db = *engine->db;
    {
        std::unique_lock<std::shared_mutex> lock(db.limitsLock);
        if (db.maxSize != engine->maxSize || db.maxLevel != engine->maxLevel) {
            cl_engine_set_num(db.engine, CL_ENGINE_MAX_SCANSIZE, engine->maxSize);
            cl_engine_set_num(db.engine, CL_ENGINE_MAX_FILESIZE, engine->maxSize);
            cl_engine_set_num(db.engine, CL_ENGINE_MAX_RECURSION, engine->maxLevel);
            db.maxSize = engine->maxSize;
            db.maxLevel = engine->maxLevel;
        }
    }
    struct cl_scan_options options = {};
    options.parse = ~0u;
    options.general = CL_SCAN_GENERAL_HEURISTICS;
    const char *virusName = nullptr;
    unsigned long scanned = 0;
    cl_error_t status;
    size_t length = 0;
    switch (engineio::readSmallDescriptor(fd, engine->buffer, length)) {
    case engineio::Read::Whole: {
        cl_fmap_t *map = cl_fmap_open_memory(engine->buffer.data(), length);
        std::shared_lock<std::shared_mutex> lock(db.limitsLock);
        status =
            map ? cl_scanmap_callback(map, name, &virusName, &scanned, db.engine, &options, nullptr)
                : CL_EMEM;
        if (map)
            cl_fmap_close(map);
        break;
    }
    case engineio::Read::TooLarge: {
        std::shared_lock<std::shared_mutex> lock(db.limitsLock);
        status = cl_scandesc_callback(fd, name, &virusName, &scanned, db.engine, &options, nullptr);
        break;
    }
    default:
        status = CL_EREAD;
    }
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

void avcore_destroy_engine(avcore_engine *engine)
{
    delete engine;
}

} // extern "C"
