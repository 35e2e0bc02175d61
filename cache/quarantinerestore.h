#pragma once

#include "cache/problemfilechange.h"

#include <QString>

namespace snx {

class IsolationRecords;

// Copies the newest isolation of the path that the caller may restore back to its path, creating
// the file only where the caller could, then gives it the owner, mode and times it had, and drops
// that record. Empty when done, else why it was refused; a refused restore keeps the record.
QString restoreFromQuarantine(IsolationRecords &records, const QString &quarantineDir,
                              const ProblemFileChange &change);

} // namespace snx
