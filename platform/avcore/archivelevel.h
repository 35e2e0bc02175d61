// "archive-max-level" counts nested archives, not the layers libclamav makes of a file (an
// unpacked executable, a normalised script): libclamav keeps its own recursion limit, and a file
// inside more archives than allowed is skipped through the file-inspection callback.
#pragma once

#include <clamav.h>

#include <cstdint>
#include <vector>

namespace avcore {

// The context a scan hands to libclamav for its callbacks. libclamav names a layer's ancestors
// but gives only the layer's own type, and visits layers depth first: so the types of the
// layers seen last at each level are the types of the ancestors of the next one.
struct ScanLimits
{
    uint32_t maxArchiveLevel;
    std::vector<bool> archiveAtLevel;
};

cl_error_t cutAtArchiveLevel(int fd, const char *type, const char **ancestors,
                             size_t parentFileSize, const char *fileName, size_t fileSize,
                             const char *fileBuffer, uint32_t recursionLevel,
                             uint32_t layerAttributes, void *context);

} // namespace avcore
