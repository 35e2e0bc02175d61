#pragma once

#include <unistd.h>
#include <utility>

namespace snx {

// Owns one file descriptor and closes it when it goes.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int descriptor) : fd(descriptor) {}
    ~UniqueFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    UniqueFd(UniqueFd &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }

private:
    int fd = -1;
};

} // namespace snx
