#pragma once

#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace snx {

// The file list of a scan, kept small: a million files must not cost hundreds of megabytes.
// Each directory is stored once, as its parent and its name; each file as its directory and its
// name. Names are the bytes on disk, read into text only by at(), exactly as the walk always
// read them (one name at a time), so a path comes back as it would have been listed.
class PathList
{
public:
    // A directory of the list; the walk gets one per directory that holds files.
    using Directory = std::uint32_t;

    PathList() = default;
    PathList(PathList &&other) noexcept;
    PathList &operator=(PathList &&other) noexcept;
    PathList(const PathList &) = delete;
    PathList &operator=(const PathList &) = delete;
    ~PathList();

    int size() const { return int(fileDirectories.size()); }
    bool isEmpty() const { return fileDirectories.empty(); }
    QString at(int i) const;
    QStringList toStringList() const;
    // Empties the list and gives its memory back to the allocator.
    void clear();

    // A requested path the walk met as text: a directory's prefix (ending in '/') to put names
    // under, or a whole file path.
    Directory addPrefix(const QString &prefix);
    void appendPath(const QString &path);
    // A directory below `parent`, and a file in `directory`, by their names on disk.
    Directory addDirectory(Directory parent, const char *name, std::size_t length);
    void append(Directory directory, const char *name, std::size_t length);

    // Bytes held, with the room reserved for growth: what the list costs.
    std::size_t bytesUsed() const;

    // How the walk reads a name: ASCII directly, anything else with the locale's codec.
    static QString decodeName(const char *name, std::size_t length);

private:
    // Offsets into `names` are 32-bit; once the names pass 4 GiB, the entry at which each
    // further 4 GiB begins is noted, so that no entry pays for the rare huge list.
    struct Column
    {
        std::vector<std::uint32_t> lowOffsets;
        std::vector<std::uint32_t> wraps; // first entry of each 4 GiB past the first
        void add(std::size_t offset);
        std::size_t offset(std::size_t entry) const;
    };

    std::size_t storeName(const char *name, std::size_t length);
    void appendTo(QString &out, Directory directory) const;

    // Parent of each directory; a top one holds the index of its prefix with the high bit set.
    std::vector<std::uint32_t> directoryParents;
    Column directoryNames;
    std::vector<Directory> fileDirectories;
    Column fileNames;
    // NUL-terminated names, one after the other.
    char *names = nullptr;
    std::size_t namesSize = 0;
    std::size_t namesCapacity = 0;
    QStringList prefixes;
};

} // namespace snx
