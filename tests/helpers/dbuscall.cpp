// Calls one method of the scanner on the system bus and prints the outcome, for tests that need
// a caller they control: with --wait it connects, prints "ready" and waits for a line on its
// standard input before it calls, so the test can change what the caller looks like meanwhile;
// with --tries N it calls up to N times and stops at the first call that is not refused; with
// --each N it makes N calls, "%n" in their text replaced by 0 to N-1, and stops at the first
// refusal. l:N:TEXT is a list of N paths, each TEXT.
// usage: snx_dbuscall [--wait] [--tries N | --each N] METHOD [i:INT | s:TEXT | b:true|false |
//                     l:N:TEXT]...
#include "core/names.h"
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

// Call number `n` of METHOD with the arguments of the command line.
QDBusMessage callOf(const QString &method, const QStringList &args, int n)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        snx::names::busName(), snx::names::objectPath(), snx::names::busName(), method);
    for (const QString &arg : args) {
        QString value = arg.mid(2);
        if (arg.startsWith(QLatin1String("i:"))) {
            call << value.toInt();
        } else if (arg.startsWith(QLatin1String("b:"))) {
            call << (value == QLatin1String("true"));
        } else if (arg.startsWith(QLatin1String("l:"))) {
            const int count = value.section(QLatin1Char(':'), 0, 0).toInt();
            const QString text = value.section(QLatin1Char(':'), 1);
            QStringList list;
            list.reserve(count);
            for (int i = 0; i < count; ++i)
                list.append(text);
            call << list;
        } else {
            call << value.replace(QLatin1String("%n"), QString::number(n));
        }
    }
    return call;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    const bool wait = !args.isEmpty() && args.first() == QLatin1String("--wait");
    if (wait)
        args.removeFirst();
    int tries = 1;
    int each = 1;
    if (args.size() > 1 && args.first() == QLatin1String("--tries")) {
        tries = qMax(1, args.at(1).toInt());
        args = args.mid(2);
    } else if (args.size() > 1 && args.first() == QLatin1String("--each")) {
        each = qMax(1, args.at(1).toInt());
        args = args.mid(2);
    }
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: snx_dbuscall [--wait] [--tries N|--each N] METHOD "
                             "[i:INT|s:TEXT|b:BOOL|l:N:TEXT]...\n");
        return 2;
    }
    const QString method = args.takeFirst();
    auto callNumber = [&](int n) { return callOf(method, args, n); };
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
    QDBusMessage reply = bus.call(callNumber(0));
    for (int i = 1; i < tries && reply.type() == QDBusMessage::ErrorMessage; ++i)
        reply = bus.call(callNumber(0));
    for (int n = 1; n < each && reply.type() != QDBusMessage::ErrorMessage; ++n)
        reply = bus.call(callNumber(n));
    if (reply.type() == QDBusMessage::ErrorMessage) {
        std::printf("error %s: %s\n", qPrintable(reply.errorName()),
                    reply.errorMessage().toUtf8().constData());
        return 1;
    }
    std::printf("ok\n");
    return 0;
}
