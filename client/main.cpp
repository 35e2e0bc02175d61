#include "scannerclient.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

namespace {

const char usageText[] =
    "usage: velmar-sentinex-cli [--json] COMMAND [ARGUMENTS]\n"
    "\n"
    "Drives the Velmar Sentinex scanner service on the system bus.\n"
    "\n"
    "commands:\n"
    "  scan PATH...           scan files and directories; shows progress and detections\n"
    "  pause | resume | stop  control the running scan\n"
    "  status                 engine and status values\n"
    "  shutdown               ask the scanner service to exit\n"
    "  trust PATH             report PATH as clean in later scans\n"
    "  untrust PATH           stop trusting PATH\n"
    "  isolate PATH           move a file the current scan reported into quarantine\n"
    "  restore PATH           copy an isolated file back to PATH\n"
    "  list trusted|isolated  show the trusted or the isolated files\n"
    "\n"
    "options:\n"
    "  --json                 one JSON object per line, for scripts\n"
    "  --help                 this text\n"
    "\n"
    "exit status: 0 done and nothing found, 1 a scan found something, 2 an error.\n"
    "Commands that steer the scanner are answered only for the suite's own programs.\n";

int usage(int status)
{
    std::fputs(usageText, status == 0 ? stdout : stderr);
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    bool json = false;
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h")))
        return usage(0);
    if (!args.isEmpty() && args.first() == QLatin1String("--json")) {
        json = true;
        args.removeFirst();
    }
    if (args.isEmpty())
        return usage(2);
    const QString command = args.takeFirst();
    ScannerClient client(json);
    if (command == QLatin1String("scan") && !args.isEmpty())
        return client.scan(args);
    if (args.isEmpty()) {
        if (command == QLatin1String("pause"))
            return client.setDissectionStatus(0);
        if (command == QLatin1String("resume"))
            return client.setDissectionStatus(1);
        if (command == QLatin1String("stop"))
            return client.setDissectionStatus(2);
        if (command == QLatin1String("status"))
            return client.status();
        if (command == QLatin1String("shutdown"))
            return client.shutdown();
    }
    if (args.size() == 1) {
        const QString arg = args.first();
        if (command == QLatin1String("trust") || command == QLatin1String("untrust"))
            return client.trust(command == QLatin1String("trust"), arg);
        if (command == QLatin1String("isolate") || command == QLatin1String("restore"))
            return client.isolate(command == QLatin1String("isolate"), arg);
        if (command == QLatin1String("list") &&
            (arg == QLatin1String("trusted") || arg == QLatin1String("isolated")))
            return client.list(arg == QLatin1String("trusted"));
    }
    return usage(2);
}
