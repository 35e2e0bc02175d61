#pragma once

#include "core/calleridentity.h"

#include <QMetaType>
#include <QString>

namespace snx {

// One trust or isolation request, as the service hands it to the database worker.
struct ProblemFileChange
{
    enum Kind { Trust, Untrust, Isolate, Restore };
    Kind kind = Trust;
    QString path;
    // Time text of the request, stored with a new row.
    QString time;
    // Whose rights the change is carried out with.
    CallerIdentity caller;

    // The flag of the completion signal: true for trust and isolate.
    bool flag() const { return kind == Trust || kind == Isolate; }
    bool isTrust() const { return kind == Trust || kind == Untrust; }
};

// What the worker made of a change. The service's index follows it, so it shows what happened.
struct ProblemFileOutcome
{
    ProblemFileChange change;
    bool applied = false;
    // Isolate: the new record's digest. Restore: the newest record still kept for the path.
    QString md5;
    QString time;
    bool pathStillIsolated = false;
};

} // namespace snx

Q_DECLARE_METATYPE(snx::ProblemFileChange)
Q_DECLARE_METATYPE(snx::ProblemFileOutcome)
