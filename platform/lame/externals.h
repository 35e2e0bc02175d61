// The external variables that scanning tools commonly define for YARA rules, so that public
// rule sets using them compile, and match, here as well.
#pragma once

#include <cstddef>
#include <string>
#include <sys/stat.h>
#include <yara.h>

namespace lame {

// Defined in every compiler with empty values; a rule set that does not use them is unaffected.
int defineExternals(YR_COMPILER *compiler);

// Sets a scanner's externals for each file it scans: filename (the last component), filepath
// (the directory it is in), extension (lower case, with its dot: ".exe"), filetype (from the
// first bytes: EXE, ELF, PDF, ZIP, GZIP, SCRIPT or empty), owner (user name, else the numeric
// id). A scanner keeps its values from one scan to the next, so only those that differ from
// the last file's are set again; one object per scanner.
class Externals
{
public:
    void set(YR_SCANNER *scanner, const char *path, const struct stat &st,
             const unsigned char *head, size_t headLength);

private:
    void define(YR_SCANNER *scanner, int which, const std::string &value);

    std::string values[5];
    bool defined[5] = {};
    // The user database is read once per owner, not once per file.
    bool ownerKnown = false;
    uid_t ownerUid = 0;
    std::string ownerName;
};

} // namespace lame
