#include "scanholdserver.h"

#include "sandboxservice.h"

#include <QFile>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

ScanHoldServer::~ScanHoldServer()
{
    // A closed connection lets its loop go: the service is never left held.
    for (const int fd : qAsConst(held))
        ::close(fd);
    if (listener >= 0) {
        ::close(listener);
        QFile::remove(socketPath);
    }
}

bool ScanHoldServer::listen(const QString &path)
{
    socketPath = path;
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return listener >= 0 &&
           ::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
           ::listen(listener, 8) == 0;
}

void ScanHoldServer::acceptWaiting()
{
    int fd;
    while ((fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
        // The loop writes its index as soon as it is connected.
        QByteArray line;
        char c = 0;
        while (::read(fd, &c, 1) == 1 && c != '\n')
            line += c;
        held.insert(line.toInt(), fd);
    }
}

bool ScanHoldServer::waitHeld(int index, int timeoutMs)
{
    return waitFor(
        [&] {
            acceptWaiting();
            return held.contains(index);
        },
        timeoutMs);
}

void ScanHoldServer::answer(int index, char command)
{
    const int fd = held.take(index);
    if (fd < 0)
        return;
    if (::write(fd, &command, 1) != 1)
        qWarning("scan hold at %d: not answered", index);
    ::close(fd);
}

void ScanHoldServer::release(int index)
{
    answer(index, 'g');
}

void ScanHoldServer::releaseWhenPaused(int index)
{
    answer(index, 'p');
}
