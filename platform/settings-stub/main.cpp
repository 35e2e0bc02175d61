// Stands in for the suite's settings daemon on the bus that DBUS_SYSTEM_BUS_ADDRESS names.
// Not installed.
#include "settingsstub.h"

#include "core/names.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <cstdio>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: velmar-sentinex-settings-stub [--scan-size N] [--engine-type N]\n"
                         "         [--white-list PATH...] [--reply-delay-ms N] [--wrong-types]\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SettingsStub::Options options;
    QStringList args = QCoreApplication::arguments().mid(1);
    while (!args.isEmpty()) {
        const QString option = args.takeFirst();
        bool ok = true;
        if (option == QLatin1String("--scan-size") && !args.isEmpty())
            options.values[snx::names::scanSizeKey()] = args.takeFirst().toInt(&ok);
        else if (option == QLatin1String("--engine-type") && !args.isEmpty())
            options.values[snx::names::engineTypeKey()] = args.takeFirst().toInt(&ok);
        else if (option == QLatin1String("--reply-delay-ms") && !args.isEmpty())
            options.replyDelayMs = args.takeFirst().toInt(&ok);
        else if (option == QLatin1String("--wrong-types"))
            options.wrongTypes = true;
        else if (option == QLatin1String("--white-list"))
            while (!args.isEmpty() && !args.first().startsWith(QLatin1String("--")))
                options.whiteList.append(args.takeFirst());
        else
            return usage();
        if (!ok)
            return usage();
    }

    SettingsStub stub(options);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject(snx::names::settingsPath(), &stub,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) ||
        !bus.registerService(snx::names::settingsService())) {
        std::fprintf(stderr, "settings stub: cannot take its name on the bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}
