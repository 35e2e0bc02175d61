#pragma once

#include <QString>

namespace snx {

// An engine opened for a run of a scan job. Closing it is its destructor, so that no handle is
// closed twice or left open. One thread at a time scans with a handle.
struct EngineHandle
{
    virtual ~EngineHandle() = default;
};

// What scanning one file of a task came to.
struct ScanOutcome
{
    // False when the file could not be opened for the engine.
    bool opened = false;
    // The engine's own value for the file; -1 when it was not scanned.
    int status = -1;
    QString virusName;
    // The engine said it found something; only the log looks at it.
    bool found = false;
};

} // namespace snx
