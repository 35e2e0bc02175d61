// The external variables that scanning tools commonly define for YARA rules, so that public
// rule sets using them compile, and match, here as well.
#pragma once

#include <cstddef>
#include <sys/stat.h>
#include <yara.h>

namespace lame {

// Defined in every compiler with empty values; a rule set that does not use them is unaffected.
int defineExternals(YR_COMPILER *compiler);

// filename (the last component), filepath (the directory it is in), extension (lower case,
// with its dot: ".exe"), filetype (from the first bytes:
// EXE, ELF, PDF, ZIP, GZIP, SCRIPT or empty), owner (user name, else the numeric id).
void setExternals(YR_SCANNER *scanner, const char *path, const struct stat &st,
                  const unsigned char *head, size_t headLength);

} // namespace lame
