#include "app/scanhold.h"

#include <QFile>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace snx {

ScanHold::ScanHold(const QString &socket, const QVector<int> &holdIndexes)
    : socketPath(QFile::encodeName(socket)), indexes(holdIndexes),
      taken(new std::atomic_bool[size_t(holdIndexes.size())]())
{
}

bool ScanHold::take(int index)
{
    for (int i = 0; i < indexes.size(); ++i)
        if (indexes.at(i) == index && !taken[size_t(i)].exchange(true))
            return true;
    return false;
}

void ScanHold::beforeFile(int index, const std::atomic_bool &paused)
{
    if (!take(index))
        return;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (size_t(socketPath.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        const QByteArray line = QByteArray::number(index) + '\n';
        if (::write(fd, line.constData(), size_t(line.size())) == line.size()) {
            char command = 0;
            ssize_t got;
            while ((got = ::read(fd, &command, 1)) < 0 && errno == EINTR) {
            }
            if (got == 1 && command == 'p')
                while (!paused)
                    QThread::msleep(1);
        }
    }
    ::close(fd);
}

} // namespace snx
