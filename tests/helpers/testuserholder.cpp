// Uses a test account as a test program does, for tst_testusers: asks for it, prints its uid and
// ends when its input does, giving the account up on the way out.
//   snx-testuser-holder NAME
#include "testusers.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: snx-testuser-holder NAME\n");
        return 2;
    }
    const TestUser user = ensureTestUser(QString::fromLocal8Bit(argv[1]));
    std::printf("%u\n", unsigned(user.uid));
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
    }
    return user.valid() ? 0 : 1;
}
