// The ClamAV database files of a set of directories, in loading order, and their fingerprint.
#pragma once

#include "../common/filestamp.h"

#include <string>
#include <vector>

namespace avcore {

struct DatabaseFiles
{
    // Ignore lists first (libclamav applies them while it loads the other files), then the daily
    // database, then the rest by name; directories in the order given.
    std::vector<std::string> files;
    // Every directory and every database file in it, loadable or not.
    enginefiles::Fingerprint fingerprint;
};

// Leaves out, and logs, a directory or file that another user than root (or this process's own
// user) could change. A directory that does not exist contributes nothing.
DatabaseFiles listDatabaseFiles(const std::vector<std::string> &directories, bool logRefusals);

} // namespace avcore
