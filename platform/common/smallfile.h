// Reads small files whole for the engines. Both libraries map every file they scan; in a process
// with several threads each unmap costs an interrupt to every core, which for small files costs
// more than the scan. Reading into a buffer that the engine keeps avoids it.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace engineio {

enum class Read { Whole, TooLarge, Failed };

constexpr size_t smallFileLimit = 1 << 20;

// Reads a regular file that the caller opened and keeps open: whole when it is small, else says
// so. Reads from the start whatever the descriptor's position, and never opens anything by name.
// `st` is the descriptor's fstat, for a caller that needs it too.
inline Read readSmallDescriptor(int fd, const struct stat &st, std::vector<unsigned char> &buffer,
                                size_t &length)
{
    if (!S_ISREG(st.st_mode))
        return Read::Failed;
    if (size_t(st.st_size) > smallFileLimit)
        return Read::TooLarge;
    buffer.resize(size_t(st.st_size) + 1);
    length = 0;
    for (;;) {
        const ssize_t n =
            ::pread(fd, buffer.data() + length, buffer.size() - length, off_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Read::Failed;
        if (n == 0)
            break;
        length += size_t(n);
        if (length == buffer.size())
            return Read::TooLarge;
    }
    return Read::Whole;
}

inline Read readSmallDescriptor(int fd, std::vector<unsigned char> &buffer, size_t &length)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return Read::Failed;
    return readSmallDescriptor(fd, st, buffer, length);
}

// Opens without blocking, so that a file replaced by a FIFO since the walk cannot hang the scan.
inline int openForScan(const char *path)
{
    return ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

} // namespace engineio
