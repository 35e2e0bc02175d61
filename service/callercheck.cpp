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
      lookupRoot(config.libraryLookupRoot), allowedCallers(config.allowedCallers),
      libraryRoots(config.permittedLibraryRoots)
{
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

// Works on the bytes: in the locale encodings we run under a multi-byte character never holds
// the bytes of " ", "\n", "/" or ".so", so cutting the bytes cuts the decoded text the same way.
// NOLINTNEXTLINE(readability-function-cognitive-complexity): one pass over the text, for speed
bool CallerCheck::librariesPermitted(const QByteArray &mapsText) const
{
    const QByteArray text = mapsText.trimmed();
    // A library is mapped several times; its verdict does not change within one check.
    std::unordered_set<std::string_view> seen;
    const char *const begin = text.constData();
    const char *const end = begin + text.size();
    auto separator = [](char c) { return c == ' ' || c == '\n'; };
    // Lines are split at "\n" and then at " ", empty pieces dropped: every non-empty run
    // between those two separators is one token. Only tokens whose file name holds ".so" are
    // tested, so the search goes from one ".so" to the next instead of through every token.
    for (const char *hit = begin; hit < end;) {
        hit = static_cast<const char *>(::memmem(hit, size_t(end - hit), ".so", 3));
        if (!hit)
            break;
        const char *tokenBegin = hit;
        while (tokenBegin > begin && !separator(tokenBegin[-1]))
            --tokenBegin;
        const char *p = hit;
        while (p < end && !separator(*p))
            ++p;
        const char *fileName =
            static_cast<const char *>(::memrchr(tokenBegin, '/', size_t(p - tokenBegin)));
        fileName = fileName ? fileName + 1 : tokenBegin;
        // Another ".so" of the same token may still lie in its file name.
        const bool inFileName =
            hit >= fileName || ::memmem(fileName, size_t(p - fileName), ".so", 3) != nullptr;
        hit = p;
        if (!inFileName)
            continue;
        const std::string_view token(tokenBegin, size_t(p - tokenBegin));
        if (!seen.insert(token).second)
            continue;
        // Whether the file exists matters only for a path that would be refused, so the
        // components are looked at first and the file system only for such a path.
        std::string_view first, second;
        int components = 0;
        for (size_t at = 0; at < token.size();) {
            const size_t next = std::min(token.find('/', at), token.size());
            if (next > at) {
                if (components == 0)
                    first = token.substr(at, next - at);
                else if (components == 1)
                    second = token.substr(at, next - at);
                ++components;
            }
            at = next + 1;
        }
        if (components <= 2)
            continue;
        const QString top =
            QLatin1Char('/') + QString::fromLocal8Bit(first.data(), int(first.size())) +
            QLatin1Char('/') + QString::fromLocal8Bit(second.data(), int(second.size()));
        if (libraryRoots.contains(top))
            continue;
        QByteArray native(token.data(), int(token.size()));
        if (token.front() == '/')
            native.prepend(QFile::encodeName(lookupRoot));
        struct stat st;
        if (::stat(native.constData(), &st) == 0 && S_ISREG(st.st_mode))
            return false;
    }
    return true;
}

// The kernel writes a /proc text anew for every read call; large reads make it do so once.
bool CallerCheck::readProcFile(const QString &path, QByteArray &text)
{
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
        text.append(buffer.data(), int(n));
    }
    ::close(fd);
    return true;
}

// Only the executable the kernel names for the process counts. A deleted or replaced file reads
// as "path (deleted)": whatever program it was, it is not the one at that path now, and the
// command line is the caller's own text, so neither stands in for it.
QString CallerCheck::executableOf(uint pid) const
{
    const QString link = procPath(pid, "exe");
    const QByteArray native = QFile::encodeName(link);
    QByteArray target(4096, '\0');
    const ssize_t n = ::readlink(native.constData(), target.data(), size_t(target.size()));
    if (n <= 0 || n >= target.size() || target.left(int(n)).endsWith(" (deleted)"))
        return QString();
    return QFileInfo(link).canonicalFilePath();
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
