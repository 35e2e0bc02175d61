#pragma once

#include "commandline.h"

#include <QJsonObject>
#include <QString>

// Everything the client prints. Names are printed as the bytes they are (the locale codec is the
// service's name encoding); JSON carries them as the service does on the bus. Terminal control
// sequences only on a terminal, and not with TERM=dumb or NO_COLOR.
class ClientOutput
{
public:
    explicit ClientOutput(const CommandLine &line);

    bool json() const { return asJson; }
    // An error on stderr, or an "error" event in JSON; never silenced.
    void error(const QString &message, const QString &name = QString()) const;
    // A note about the run on stderr (not in JSON, not with --quiet).
    void note(const QString &message) const;
    void event(const QJsonObject &object) const;
    void text(const QString &line) const;

    void detection(const QString &path, const QString &name);
    void progress(const QString &path, double process);
    void summary(int scanned, int infected, double seconds) const;
    // Ends an open progress bar line before anything else is printed.
    void endProgressLine();

private:
    const bool asJson;
    const bool infectedOnly;
    const bool noSummary;
    const bool quiet;
    const bool bar;
    bool progressLineOpen = false;
    int lastPlainStep = -1;
};
