#include "engines/filewalk.h"

#include "core/pathopen.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace snx {
namespace {

struct Entry
{
    int nameOffset;
    int nameLength;
    mode_t mode;
    off_t size;
};

bool isAscii(const char *text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i]) >= 0x80)
            return false;
    return true;
}

bool isAscii(const QString &text)
{
    for (const QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// A directory being walked. It enters the list only once it holds a file, so that empty
// directories cost nothing.
struct Level
{
    Level *parent = nullptr;
    const char *name = nullptr; // on disk, in the parent's listing; none at the top
    std::size_t nameLength = 0;
    QString prefix;         // what every entry's path starts with
    QByteArray asciiPrefix; // the prefix's bytes when it is ASCII, else empty
    bool listed = false;
    PathList::Directory id = 0;
};

class Walker
{
public:
    Walker(const WalkRules &walkRules, PathList &found, const std::atomic_bool *stopFlag = nullptr)
        : rules(walkRules), out(found), cutShort(stopFlag)
    {
        for (const QString &w : rules.whiteList) {
            const QFileInfo info(w);
            if (info.isFile())
                whiteFiles.append(w);
            else
                whiteSubstrings.append(w);
            if (info.isDir())
                whiteDirs.insert(w);
            // An ASCII path can only equal or contain an ASCII entry, and then its bytes do.
            if (isAscii(w))
                (info.isFile() ? asciiWhiteFiles : asciiWhiteSubstrings).append(w.toLatin1());
        }
        systemDirs = QSet<QString>(rules.systemDirectories.begin(), rules.systemDirectories.end());
    }

    void traverseRequested(const QString &path)
    {
        if (givenUp())
            return;
        struct stat st;
        if (!statRequestedPath(QFile::encodeName(path).constData(), st))
            return;
        if (S_ISREG(st.st_mode)) {
            if (admits(path, st.st_size))
                out.appendPath(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
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

    // As admits, for an ASCII path given as its directory's bytes and a name, without making
    // the text of the path.
    bool admitsAscii(const Level &level, const char *name, std::size_t length, qint64 size)
    {
        if (!asciiWhiteFiles.isEmpty() || !asciiWhiteSubstrings.isEmpty()) {
            scratch.assign(level.asciiPrefix.constData(), std::size_t(level.asciiPrefix.size()));
            scratch.append(name, length);
            for (const QByteArray &w : asciiWhiteFiles)
                if (scratch.size() == std::size_t(w.size()) &&
                    std::memcmp(scratch.data(), w.constData(), scratch.size()) == 0)
                    return false;
            for (const QByteArray &w : asciiWhiteSubstrings)
                if (::memmem(scratch.data(), scratch.size(), w.constData(), std::size_t(w.size())))
                    return false;
        }
        return sizeAdmitted(size, rules.fileSizeLimit);
    }

    void list(Level &level, const char *name, std::size_t length)
    {
        listDirectory(level);
        out.append(level.id, name, length);
    }

    void listDirectory(Level &level)
    {
        if (level.listed)
            return;
        if (level.parent) {
            listDirectory(*level.parent);
            level.id = out.addDirectory(level.parent->id, level.name, level.nameLength);
        } else {
            level.id = out.addPrefix(level.prefix);
        }
        level.listed = true;
    }

    // `path` as reached (the requested text at the top, absolute below), `absolute` cleaned.
    // `parentFd` and `name` open the directory without resolving its whole path again; -1 falls
    // back to the path.
    // NOLINTNEXTLINE(readability-function-cognitive-complexity): the walk's rules, in their order
    void traverseDirectory(const QString &path, const QString &absolute, int parentFd = -1,
                           Level *parent = nullptr, const char *name = nullptr,
                           std::size_t nameLength = 0, int depth = 0)
    {
        if (givenUp() || (!whiteDirs.isEmpty() && whiteDirs.contains(path)))
            return;
        const bool atRoot = absolute == QLatin1String("/");
        // Every entry of a directory other than / shares the directory's first component; below
        // the requested directory that component is known to be allowed.
        if (depth == 0 && !atRoot && systemDirs.contains(absolute.section(QLatin1Char('/'), 1, 1)))
            return;
        // A requested path is followed when it is a link; entries are never links.
        const int flags = depth == 0 ? openFlags & ~O_NOFOLLOW : openFlags;
        int fd = -1;
        if (parentFd >= 0) {
            fd = ::openat(parentFd, name, flags);
        } else if (depth == 0) {
            fd = openRequestedPath(QFile::encodeName(absolute).constData(), flags);
        } else if (topFd >= 0 && absolute.startsWith(topPrefix)) {
            // Reopened by its path below the requested directory, which stays open, through no
            // link: a directory of that path turned into one since its listing must not lead
            // the walk, root's above all, into a directory elsewhere.
            fd = openBeneath(topFd, QFile::encodeName(absolute.mid(topPrefix.size())), flags);
        }
        if (fd < 0)
            return;
        Listing listing = list(fd);
        // Deep trees keep only the first levels open, so that a tree of any depth needs no more
        // than a few dozen descriptors.
        const bool keepOpen = depth < maxOpenDepth();
        if (!keepOpen)
            ::close(fd);
        Level level;
        level.parent = parent;
        level.name = name;
        level.nameLength = nameLength;
        level.prefix = atRoot ? absolute : absolute + QLatin1Char('/');
        if (isAscii(level.prefix))
            level.asciiPrefix = level.prefix.toLatin1();
        if (depth == 0 && keepOpen) {
            topFd = fd;
            topPrefix = level.prefix;
        }
        for (const Entry &e : listing.entries) {
            const char *entryName = listing.names.constData() + e.nameOffset;
            const std::size_t length = std::size_t(e.nameLength);
            if (atRoot && systemDirs.contains(PathList::decodeName(entryName, length)))
                continue;
            if (!level.asciiPrefix.isEmpty() && isAscii(entryName, length)) {
                // ASCII is its own encoding: the path's length is its length in bytes.
                if (std::size_t(level.asciiPrefix.size()) + length >= PATH_MAX) {
                    ++tooLong;
                    continue;
                }
                if (S_ISREG(e.mode)) {
                    if (admitsAscii(level, entryName, length, e.size))
                        list(level, entryName, length);
                } else if (S_ISDIR(e.mode) && e.size != 0) {
                    const QString child = level.prefix + QLatin1String(entryName, int(length));
                    traverseDirectory(child, child, keepOpen ? fd : -1, &level, entryName, length,
                                      depth + 1);
                }
                continue;
            }
            const QString child = level.prefix + PathList::decodeName(entryName, length);
            // A path's bytes are at most three times its UTF-16 units, so only long ones are
            // encoded to measure them.
            if (child.size() * 3 >= PATH_MAX && QFile::encodeName(child).size() >= PATH_MAX) {
                ++tooLong;
                continue;
            }
            if (S_ISREG(e.mode)) {
                if (admits(child, e.size))
                    list(level, entryName, length);
            } else if (S_ISDIR(e.mode) && e.size != 0) {
                traverseDirectory(child, child, keepOpen ? fd : -1, &level, entryName, length,
                                  depth + 1);
            }
        }
        if (keepOpen)
            ::close(fd);
        if (depth == 0)
            topFd = -1;
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
                const int length = int(std::strlen(n));
                listing.entries.push_back({listing.names.size(), length, st.st_mode, st.st_size});
                listing.names.append(n, length + 1);
            }
        }
        ::closedir(d);
        return listing;
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
    // Whether the walk saw its flag and stopped short of its end.
    bool stopped = false;

private:
    bool givenUp()
    {
        if (!stopped && cutShort && cutShort->load(std::memory_order_relaxed))
            stopped = true;
        return stopped;
    }

    const WalkRules &rules;
    PathList &out;
    const std::atomic_bool *const cutShort;
    QStringList whiteFiles;
    QStringList whiteSubstrings;
    QList<QByteArray> asciiWhiteFiles;
    QList<QByteArray> asciiWhiteSubstrings;
    std::string scratch; // the bytes of the path being checked, kept to spare an allocation
    // The requested directory being walked, open for the whole walk of it, and its prefix.
    int topFd = -1;
    QString topPrefix;
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

PathList walkPathList(const QStringList &paths, const WalkRules &rules, int *tooLong)
{
    static const std::atomic_bool never{false};
    PathList files;
    walkPathList(paths, rules, never, files, tooLong);
    return files;
}

bool walkPathList(const QStringList &paths, const WalkRules &rules,
                  const std::atomic_bool &cutShort, PathList &files, int *tooLong)
{
    files.clear();
    Walker walker(rules, files, &cutShort);
    for (const QString &path : paths)
        walker.traverseRequested(path);
    if (tooLong)
        *tooLong = walker.tooLong;
    if (walker.stopped)
        files.clear();
    return !walker.stopped;
}

QStringList walkPaths(const QStringList &paths, const WalkRules &rules, int *tooLong)
{
    return walkPathList(paths, rules, tooLong).toStringList();
}

} // namespace snx
