#include "app/unixsignalnotifier.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace snx {
namespace {

std::atomic<int> writeEnd{-1};

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    const int fd = writeEnd.load();
    // A full pipe already holds enough wake-ups; losing this byte loses nothing.
    if (fd >= 0) {
        const ssize_t written = ::write(fd, &byte, 1);
        (void)written;
    }
    errno = savedErrno;
}

} // namespace

UnixSignalNotifier::UnixSignalNotifier(const QVector<int> &signalNumbers, QObject *parent)
    : QObject(parent), numbers(signalNumbers)
{
    int fds[2];
    if (writeEnd.load() >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    readEnd = fds[0];
    writeEnd.store(fds[1]);
    notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnixSignalNotifier::drain);
    previous.resize(numbers.size());
    for (int i = 0; i < numbers.size(); ++i) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        // Interrupted reads and waits go on; the event loop sees the byte afterwards.
        action.sa_flags = SA_RESTART;
        sigaction(numbers[i], &action, &previous[i]);
    }
}

UnixSignalNotifier::~UnixSignalNotifier()
{
    if (!notifier)
        return;
    for (int i = 0; i < numbers.size(); ++i)
        sigaction(numbers[i], &previous[i], nullptr);
    ::close(writeEnd.exchange(-1));
    ::close(readEnd);
}

void UnixSignalNotifier::drain()
{
    unsigned char bytes[16];
    ssize_t n;
    while ((n = ::read(readEnd, bytes, sizeof bytes)) > 0)
        for (ssize_t i = 0; i < n; ++i)
            emit received(bytes[i]);
}

} // namespace snx
