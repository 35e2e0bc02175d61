#include "archivelevel.h"

#include <cstring>

namespace avcore {
namespace {

// Containers that hold files. Compressed streams (gzip, bzip2, xz) hold one stream and are not
// a level of their own: a .tar.gz is one archive.
const char *const archiveTypes[] = {
    "CL_TYPE_ZIP",       "CL_TYPE_ZIPSFX",   "CL_TYPE_RAR",       "CL_TYPE_RARSFX",
    "CL_TYPE_7Z",        "CL_TYPE_7ZSFX",    "CL_TYPE_ARJ",       "CL_TYPE_ARJSFX",
    "CL_TYPE_MSCAB",     "CL_TYPE_CABSFX",   "CL_TYPE_CPIO_OLD",  "CL_TYPE_CPIO_ODC",
    "CL_TYPE_CPIO_NEWC", "CL_TYPE_CPIO_CRC", "CL_TYPE_POSIX_TAR", "CL_TYPE_OLD_TAR",
    "CL_TYPE_SIS",       "CL_TYPE_ISO9660",  "CL_TYPE_DMG",       "CL_TYPE_XAR",
    "CL_TYPE_EGG",       "CL_TYPE_EGGSFX",   "CL_TYPE_ALZ",       "CL_TYPE_LHA_LZH",
    "CL_TYPE_UDF",       "CL_TYPE_NULSFT",   "CL_TYPE_AUTOIT",    "CL_TYPE_MSCHM",
    "CL_TYPE_OLE2",      "CL_TYPE_MSSZDD",   "CL_TYPE_GPT",       "CL_TYPE_MBR",
    "CL_TYPE_APM"};

bool isArchive(const char *type)
{
    if (!type)
        return false;
    for (const char *a : archiveTypes)
        if (std::strcmp(type, a) == 0)
            return true;
    return false;
}

} // namespace

cl_error_t cutAtArchiveLevel(int, const char *type, const char **, size_t, const char *, size_t,
                             const char *, uint32_t recursionLevel, uint32_t, void *context)
{
    auto *limits = static_cast<ScanLimits *>(context);
    if (!limits)
        return CL_CLEAN;
    auto &levels = limits->archiveAtLevel;
    levels.resize(recursionLevel);
    uint32_t archives = 0;
    for (bool archive : levels)
        archives += archive ? 1 : 0;
    if (archives > limits->maxArchiveLevel)
        return CL_BREAK;
    levels.push_back(isArchive(type));
    return CL_CLEAN;
}

} // namespace avcore
