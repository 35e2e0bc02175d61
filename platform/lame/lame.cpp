// The Ris engine on libyara. Compiling a large rule set is slow, so the rules of a database file
// stay in the process across handles. A new set is compiled beside the one in use and published
// when it is ready: handles made before keep the old rules until they are closed.
#include "lame.h"

#include "../common/enginelog.h"
#include "../common/filestamp.h"
#include "../common/smallfile.h"
#include "externals.h"

#include <yara.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct RuleSet
{
    YR_RULES *rules = nullptr;
    ~RuleSet()
    {
        if (rules)
            yr_rules_destroy(rules);
    }
};

// What handles opened now get, and the state of the file it came from. A file that failed to
// load is published too (no rules), so that opening fails closed instead of compiling again.
struct Published
{
    std::shared_ptr<RuleSet> set;
    enginefiles::FileStamp stamp;
};

struct Slot
{
    std::mutex buildLock;                       // one build at a time
    std::shared_ptr<const Published> published; // std::atomic_load / std::atomic_store only
};

std::mutex slotsLock;
std::map<std::string, std::shared_ptr<Slot>> slots;

bool initialiseOnce()
{
    static const bool ready = yr_initialize() == ERROR_SUCCESS;
    return ready;
}

std::shared_ptr<Slot> slotFor(const std::string &path)
{
    std::lock_guard<std::mutex> guard(slotsLock);
    auto &slot = slots[path];
    if (!slot)
        slot = std::make_shared<Slot>();
    return slot;
}

void onCompilerMessage(int level, const char *file, int line, const YR_RULE *, const char *message,
                       void *user)
{
    auto *messages = static_cast<std::string *>(user);
    if (!messages->empty())
        messages->append("; ");
    messages->append(std::string(level == YARA_ERROR_LEVEL_ERROR ? "error" : "warning") + " in " +
                     (file ? file : "?") + " line " + std::to_string(line) + ": " +
                     (message ? message : ""));
}

YR_RULES *compileSource(const char *path, std::string &messages)
{
    FILE *file = std::fopen(path, "r");
    if (!file) {
        messages = std::strerror(errno);
        return nullptr;
    }
    YR_COMPILER *compiler = nullptr;
    YR_RULES *rules = nullptr;
    if (yr_compiler_create(&compiler) == ERROR_SUCCESS) {
        yr_compiler_set_callback(compiler, onCompilerMessage, &messages);
        if (lame::defineExternals(compiler) == 0 &&
            yr_compiler_add_file(compiler, file, nullptr, path) == 0)
            yr_compiler_get_rules(compiler, &rules);
        yr_compiler_destroy(compiler);
    }
    std::fclose(file);
    return rules;
}

std::shared_ptr<RuleSet> load(const char *path)
{
    auto set = std::make_shared<RuleSet>();
    // A compiled database (yarac) loads directly; anything else is taken as rule source.
    if (yr_rules_load(path, &set->rules) != ERROR_SUCCESS) {
        set->rules = nullptr;
        std::string messages;
        set->rules = compileSource(path, messages);
        if (!set->rules) {
            enginelog::write(enginelog::Warning,
                             std::string("rules not loaded from ") + path + ": " + messages);
            return nullptr;
        }
        if (!messages.empty())
            enginelog::write(enginelog::Info, std::string("rules of ") + path + ": " + messages);
    }
    int count = 0;
    YR_RULE *rule;
    yr_rules_foreach(set->rules, rule)
    {
        ++count;
    }
    if (count == 0)
        enginelog::write(enginelog::Warning, std::string("no rule in ") + path);
    return count > 0 ? set : nullptr;
}

// 1 new rules are in use, 0 nothing changed, -1 nothing loads (and that is published).
int rebuild(Slot &slot, const char *path, bool onlyIfChanged)
{
    std::lock_guard<std::mutex> build(slot.buildLock);
    const enginefiles::FileStamp stamp = enginefiles::stampOf(path);
    const auto current = std::atomic_load(&slot.published);
    if (onlyIfChanged && current && current->stamp == stamp)
        return 0;
    std::shared_ptr<RuleSet> set;
    if (!S_ISREG(stamp.mode))
        enginelog::write(enginelog::Warning, std::string("no rule file at ") + path);
    else if (!enginefiles::ownedSafely(stamp))
        enginelog::write(enginelog::Warning, std::string("rules not loaded: ") + path +
                                                 " may be changed by another user than root");
    else
        set = load(path);
    std::atomic_store(&slot.published, std::shared_ptr<const Published>(new Published{set, stamp}));
    return set ? 1 : -1;
}

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

// The first bytes of a file too large to be read whole, for its file type.

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
    lame::Externals externals;

    ~lam_engine()
    {
        if (scanner)
            yr_scanner_destroy(scanner);
    }
};

extern "C" {

void lam_set_log_callback(lam_log_fn callback, void *user)
{
    enginelog::setSink(callback, user);
    initialiseOnce();
}

int lam_virdb_reload(const char *path)
{
    if (!path || !initialiseOnce())
        return -1;
    return rebuild(*slotFor(path), path, true);
}

int lam_virdb_changed(const char *path)
{
    if (!path)
        return -1;
    const auto current = std::atomic_load(&slotFor(path)->published);
    return !current || current->stamp != enginefiles::stampOf(path);
}

lam_virdb *lam_virdb_open(const char *path)
{
    if (!path || !initialiseOnce())
        return nullptr;
    auto slot = slotFor(path);
    auto current = std::atomic_load(&slot->published);
    if (!current || !current->set) {
        // Nothing to scan with yet: wait for the load in progress, or load what is there now.
        rebuild(*slot, path, true);
        current = std::atomic_load(&slot->published);
    }
    if (!current || !current->set)
        return nullptr;
    return new lam_virdb{current->set};
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
    const int fd = engineio::openForScan(path);
    if (fd < 0) {
        result->status = -1;
        return -1;
    }
    const int status = lam_engine_scan_fd(engine, fd, path, result);
    ::close(fd);
    return status;
}

int lam_engine_scan_fd(lam_engine *engine, int fd, const char *name, lam_result *result)
{
    if (!engine || !engine->scanner || fd < 0 || !name || !result)
        return -1;
    yr_scanner_set_callback(engine->scanner, onScanMessage, result);
    size_t length = 0;
    int status;
    struct stat st = {};
    const engineio::Read read = ::fstat(fd, &st) == 0
                                    ? engineio::readSmallDescriptor(fd, st, engine->buffer, length)
                                    : engineio::Read::Failed;
    switch (read) {
    case engineio::Read::Whole:
        engine->externals.set(engine->scanner, name, st, engine->buffer.data(), length);
        // The buffer is ours and cannot shrink under the scan: the guard against a mapped file
        // cut short (a signal handler installed and removed around every scan) buys nothing.
        yr_scanner_set_flags(engine->scanner, SCAN_FLAGS_FAST_MODE | SCAN_FLAGS_NO_TRYCATCH);
        status = yr_scanner_scan_mem(engine->scanner, engine->buffer.data(), length);
        break;
    case engineio::Read::TooLarge: {
        unsigned char head[8];
        const ssize_t got = ::pread(fd, head, sizeof head, 0);
        engine->externals.set(engine->scanner, name, st, head, got > 0 ? size_t(got) : 0);
        yr_scanner_set_flags(engine->scanner, SCAN_FLAGS_FAST_MODE);
        status = yr_scanner_scan_fd(engine->scanner, fd);
        break;
    }
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
