#include "engines/filewalk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace snx {
namespace {

struct Entry
{
    int nameOffset;
    mode_t mode;
    off_t size;
};

class Walker
{
public:
    Walker(const WalkRules &walkRules, QStringList &found) : rules(walkRules), out(found)
    {
        for (const QString &w : rules.whiteList) {
            const QFileInfo info(w);
            if (info.isFile())
                whiteFiles.append(w);
            else
                whiteSubstrings.append(w);
            if (info.isDir())
                whiteDirs.insert(w);
        }
        systemDirs = QSet<QString>(rules.systemDirectories.begin(), rules.systemDirectories.end());
    }

    void traverseRequested(const QString &path)
    {
        struct stat st;
        if (::stat(QFile::encodeName(path).constData(), &st) != 0)
            return;
        if (S_ISREG(st.st_mode)) {
            if (admits(path, st.st_size))
                out.append(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
        } else if (S_ISDIR(st.st_mode) && st.st_size != 0) {
            traverseDirectory(path, QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
        }
    }

private:
    bool admits(const QString &path, qint64 size) const
    {
        for (const QString &w : whiteFiles)
            if (path == w)
                return false;
        for (const QString &w : whiteSubstrings)
            if (path.contains(w))
                return false;
        return sizeAdmitted(size, rules.fileSizeLimit);
    }

    // `path` as reached (the requested text at the top, absolute below), `absolute` cleaned.
    // `parentFd` and `name` open the directory without resolving its whole path again; -1 falls
    // back to the path.
    // NOLINTNEXTLINE(readability-function-cognitive-complexity): the walk's rules, in their order
    void traverseDirectory(const QString &path, const QString &absolute, int parentFd = -1,
                           const char *name = nullptr, int depth = 0)
    {
        if (!whiteDirs.isEmpty() && whiteDirs.contains(path))
            return;
        const bool atRoot = absolute == QLatin1String("/");
        // Every entry of a directory other than / shares the directory's first component; below
        // the requested directory that component is known to be allowed.
        if (depth == 0 && !atRoot && systemDirs.contains(absolute.section(QLatin1Char('/'), 1, 1)))
            return;
        // A requested path is followed when it is a link; entries are never links.
        const int flags = depth == 0 ? openFlags & ~O_NOFOLLOW : openFlags;
        const int fd = parentFd >= 0 ? ::openat(parentFd, name, flags)
                                     : ::open(QFile::encodeName(absolute).constData(), flags);
        if (fd < 0)
            return;
        Listing listing = list(fd);
        // Deep trees keep only the first levels open, so that a tree of any depth needs no more
        // than a few dozen descriptors.
        const bool keepOpen = depth < maxOpenDepth();
        if (!keepOpen)
            ::close(fd);
        const QString prefix = atRoot ? absolute : absolute + QLatin1Char('/');
        for (const Entry &e : listing.entries) {
            const char *entryName = listing.names.constData() + e.nameOffset;
            const QString entry = decodeName(entryName);
            if (atRoot && systemDirs.contains(entry))
                continue;
            QString child;
            child.reserve(prefix.size() + entry.size());
            child += prefix;
            child += entry;
            // A path's bytes are at most three times its UTF-16 units, so only long ones are
            // encoded to measure them.
            if (child.size() * 3 >= PATH_MAX && QFile::encodeName(child).size() >= PATH_MAX) {
                ++tooLong;
                continue;
            }
            if (S_ISREG(e.mode)) {
                if (admits(child, e.size))
                    out.append(child);
            } else if (S_ISDIR(e.mode) && e.size != 0) {
                traverseDirectory(child, child, keepOpen ? fd : -1, entryName, depth + 1);
            }
        }
        if (keepOpen)
            ::close(fd);
    }

    struct Listing
    {
        QByteArray names; // NUL-terminated names, one after the other
        std::vector<Entry> entries;
    };

    // Reads the whole directory before descending into any of it.
    static Listing list(int fd)
    {
        Listing listing;
        const int ownFd = ::dup(fd);
        DIR *d = ownFd >= 0 ? ::fdopendir(ownFd) : nullptr;
        if (!d) {
            if (ownFd >= 0)
                ::close(ownFd);
            return listing;
        }
        while (const dirent *de = ::readdir(d)) {
            const char *n = de->d_name;
            if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
                continue;
            if (de->d_type != DT_REG && de->d_type != DT_DIR && de->d_type != DT_UNKNOWN)
                continue; // links, FIFOs, sockets and devices are never listed
            struct stat st;
            if (::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
                listing.entries.push_back({listing.names.size(), st.st_mode, st.st_size});
                listing.names.append(n, int(std::strlen(n)) + 1);
            }
        }
        ::closedir(d);
        return listing;
    }

    // Most names are ASCII, which every locale encoding we run under reads the same way.
    static QString decodeName(const char *name)
    {
        const char *p = name;
        while (*p != '\0' && static_cast<unsigned char>(*p) < 0x80)
            ++p;
        return *p == '\0' ? QString::fromLatin1(name, int(p - name)) : QFile::decodeName(name);
    }

    static constexpr int openFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // A quarter of the descriptor limit at most, so that a low limit still leaves room for the
    // rest of the process.
    static int maxOpenDepth()
    {
        static const int depth = [] {
            struct rlimit limit;
            if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
                return 32;
            return int(std::min<rlim_t>(32, limit.rlim_cur / 4));
        }();
        return depth;
    }

public:
    int tooLong = 0;

private:
    const WalkRules &rules;
    QStringList &out;
    QStringList whiteFiles;
    QStringList whiteSubstrings;
    QSet<QString> whiteDirs;
    QSet<QString> systemDirs;
};

} // namespace

bool sizeAdmitted(qint64 bytes, int limitMiB)
{
    if (limitMiB == noSizeLimit)
        return true;
    return bytes / 1024 <= qint64(limitMiB) * 1024;
}

QStringList walkPaths(const QStringList &paths, const WalkRules &rules, int *tooLong)
{
    QStringList files;
    Walker walker(rules, files);
    for (const QString &path : paths)
        walker.traverseRequested(path);
    if (tooLong)
        *tooLong = walker.tooLong;
    return files;
}

} // namespace snx
