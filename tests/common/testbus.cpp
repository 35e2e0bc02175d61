#include "testbus.h"

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
    qputenv(kind == System ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS",
            busAddress.toUtf8());
    return !busAddress.isEmpty();
}
