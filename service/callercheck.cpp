#include "service/callercheck.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringView>
#include <QVector>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace snx {

CallerCheck::CallerCheck(const ScannerConfig &config)
    : procRoot(config.procRoot), referencePid(config.namespaceReferencePid),
      allowedCallers(config.allowedCallers),
      encodedLookupRoot(QFile::encodeName(config.libraryLookupRoot))
{
    for (const QString &root : config.permittedLibraryRoots)
        encodedLibraryRoots.append(root.toLocal8Bit());
}

QString CallerCheck::illegalCallText()
{
    return QStringLiteral("Illegal calls") + QString(5, QChar(0xFF01));
}

QString CallerCheck::notAllowedText(uint pid, const QString &executable)
{
    return QStringLiteral("(pid: %1)[%2] is not allowed to transfer sentinex inter")
        .arg(QString::number(pid), executable);
}

QString CallerCheck::procPath(uint pid, const char *entry) const
{
    return procRoot + QLatin1Char('/') + QString::number(pid) + QLatin1Char('/') +
           QLatin1String(entry);
}

// The kernel's link target is relative (mnt:[N]); resolved against the link's directory and
// with the link's own path cut off, what is left is the namespace identity ":[N]".
QString CallerCheck::namespaceIdentity(const QString &link)
{
    const QByteArray native = QFile::encodeName(link);
    QByteArray target(4096, '\0');
    const ssize_t n = ::readlink(native.constData(), target.data(), size_t(target.size()));
    if (n <= 0)
        return QString();
    target.truncate(int(n));
    QString resolved = QFile::decodeName(target);
    if (!resolved.startsWith(QLatin1Char('/')))
        resolved = QFileInfo(link).path() + QLatin1Char('/') + resolved;
    return resolved.trimmed().mid(link.size());
}

namespace {

// Lines are split at "\n" and then at " ", empty pieces dropped: every non-empty run between
// those two separators is one token of the maps text.
bool isSeparator(char c)
{
    return c == ' ' || c == '\n';
}

std::string_view tokenAround(const char *textBegin, const char *textEnd, const char *at)
{
    const char *begin = at;
    while (begin > textBegin && !isSeparator(begin[-1]))
        --begin;
    const char *end = at;
    while (end < textEnd && !isSeparator(*end))
        ++end;
    return std::string_view(begin, size_t(end - begin));
}

bool holdsSo(std::string_view text)
{
    return text.find(".so") != std::string_view::npos;
}

// The file name is what follows the last "/".
bool fileNameHoldsSo(std::string_view token)
{
    const size_t slash = token.rfind('/');
    return holdsSo(slash == std::string_view::npos ? token : token.substr(slash + 1));
}

// The next token whose file name holds ".so", from `cursor` on; the search goes from one ".so"
// to the next instead of through every token. False when there is none.
bool nextLibraryToken(const char *&cursor, const char *textBegin, const char *textEnd,
                      std::string_view &token)
{
    while (cursor < textEnd) {
        const auto *hit =
            static_cast<const char *>(::memmem(cursor, size_t(textEnd - cursor), ".so", 3));
        if (!hit) {
            cursor = textEnd;
            return false;
        }
        token = tokenAround(textBegin, textEnd, hit);
        cursor = token.data() + token.size();
        if (fileNameHoldsSo(token))
            return true;
    }
    return false;
}

// The first two non-empty components of a path of more than two; false for a shorter one.
bool topComponents(std::string_view path, std::string_view &first, std::string_view &second)
{
    int components = 0;
    for (size_t at = 0; at < path.size();) {
        const size_t next = std::min(path.find('/', at), path.size());
        if (next > at) {
            if (components == 0)
                first = path.substr(at, next - at);
            else if (components == 1)
                second = path.substr(at, next - at);
            else
                return true;
            ++components;
        }
        at = next + 1;
    }
    return false;
}

// Whether `root` reads "/first/second".
bool rootIs(const QByteArray &root, std::string_view first, std::string_view second)
{
    const std::string_view r(root.constData(), size_t(root.size()));
    return r.size() == first.size() + second.size() + 2 && r[0] == '/' &&
           r.substr(1, first.size()) == first && r[first.size() + 1] == '/' &&
           r.substr(first.size() + 2) == second;
}

} // namespace

bool CallerCheck::underPermittedRoot(std::string_view first, std::string_view second) const
{
    return std::any_of(encodedLibraryRoots.cbegin(), encodedLibraryRoots.cend(),
                       [&](const QByteArray &root) { return rootIs(root, first, second); });
}

// Whether the file exists matters only for a path that would be refused, so the components are
// looked at first and the file system only for such a path.
bool CallerCheck::libraryPermitted(std::string_view path) const
{
    std::string_view first, second;
    if (!topComponents(path, first, second) || underPermittedRoot(first, second))
        return true;
    QByteArray native(path.data(), int(path.size()));
    if (path.front() == '/')
        native.prepend(encodedLookupRoot);
    struct stat st;
    return ::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode);
}

// Works on the bytes: in the locale encodings we run under a multi-byte character never holds
// the bytes of " ", "\n", "/" or ".so", so cutting the bytes cuts the decoded text the same way,
// and the roots, encoded once, compare as the decoded components would.
bool CallerCheck::librariesPermitted(const QByteArray &mapsText) const
{
    const QByteArray text = mapsText.trimmed();
    const char *const begin = text.constData();
    const char *const end = begin + text.size();
    // A library is mapped several times; its verdict does not change within one check.
    std::unordered_set<std::string_view> seen;
    std::string_view token;
    for (const char *cursor = begin; nextLibraryToken(cursor, begin, end, token);)
        if (seen.insert(token).second && !libraryPermitted(token))
            return false;
    return true;
}

// The kernel writes a /proc text anew for every read call; large reads make it do so once.
bool CallerCheck::readProcFile(const QString &path, QByteArray &text)
{
    // A caller can make its maps text as long as it likes (tens of thousands of mappings of a
    // file with a long name); no program of the suite comes near this.
    constexpr int maxProcFileSize = 8 << 20;
    text.clear();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<char> buffer(size_t(64) * 1024);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (text.size() + n > maxProcFileSize) {
            ::close(fd);
            text.clear();
            return false;
        }
        text.append(buffer.data(), int(n));
    }
    ::close(fd);
    return true;
}

// Only the executable the kernel names for the process counts. A deleted or replaced file reads
// as "path (deleted)": whatever program it was, it is not the one at that path now, and the
// command line is the caller's own text, so neither stands in for it. The kernel's text is the
// file's own path, with no link on the way; it is taken as read. Resolved again, it would go
// through whatever the caller put on that way meanwhile: a directory of its own swapped for a
// link to an allowed program's directory.
QString CallerCheck::executableOf(uint pid) const
{
    const QByteArray native = QFile::encodeName(procPath(pid, "exe"));
    QByteArray target(4096, '\0');
    const ssize_t n = ::readlink(native.constData(), target.data(), size_t(target.size()));
    if (n <= 0 || n >= target.size())
        return QString();
    target.truncate(int(n));
    if (!target.startsWith('/') || target.endsWith(" (deleted)"))
        return QString();
    // What is no longer there names no program.
    const QString named = QFile::decodeName(target);
    return QFileInfo::exists(named) ? named : QString();
}

CallerVerdict CallerCheck::check(uint pid) const
{
    const QString reference =
        procRoot + QLatin1Char('/') + referencePid + QStringLiteral("/ns/mnt");
    // Two links that cannot be read are equal as texts, yet say nothing about either process.
    const QString referenceNamespace = namespaceIdentity(reference);
    if (referenceNamespace.isEmpty() ||
        referenceNamespace != namespaceIdentity(procPath(pid, "ns/mnt")))
        return {false, illegalCallText()};

    // Maps that cannot be read hide what the process runs.
    QByteArray maps;
    if (!readProcFile(procPath(pid, "maps"), maps) || !librariesPermitted(maps))
        return {false, illegalCallText()};

    const QString executable = executableOf(pid);
    if (!allowedCallers.contains(executable))
        return {false, notAllowedText(pid, executable)};
    return {true, QString()};
}

} // namespace snx
