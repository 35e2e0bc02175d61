#include "commandline.h"
#include "scannerclient.h"

#include "core/losslessutf8codec.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <cstdio>

namespace {

const char usageText[] =
    "usage: velmar-sentinex-cli [OPTION]... COMMAND [ARGUMENT]...\n"
    "\n"
    "Drives the Velmar Sentinex scanner service on the system bus.\n"
    "\n"
    "commands:\n"
    "  scan PATH...           scan files and directories; shows progress and detections\n"
    "  pause | resume | stop  control the running scan\n"
    "  status                 idle, scanning, paused or stopped, and the engine\n"
    "  shutdown               ask the scanner service to exit\n"
    "  trust PATH             report PATH as clean in later scans\n"
    "  untrust PATH           stop trusting PATH\n"
    "  isolate PATH           move a file the current scan reported into quarantine\n"
    "  restore PATH           copy an isolated file back to PATH\n"
    "  list trusted|isolated  show the trusted or the isolated files\n"
    "\n"
    "options (anywhere on the line; -- ends them):\n"
    "  --json                 one JSON object per line, for scripts\n"
    "  -i, --infected         print only detections (and errors)\n"
    "  --no-summary           no summary at the end of a scan\n"
    "  --quiet                print only errors; the exit status tells the rest\n"
    "  --force                scan even while another scan runs or waits paused\n"
    "  -V, --version          the client's version\n"
    "  -h, --help             this text\n"
    "\n"
    "exit status: 0 every file scanned and nothing found, 1 something found, 2 an error\n"
    "(a missing path, a scan stopped before its end or that scanned no file, a refused call,\n"
    "no service); 130 or 143 when SIGINT or SIGTERM stopped the scan.\n"
    "Commands that steer the scanner are answered only for the suite's programs, this one\n"
    "installed as /usr/bin/velmar-sentinex-cli among them. See velmar-sentinex-cli(1).\n";

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Before the arguments are read: a name that is not UTF-8 becomes the text the service uses
    // for it, and is printed back as its own bytes.
    snx::LosslessUtf8Codec::install();
    const CommandLine line = CommandLine::parse(QCoreApplication::arguments().mid(1));
    if (line.help) {
        std::fputs(usageText, stdout);
        return 0;
    }
    if (line.version) {
        std::printf("velmar-sentinex-cli %s\n", SNX_VERSION);
        return 0;
    }
    if (!line.error.isEmpty()) {
        std::fprintf(stderr, "velmar-sentinex-cli: %s\nTry 'velmar-sentinex-cli --help'.\n",
                     line.error.toLocal8Bit().constData());
        return 2;
    }
    ScannerClient client(line);
    const QString &command = line.command;
    const QStringList &args = line.arguments;
    if (command == QLatin1String("scan"))
        return client.scan(args);
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
    if (command == QLatin1String("trust") || command == QLatin1String("untrust"))
        return client.trust(command == QLatin1String("trust"), args.first());
    if (command == QLatin1String("isolate") || command == QLatin1String("restore"))
        return client.isolate(command == QLatin1String("isolate"), args.first());
    return client.list(args.first() == QLatin1String("trusted"));
}
