#include "databasefiles.h"

#include "../common/enginelog.h"

#include <algorithm>
#include <dirent.h>
#include <tuple>

namespace avcore {
namespace {

// The formats libclamav loads from a directory. Anything else (the engine library itself, notes,
// partial downloads) is not a database, and libclamav would read it in an obsolete line format.
const char *const extensions[] = {"cvd", "cld", "cud",  "hdb", "hdu", "hsb",  "hsu", "mdb",
                                  "mdu", "msb", "msu",  "ndb", "ndu", "ldb",  "ldu", "idb",
                                  "cdb", "cbc", "fp",   "sfp", "ign", "ign2", "ftm", "gdb",
                                  "wdb", "pdb", "pwdb", "crb", "cat", "imp",  "yar", "yara"};

std::string extensionOf(const std::string &name)
{
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

bool isDatabase(const std::string &name)
{
    const std::string ext = extensionOf(name);
    return std::any_of(std::begin(extensions), std::end(extensions),
                       [&](const char *e) { return ext == e; });
}

int groupOf(const std::string &name)
{
    const std::string ext = extensionOf(name);
    if (ext == "ign" || ext == "ign2")
        return 0;
    return name.rfind("daily.", 0) == 0 ? 1 : 2;
}

std::vector<std::string> namesIn(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return names;
    while (const dirent *e = ::readdir(d))
        if (isDatabase(e->d_name))
            names.emplace_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

DatabaseFiles listDatabaseFiles(const std::vector<std::string> &directories, bool logRefusals)
{
    DatabaseFiles out;
    struct Candidate
    {
        int group;
        size_t dirIndex;
        std::string path;
    };
    std::vector<Candidate> candidates;
    for (size_t i = 0; i < directories.size(); ++i) {
        const enginefiles::FileStamp dirStamp = enginefiles::stampOf(directories[i]);
        out.fingerprint.push_back(dirStamp);
        if (dirStamp.inode == 0 || !S_ISDIR(dirStamp.mode))
            continue;
        const bool dirSafe = enginefiles::ownedSafely(dirStamp);
        if (!dirSafe && logRefusals)
            enginelog::write(enginelog::Warning,
                             "database directory not loaded: " + directories[i] +
                                 " may be changed by another user than root");
        for (const std::string &name : namesIn(directories[i])) {
            const std::string path = directories[i] + "/" + name;
            const enginefiles::FileStamp stamp = enginefiles::stampOf(path);
            out.fingerprint.push_back(stamp);
            if (!dirSafe || !S_ISREG(stamp.mode))
                continue;
            if (!enginefiles::ownedSafely(stamp)) {
                if (logRefusals)
                    enginelog::write(enginelog::Warning,
                                     "database file skipped: " + path +
                                         " may be changed by another user than root");
                continue;
            }
            candidates.push_back({groupOf(name), i, path});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const auto &a, const auto &b) {
        return std::tie(a.group, a.dirIndex) < std::tie(b.group, b.dirIndex);
    });
    for (auto &c : candidates)
        out.files.push_back(std::move(c.path));
    return out;
}

} // namespace avcore
