#pragma once

#include "core/scannerconfig.h"

namespace snx {

// The whole life of the service process after the application object exists: log directory and
// log back-end, the service object, the event loop, and shutdown. Returns the exit status.
int runService(const ScannerConfig &config);

} // namespace snx
