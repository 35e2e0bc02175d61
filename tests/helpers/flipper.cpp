// A hostile user's helper for the race tests: flips a name as fast as it can until killed.
//   snx-flipper swap A B        exchanges the two entries A and B (a directory and a link, say)
//   snx-flipper link TARGET P   makes P a symbolic link to TARGET, removes it, and again
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
        std::fprintf(stderr, "usage: snx-flipper swap A B | link TARGET PATH\n");
        return 2;
    }
    // A test that fails or is killed must not leave the flipper spinning on its own.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() == 1)
        return 1;
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
