#include "commandline.h"

namespace {

const QStringList commands = {"scan",  "pause",   "resume",  "stop",    "status", "shutdown",
                              "trust", "untrust", "isolate", "restore", "list"};

// How many arguments each command takes: {least, most}; -1 for no upper bound.
QPair<int, int> arity(const QString &command)
{
    if (command == QLatin1String("scan"))
        return {1, -1};
    if (command == QLatin1String("trust") || command == QLatin1String("untrust") ||
        command == QLatin1String("isolate") || command == QLatin1String("restore") ||
        command == QLatin1String("list"))
        return {1, 1};
    return {0, 0};
}

} // namespace

// One pass over the arguments, as getopt reads them; each branch is one option's rule.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
CommandLine CommandLine::parse(const QStringList &args)
{
    CommandLine line;
    bool optionsEnded = false;
    QStringList words;
    for (const QString &arg : args) {
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            words << arg;
        } else if (arg == QLatin1String("--")) {
            optionsEnded = true;
        } else if (arg == QLatin1String("--json")) {
            line.json = true;
        } else if (arg == QLatin1String("-i") || arg == QLatin1String("--infected")) {
            line.infectedOnly = true;
        } else if (arg == QLatin1String("--no-summary")) {
            line.noSummary = true;
        } else if (arg == QLatin1String("--quiet")) {
            line.quiet = true;
        } else if (arg == QLatin1String("--force")) {
            line.force = true;
        } else if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            line.help = true;
        } else if (arg == QLatin1String("-V") || arg == QLatin1String("--version")) {
            line.version = true;
        } else {
            line.error = QStringLiteral("unknown option '%1'").arg(arg);
            return line;
        }
    }
    if (line.help || line.version)
        return line;
    if (words.isEmpty()) {
        line.error = QStringLiteral("no command given");
        return line;
    }
    line.command = words.takeFirst();
    line.arguments = words;
    if (!commands.contains(line.command)) {
        line.error = QStringLiteral("unknown command '%1'").arg(line.command);
        return line;
    }
    const auto [least, most] = arity(line.command);
    if (words.size() < least || (most >= 0 && words.size() > most)) {
        line.error = most == 0 ? QStringLiteral("'%1' takes no arguments").arg(line.command)
                     : most == 1
                         ? QStringLiteral("'%1' takes exactly one argument").arg(line.command)
                         : QStringLiteral("'%1' needs at least one PATH").arg(line.command);
        return line;
    }
    if (line.command == QLatin1String("list") && words.first() != QLatin1String("trusted") &&
        words.first() != QLatin1String("isolated")) {
        line.error =
            QStringLiteral("'list' takes 'trusted' or 'isolated', not '%1'").arg(words.first());
        return line;
    }
    // clamdscan reads standard input for "-"; this service scans only named files.
    if (line.command == QLatin1String("scan") && words.contains(QLatin1String("-"))) {
        line.error = QStringLiteral("scanning standard input ('-') is not supported; name a "
                                    "file called '-' as './-'");
        return line;
    }
    return line;
}
