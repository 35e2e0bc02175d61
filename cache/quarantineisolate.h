#pragma once

#include "cache/problemfilechange.h"

#include <QString>

namespace snx {

class IsolationRecords;

// Moves the file that `change` names into the quarantine, with the caller's rights to reach it
// and take it away, and records the isolation. Empty when done (the digest goes to `md5`), else
// why it was refused; a refused isolation leaves the file where it was and records nothing.
// A user other than root may have root's quarantine hold copies of at most `userQuota` bytes
// for the isolations that user made; a file that is linked rather than copied costs nothing.
QString isolateIntoQuarantine(IsolationRecords &records, const QString &quarantineDir,
                              qint64 userQuota, const ProblemFileChange &change, QString *md5);

// Removes the partial copies that a killed isolation left in the quarantine.
void removePartialCopies(const QString &quarantineDir);

} // namespace snx
