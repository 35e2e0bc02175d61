#pragma once

#include "cache/problemfilechange.h"

#include <QString>

namespace snx {

class IsolationRecords;

// Moves the file that `change` names into the quarantine, with the caller's rights to reach it
// and take it away, and records the isolation. Empty when done (the digest goes to `md5`), else
// why it was refused; a refused isolation leaves the file where it was and records nothing.
QString isolateIntoQuarantine(IsolationRecords &records, const QString &quarantineDir,
                              const ProblemFileChange &change, QString *md5);

// Removes the partial copies that a killed isolation left in the quarantine.
void removePartialCopies(const QString &quarantineDir);

} // namespace snx
