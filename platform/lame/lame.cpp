// The Ris engine on libyara. Compiling a large rule set is slow, so the rules of a database
// file stay in the process across handles and are reloaded only when the file changed.
#include "lame.h"

#include "../common/smallfile.h"

#include <yara.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>

namespace {

struct FileStamp
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified = {};

    bool operator==(const FileStamp &o) const
    {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

bool stampOf(const char *path, FileStamp &stamp)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    stamp = {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return true;
}

struct RuleSet
{
    YR_RULES *rules = nullptr;
    FileStamp stamp;
    ~RuleSet()
    {
        if (rules)
            yr_rules_destroy(rules);
    }
};

std::mutex cacheLock;
std::map<std::string, std::shared_ptr<RuleSet>> cache;

bool initialiseOnce()
{
    static const bool ready = yr_initialize() == ERROR_SUCCESS;
    return ready;
}

YR_RULES *compileSource(const char *path)
{
    FILE *file = std::fopen(path, "r");
    if (!file)
        return nullptr;
    YR_COMPILER *compiler = nullptr;
    YR_RULES *rules = nullptr;
    if (yr_compiler_create(&compiler) == ERROR_SUCCESS) {
        if (yr_compiler_add_file(compiler, file, nullptr, path) == 0)
            yr_compiler_get_rules(compiler, &rules);
        yr_compiler_destroy(compiler);
    }
    std::fclose(file);
    return rules;
}

std::shared_ptr<RuleSet> load(const char *path, const FileStamp &stamp)
{
    auto set = std::make_shared<RuleSet>();
    set->stamp = stamp;
    // A compiled database (yarac) loads directly; anything else is taken as rule source.
    if (yr_rules_load(path, &set->rules) != ERROR_SUCCESS) {
        set->rules = compileSource(path);
        if (!set->rules)
            return nullptr;
    }
    int count = 0;
    YR_RULE *rule;
    yr_rules_foreach(set->rules, rule)
    {
        ++count;
    }
    return count > 0 ? set : nullptr;
}

struct Match
{
    lam_result *result;
};

int onScanMessage(YR_SCAN_CONTEXT *, int message, void *data, void *user)
{
    if (message != CALLBACK_MSG_RULE_MATCHING)
        return CALLBACK_CONTINUE;
    auto *rule = static_cast<YR_RULE *>(data);
    auto *result = static_cast<lam_result *>(user);
    result->status = 1;
    std::strncpy(result->virus_name, rule->identifier, sizeof result->virus_name - 1);
    return CALLBACK_ABORT;
}

} // namespace

struct lam_virdb
{
    std::shared_ptr<RuleSet> rules;
};

struct lam_engine
{
    std::shared_ptr<RuleSet> rules;
    // Made once per engine: creating a scanner for every file costs as much as a small scan.
    YR_SCANNER *scanner = nullptr;
    std::vector<unsigned char> buffer;

    ~lam_engine()
    {
        if (scanner)
            yr_scanner_destroy(scanner);
    }
};

extern "C" {

lam_virdb *lam_virdb_open(const char *path)
{
    if (!path || !initialiseOnce())
        return nullptr;
    FileStamp stamp;
    if (!stampOf(path, stamp))
        return nullptr;
    std::lock_guard<std::mutex> guard(cacheLock);
    auto it = cache.find(path);
    if (it != cache.end() && it->second->stamp == stamp)
        return new lam_virdb{it->second};
    auto set = load(path, stamp);
    if (!set) {
        cache.erase(path);
        return nullptr;
    }
    cache[path] = set;
    return new lam_virdb{set};
}

lam_engine *lam_engine_new(lam_virdb *virdb)
{
    if (!virdb)
        return nullptr;
    auto *engine = new lam_engine;
    engine->rules = virdb->rules;
    return engine;
}

int lam_engine_init(lam_engine *engine)
{
    if (!engine)
        return -1;
    if (engine->scanner)
        return 0;
    if (yr_scanner_create(engine->rules->rules, &engine->scanner) != ERROR_SUCCESS) {
        engine->scanner = nullptr;
        return -1;
    }
    yr_scanner_set_flags(engine->scanner, SCAN_FLAGS_FAST_MODE);
    return 0;
}

int lam_engine_scan_a(lam_engine *engine, const char *path, lam_result *result)
{
    if (!engine || !engine->scanner || !path || !result)
        return -1;
    yr_scanner_set_callback(engine->scanner, onScanMessage, result);
    size_t length = 0;
    int status;
    switch (engineio::readSmallFile(path, engine->buffer, length)) {
    case engineio::Read::Whole:
        status = yr_scanner_scan_mem(engine->scanner, engine->buffer.data(), length);
        break;
    case engineio::Read::TooLarge:
        status = yr_scanner_scan_file(engine->scanner, path);
        break;
    default:
        status = ERROR_COULD_NOT_OPEN_FILE;
    }
    if (status != ERROR_SUCCESS) {
        result->status = -1;
        return -1;
    }
    return result->status;
}

int lam_engine_scan_fd(lam_engine *engine, int fd, lam_result *result)
{
    if (!engine || !engine->scanner || fd < 0 || !result)
        return -1;
    yr_scanner_set_callback(engine->scanner, onScanMessage, result);
    size_t length = 0;
    int status;
    switch (engineio::readSmallDescriptor(fd, engine->buffer, length)) {
    case engineio::Read::Whole:
        status = yr_scanner_scan_mem(engine->scanner, engine->buffer.data(), length);
        break;
    case engineio::Read::TooLarge:
        status = yr_scanner_scan_fd(engine->scanner, fd);
        break;
    default:
        status = ERROR_COULD_NOT_READ_FILE;
    }
    if (status != ERROR_SUCCESS) {
        result->status = -1;
        return -1;
    }
    return result->status;
}

void lam_engine_close(lam_engine *engine)
{
    delete engine;
}

void lam_virdb_close(lam_virdb *virdb)
{
    delete virdb;
}

} // extern "C"
