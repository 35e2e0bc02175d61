// What tells one state of a signature file from another: a file replaced, edited, added or
// removed changes its stamp, also within the same second (times are compared to the nanosecond,
// and the change time moves with every write, rename and chmod).
#pragma once

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace enginefiles {

struct FileStamp
{
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    timespec modified = {};
    timespec changed = {};

    bool operator==(const FileStamp &o) const
    {
        return path == o.path && device == o.device && inode == o.inode && size == o.size &&
               mode == o.mode && owner == o.owner && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec;
    }
    bool operator!=(const FileStamp &o) const { return !(*this == o); }
};

using Fingerprint = std::vector<FileStamp>;

// A missing file stamps as all zeros under its path, so that its appearance is a change too.
inline FileStamp stampOf(const std::string &path)
{
    FileStamp s;
    s.path = path;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        s.device = st.st_dev;
        s.inode = st.st_ino;
        s.size = st.st_size;
        s.mode = st.st_mode;
        s.owner = st.st_uid;
        s.modified = st.st_mtim;
        s.changed = st.st_ctim;
    }
    return s;
}

// A root process must not load what another user can change: the file (or directory) must
// belong to root or to the process's own user, and be writable by its owner alone.
inline bool ownedSafely(const FileStamp &s)
{
    return (s.owner == 0 || s.owner == ::geteuid()) && (s.mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace enginefiles
