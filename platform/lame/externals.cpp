#include "externals.h"

#include <cctype>
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace lame {
namespace {

const char *const names[] = {"filename", "filepath", "extension", "filetype", "owner"};

std::string fileTypeOf(const unsigned char *head, size_t length)
{
    auto starts = [&](const char *magic) {
        const size_t n = std::strlen(magic);
        return length >= n && std::memcmp(head, magic, n) == 0;
    };
    if (starts("MZ"))
        return "EXE";
    if (starts("\x7f"
               "ELF"))
        return "ELF";
    if (starts("%PDF"))
        return "PDF";
    if (starts("PK\x03\x04"))
        return "ZIP";
    if (starts("\x1f\x8b"))
        return "GZIP";
    if (starts("#!"))
        return "SCRIPT";
    return {};
}

std::string ownerOf(uid_t uid)
{
    std::vector<char> buffer(1024);
    passwd entry;
    passwd *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

} // namespace

int defineExternals(YR_COMPILER *compiler)
{
    for (const char *name : names)
        if (yr_compiler_define_string_variable(compiler, name, "") != ERROR_SUCCESS)
            return -1;
    return 0;
}

void Externals::define(YR_SCANNER *scanner, int which, const std::string &value)
{
    if (defined[which] && values[which] == value)
        return;
    // A rule set compiled without one of them rejects it; that is not an error of the scan.
    yr_scanner_define_string_variable(scanner, names[which], value.c_str());
    values[which] = value;
    defined[which] = true;
}

void Externals::set(YR_SCANNER *scanner, const char *path, const struct stat &st,
                    const unsigned char *head, size_t headLength)
{
    const char *slash = std::strrchr(path, '/');
    const std::string filename = slash ? slash + 1 : path;
    const std::string directory = slash ? std::string(path, size_t(slash - path)) : std::string();
    const auto dot = filename.rfind('.');
    std::string extension =
        dot == std::string::npos || dot == 0 ? std::string() : filename.substr(dot);
    for (char &c : extension)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (!ownerKnown || ownerUid != st.st_uid) {
        ownerName = ownerOf(st.st_uid);
        ownerUid = st.st_uid;
        ownerKnown = true;
    }
    define(scanner, 0, filename);
    define(scanner, 1, directory);
    define(scanner, 2, extension);
    define(scanner, 3, fileTypeOf(head, headLength));
    define(scanner, 4, ownerName);
}

} // namespace lame
