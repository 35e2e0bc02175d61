#include "engines/filewalk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace snx {
namespace {

struct Entry
{
    QByteArray name;
    mode_t mode;
    off_t size;
};

class Walker
{
public:
    Walker(const WalkRules &rules, QStringList &out) : rules(rules), out(out)
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
        const qint64 sizeKiB = size / 1024;
        return sizeKiB <= qint64(rules.fileSizeLimit) * 1024;
    }

    // `path` as reached (the requested text at the top, absolute below), `absolute` cleaned.
    void traverseDirectory(const QString &path, const QString &absolute)
    {
        if (whiteDirs.contains(path))
            return;
        const bool atRoot = absolute == QLatin1String("/");
        // Every entry of a directory other than / shares the directory's first component.
        if (!atRoot && systemDirs.contains(absolute.section(QLatin1Char('/'), 1, 1)))
            return;
        const std::vector<Entry> entries = list(absolute);
        const QString prefix = atRoot ? absolute : absolute + QLatin1Char('/');
        for (const Entry &e : entries) {
            const QString name = QFile::decodeName(e.name);
            if (atRoot && systemDirs.contains(name))
                continue;
            const QString child = prefix + name;
            if (S_ISREG(e.mode)) {
                if (admits(child, e.size))
                    out.append(child);
            } else if (S_ISDIR(e.mode) && e.size != 0) {
                traverseDirectory(child, child);
            }
        }
    }

    // Reads the whole directory before descending, so that a deep tree never holds more
    // than one directory open at a time.
    static std::vector<Entry> list(const QString &dir)
    {
        std::vector<Entry> entries;
        DIR *d = ::opendir(QFile::encodeName(dir).constData());
        if (!d)
            return entries;
        const int fd = ::dirfd(d);
        while (const dirent *de = ::readdir(d)) {
            const char *n = de->d_name;
            if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
                continue;
            if (de->d_type != DT_REG && de->d_type != DT_DIR && de->d_type != DT_UNKNOWN)
                continue; // links, FIFOs, sockets and devices are never listed
            struct stat st;
            if (::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
                entries.push_back({QByteArray(n), st.st_mode, st.st_size});
        }
        ::closedir(d);
        return entries;
    }

    const WalkRules &rules;
    QStringList &out;
    QStringList whiteFiles;
    QStringList whiteSubstrings;
    QSet<QString> whiteDirs;
    QSet<QString> systemDirs;
};

} // namespace

QStringList walkPaths(const QStringList &paths, const WalkRules &rules)
{
    QStringList files;
    Walker walker(rules, files);
    for (const QString &path : paths)
        walker.traverseRequested(path);
    return files;
}

} // namespace snx
