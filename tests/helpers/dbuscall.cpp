// Calls one method of the scanner on the system bus and prints the outcome, for tests that need
// a caller they control: with --wait it connects, prints "ready" and waits for a line on its
// standard input before it calls, so the test can change what the caller looks like meanwhile;
// with --tries N it calls up to N times and stops at the first call that is not refused.
// usage: snx_dbuscall [--wait] [--tries N] METHOD [i:INT | s:TEXT | b:true|false]...
#include "core/names.h"
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    const bool wait = !args.isEmpty() && args.first() == QLatin1String("--wait");
    if (wait)
        args.removeFirst();
    int tries = 1;
    if (args.size() > 1 && args.first() == QLatin1String("--tries")) {
        tries = qMax(1, args.at(1).toInt());
        args = args.mid(2);
    }
    if (args.isEmpty()) {
        std::fprintf(stderr,
                     "usage: snx_dbuscall [--wait] [--tries N] METHOD [i:INT|s:TEXT|b:BOOL]...\n");
        return 2;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        snx::names::busName(), snx::names::objectPath(), snx::names::busName(), args.takeFirst());
    for (const QString &arg : args) {
        const QString value = arg.mid(2);
        if (arg.startsWith(QLatin1String("i:")))
            call << value.toInt();
        else if (arg.startsWith(QLatin1String("b:")))
            call << (value == QLatin1String("true"));
        else
            call << value;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        std::printf("error no bus\n");
        return 1;
    }
    if (wait) {
        std::printf("ready\n");
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
    }
    QDBusMessage reply = bus.call(call);
    for (int i = 1; i < tries && reply.type() == QDBusMessage::ErrorMessage; ++i)
        reply = bus.call(call);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        std::printf("error %s: %s\n", qPrintable(reply.errorName()),
                    reply.errorMessage().toUtf8().constData());
        return 1;
    }
    std::printf("ok\n");
    return 0;
}
