#include "engines/pathlist.h"

#include <QFile>
#include <QVarLengthArray>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace snx {

namespace {
constexpr std::uint32_t topDirectory = 0x80000000u;

template <class T> void release(std::vector<T> &v)
{
    std::vector<T>().swap(v);
}
} // namespace

PathList::PathList(PathList &&other) noexcept
{
    *this = std::move(other);
}

PathList &PathList::operator=(PathList &&other) noexcept
{
    if (this == &other)
        return *this;
    clear();
    directoryParents = std::move(other.directoryParents);
    directoryNames = std::move(other.directoryNames);
    fileDirectories = std::move(other.fileDirectories);
    fileNames = std::move(other.fileNames);
    prefixes = std::move(other.prefixes);
    names = std::exchange(other.names, nullptr);
    namesSize = std::exchange(other.namesSize, 0);
    namesCapacity = std::exchange(other.namesCapacity, 0);
    other.clear();
    return *this;
}

PathList::~PathList()
{
    std::free(names);
}

void PathList::clear()
{
    release(directoryParents);
    release(directoryNames.lowOffsets);
    release(directoryNames.wraps);
    release(fileDirectories);
    release(fileNames.lowOffsets);
    release(fileNames.wraps);
    prefixes = QStringList();
    std::free(names);
    names = nullptr;
    namesSize = namesCapacity = 0;
}

void PathList::Column::add(std::size_t offset)
{
    // Entries come in the order of their offsets, so each new 4 GiB starts at a known entry.
    while ((offset >> 32) > wraps.size())
        wraps.push_back(std::uint32_t(lowOffsets.size()));
    lowOffsets.push_back(std::uint32_t(offset));
}

std::size_t PathList::Column::offset(std::size_t entry) const
{
    const std::size_t high =
        std::size_t(std::upper_bound(wraps.begin(), wraps.end(), entry) - wraps.begin());
    return (high << 32) | lowOffsets[entry];
}

std::size_t PathList::storeName(const char *name, std::size_t length)
{
    if (namesSize + length + 1 > namesCapacity) {
        // realloc lets a large buffer grow in place, where a copy would double the peak.
        const std::size_t capacity = std::max<std::size_t>(
            {namesSize + length + 1, namesCapacity + namesCapacity / 2, 4096});
        char *grown = static_cast<char *>(std::realloc(names, capacity));
        if (!grown)
            throw std::bad_alloc();
        names = grown;
        namesCapacity = capacity;
    }
    const std::size_t offset = namesSize;
    std::memcpy(names + offset, name, length);
    names[offset + length] = '\0';
    namesSize += length + 1;
    return offset;
}

PathList::Directory PathList::addPrefix(const QString &prefix)
{
    directoryParents.push_back(topDirectory | std::uint32_t(prefixes.size()));
    prefixes.append(prefix);
    directoryNames.add(storeName("", 0));
    return Directory(directoryParents.size() - 1);
}

void PathList::appendPath(const QString &path)
{
    // An empty name stands for the prefix itself; no name on disk is empty.
    append(addPrefix(path), "", 0);
}

PathList::Directory PathList::addDirectory(Directory parent, const char *name, std::size_t length)
{
    directoryParents.push_back(parent);
    directoryNames.add(storeName(name, length));
    return Directory(directoryParents.size() - 1);
}

void PathList::append(Directory directory, const char *name, std::size_t length)
{
    fileDirectories.push_back(directory);
    fileNames.add(storeName(name, length));
}

QString PathList::decodeName(const char *name, std::size_t length)
{
    const char *p = name;
    const char *end = name + length;
    while (p != end && static_cast<unsigned char>(*p) < 0x80)
        ++p;
    return p == end ? QString::fromLatin1(name, int(length))
                    : QFile::decodeName(QByteArray::fromRawData(name, int(length)));
}

void PathList::appendTo(QString &out, Directory directory) const
{
    QVarLengthArray<Directory, 64> chain;
    while (!(directoryParents[directory] & topDirectory)) {
        chain.append(directory);
        directory = directoryParents[directory];
    }
    out += prefixes.at(int(directoryParents[directory] & ~topDirectory));
    for (int i = chain.size() - 1; i >= 0; --i) {
        const char *name = names + directoryNames.offset(chain[i]);
        out += decodeName(name, std::strlen(name));
        out += QLatin1Char('/');
    }
}

QString PathList::at(int i) const
{
    QString path;
    appendTo(path, fileDirectories[std::size_t(i)]);
    const char *name = names + fileNames.offset(std::size_t(i));
    if (*name != '\0')
        path += decodeName(name, std::strlen(name));
    return path;
}

QStringList PathList::toStringList() const
{
    QStringList list;
    list.reserve(size());
    for (int i = 0; i < size(); ++i)
        list.append(at(i));
    return list;
}

std::size_t PathList::bytesUsed() const
{
    std::size_t bytes = namesCapacity;
    bytes += directoryParents.capacity() * sizeof(std::uint32_t);
    bytes += fileDirectories.capacity() * sizeof(Directory);
    for (const Column *c : {&directoryNames, &fileNames})
        bytes += (c->lowOffsets.capacity() + c->wraps.capacity()) * sizeof(std::uint32_t);
    for (const QString &p : prefixes)
        bytes += sizeof(QString) + std::size_t(p.capacity()) * 2;
    return bytes;
}

} // namespace snx
