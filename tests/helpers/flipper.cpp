// A hostile user's helper for the race tests: flips a name as fast as it can until killed.
//   snx-flipper swap A B        exchanges the two entries A and B (a directory and a link, say)
//   snx-flipper link TARGET P   makes P a symbolic link to TARGET, removes it, and again
//   snx-flipper open DIR NAME   opens DIR/NAME for writing as soon as it can, writes into it,
//                               says "won" and ends
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: snx-flipper swap A B | link TARGET PATH | open DIR NAME\n");
        return 2;
    }
    // A test that fails or is killed must not leave the flipper spinning on its own.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() == 1)
        return 1;
    if (std::strcmp(argv[1], "open") == 0) {
        const int dir = ::open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (;;) {
            const int fd = ::openat(dir, argv[3], O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0 && ::pwrite(fd, "won", 3, 0) == 3) {
                std::printf("won\n");
                return 0;
            }
            if (fd >= 0)
                ::close(fd);
        }
    }
    const bool swap = std::strcmp(argv[1], "swap") == 0;
    for (;;) {
        if (swap) {
            ::renameat2(AT_FDCWD, argv[2], AT_FDCWD, argv[3], RENAME_EXCHANGE);
        } else {
            ::symlink(argv[2], argv[3]);
            ::unlink(argv[3]);
        }
    }
}
