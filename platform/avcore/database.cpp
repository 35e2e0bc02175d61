#include "database.h"

#include "../common/enginelog.h"
#include "archivelevel.h"
#include "unlockeddatabasereads.h"

#include <mutex>
#include <unistd.h>

namespace avcore {
namespace {

// libclamav's own messages of the load in progress on this thread; it reports through one
// process-wide callback.
thread_local std::string *capture = nullptr;

void onLibraryMessage(enum cl_msg severity, const char *, const char *msg, void *)
{
    if (severity < CL_MSG_WARN || !msg)
        return;
    std::string text(msg);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (capture) {
        if (!capture->empty())
            capture->append("; ");
        capture->append(text);
    } else if (severity == CL_MSG_ERROR) {
        enginelog::write(enginelog::Warning, "libclamav: " + text);
    }
}

// libclamav unpacks every file into a temporary directory; on tmpfs that costs half as much.
std::string privateTempDir()
{
    char pattern[] = "/dev/shm/avcore.XXXXXX";
    if (access("/dev/shm", W_OK) == 0 && mkdtemp(pattern))
        return pattern;
    return {};
}

std::shared_ptr<Database> emptyDatabase(bool withTempDir)
{
    static std::once_flag once;
    std::call_once(once, [] { cl_set_clcb_msg(onLibraryMessage); });
    auto db = std::make_shared<Database>();
    db->engine = cl_engine_new();
    if (!db->engine)
        return nullptr;
    if (withTempDir) {
        db->tempDir = privateTempDir();
        if (!db->tempDir.empty())
            cl_engine_set_str(db->engine, CL_ENGINE_TMPDIR, db->tempDir.c_str());
    }
    cl_engine_set_clcb_file_inspection(db->engine, cutAtArchiveLevel);
    // libclamav remembers a file skipped by that callback as clean, and would then report the
    // same content clean wherever it appears; its clean cache cannot be told otherwise.
    cl_engine_set_num(db->engine, CL_ENGINE_DISABLE_CACHE, 1);
    return db;
}

struct Outcome
{
    cl_error_t status = CL_SUCCESS;
    std::string failedFile;
    std::string messages;
};

Outcome loadInto(Database &db, const std::vector<std::string> &files)
{
    Outcome out;
    capture = &out.messages;
    for (const std::string &file : files) {
        const UnlockedDatabaseReads unlocked(file.c_str());
        out.status = cl_load(file.c_str(), db.engine, &db.signatures, CL_DB_STDOPT);
        if (out.status != CL_SUCCESS) {
            out.failedFile = file;
            break;
        }
    }
    if (out.status == CL_SUCCESS)
        out.status = cl_engine_compile(db.engine);
    capture = nullptr;
    return out;
}

std::shared_ptr<Database> finished(std::shared_ptr<Database> db)
{
    if (!db || db->signatures == 0)
        return nullptr;
    db->maxScanSize = cl_engine_get_num(db->engine, CL_ENGINE_MAX_SCANSIZE, nullptr);
    db->defaultArchiveSize = db->maxScanSize;
    db->maxFileSize = cl_engine_get_num(db->engine, CL_ENGINE_MAX_FILESIZE, nullptr);
    return db;
}

} // namespace

Database::~Database()
{
    if (engine)
        cl_engine_free(engine);
    if (!tempDir.empty())
        rmdir(tempDir.c_str());
}

std::shared_ptr<Database> buildDatabase(const std::vector<std::string> &files)
{
    if (files.empty())
        return nullptr;
    auto whole = emptyDatabase(true);
    if (!whole)
        return nullptr;
    if (loadInto(*whole, files).status == CL_SUCCESS)
        return finished(whole);
    whole.reset();

    std::vector<std::string> loadable;
    for (const std::string &file : files) {
        auto trial = emptyDatabase(false);
        if (!trial)
            return nullptr;
        const Outcome out = loadInto(*trial, {file});
        if (out.status == CL_SUCCESS) {
            loadable.push_back(file);
            continue;
        }
        std::string text = "database file skipped: " + file + ": " + cl_strerror(out.status);
        if (!out.messages.empty())
            text += " (" + out.messages + ")";
        enginelog::write(enginelog::Warning, text);
    }
    if (loadable.empty())
        return nullptr;
    auto rest = emptyDatabase(true);
    if (!rest)
        return nullptr;
    const Outcome out = loadInto(*rest, loadable);
    if (out.status != CL_SUCCESS) {
        enginelog::write(enginelog::Warning, std::string("databases not loaded together: ") +
                                                 cl_strerror(out.status) + " " + out.messages);
        return nullptr;
    }
    return finished(rest);
}

} // namespace avcore
