#pragma once

#include <QString>
#include <QStringList>

// The client's command line: options may stand anywhere, "--" ends them. Arguments arrive
// already decoded with the service's name encoding, so a name that is not UTF-8 keeps its bytes.
struct CommandLine
{
    bool json = false;
    bool infectedOnly = false;
    bool noSummary = false;
    bool quiet = false;
    bool force = false;
    bool help = false;
    bool version = false;
    QString command;
    QStringList arguments;
    // Set when the line cannot be used; says what is wrong.
    QString error;

    static CommandLine parse(const QStringList &args);
};
