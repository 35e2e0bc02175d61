#include "testbus.h"

#include <QFile>

TestBus::~TestBus()
{
    if (daemon.state() != QProcess::NotRunning) {
        daemon.terminate();
        daemon.waitForFinished(5000);
    }
}

bool TestBus::start()
{
    daemon.setProgram(QStringLiteral("dbus-daemon"));
    daemon.setArguments({QStringLiteral("--config-file=" SNX_TEST_DATA_DIR "/test-bus.conf"),
                         QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon.start();
    if (!daemon.waitForStarted(5000))
        return false;
    while (!daemon.canReadLine())
        if (!daemon.waitForReadyRead(5000))
            return false;
    busAddress = QString::fromUtf8(daemon.readLine()).trimmed();
    // Tests call as unprivileged users too; the real system bus's socket is open to all.
    const QString socket = busAddress.section(QLatin1Char(','), 0, 0);
    if (socket.startsWith(QLatin1String("unix:path=")))
        QFile::setPermissions(socket.mid(10), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                  QFileDevice::ReadOther | QFileDevice::WriteOther);
    qputenv(kind == System ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS",
            busAddress.toUtf8());
    return !busAddress.isEmpty();
}
