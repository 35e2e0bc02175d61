// One compiled set of ClamAV signatures, and how it is built from database files.
#pragma once

#include <clamav.h>

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

namespace avcore {

struct Database
{
    cl_engine *engine = nullptr;
    std::string tempDir;
    unsigned int signatures = 0;
    // libclamav's own scan size, the archive size of a handle that sets none. Fixed once built.
    uint64_t defaultArchiveSize = 0;
    // Limits live in the shared cl_engine; scans read them, a scan that needs others writes
    // them, so scans take this shared and a change takes it alone.
    std::shared_mutex limitsLock;
    uint64_t maxScanSize = 0;
    uint64_t maxFileSize = 0;

    Database() = default;
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;
    ~Database();
};

// Loads the files all together; when that fails, loads each on its own to find the ones that
// fail, logs each with libclamav's message, and builds from the rest. Null when nothing loads.
std::shared_ptr<Database> buildDatabase(const std::vector<std::string> &files);

} // namespace avcore
