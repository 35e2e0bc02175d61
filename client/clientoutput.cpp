#include "clientoutput.h"

#include <QJsonDocument>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

bool terminalControlAllowed()
{
    return isatty(STDOUT_FILENO) && qgetenv("TERM") != "dumb" &&
           !qEnvironmentVariableIsSet("NO_COLOR");
}

void put(FILE *stream, const QString &line)
{
    // The locale codec gives names back their own bytes.
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

ClientOutput::ClientOutput(const CommandLine &line)
    : asJson(line.json), infectedOnly(line.infectedOnly), noSummary(line.noSummary),
      quiet(line.quiet),
      bar(!line.json && !line.quiet && !line.infectedOnly && terminalControlAllowed())
{
}

void ClientOutput::error(const QString &message, const QString &name) const
{
    if (asJson) {
        QJsonObject object{{"event", "error"}, {"message", message}};
        if (!name.isEmpty())
            object["name"] = name;
        event(object);
    } else {
        put(stderr, QStringLiteral("velmar-sentinex-cli: ") + message);
    }
}

void ClientOutput::note(const QString &message) const
{
    if (!asJson && !quiet)
        put(stderr, QStringLiteral("velmar-sentinex-cli: ") + message);
}

void ClientOutput::event(const QJsonObject &object) const
{
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

void ClientOutput::text(const QString &line) const
{
    if (!quiet)
        put(stdout, line);
}

void ClientOutput::detection(const QString &path, const QString &name)
{
    endProgressLine();
    if (asJson)
        event({{"event", "detection"}, {"path", path}, {"name", name}});
    else if (!quiet)
        put(stdout, path + QStringLiteral(": ") + name + QStringLiteral(" FOUND"));
}

void ClientOutput::progress(const QString &path, double process)
{
    if (asJson) {
        if (!infectedOnly && !quiet)
            event({{"event", "progress"}, {"path", path}, {"process", process}});
        return;
    }
    if (quiet || infectedOnly)
        return;
    const int percent = int(std::lround(process * 100));
    if (bar) {
        constexpr int width = 30;
        const int filled = int(std::lround(process * width));
        QString name = path;
        if (name.size() > 40)
            name = QStringLiteral("...") + name.right(37);
        std::printf("\r\033[K[%s%s] %3d%%  %s", QByteArray(filled, '#').constData(),
                    QByteArray(width - filled, '.').constData(), percent,
                    name.toLocal8Bit().constData());
        std::fflush(stdout);
        progressLineOpen = true;
    } else if (percent / 10 != lastPlainStep) {
        lastPlainStep = percent / 10;
        std::printf("progress %d%%\n", percent);
        std::fflush(stdout);
    }
}

void ClientOutput::endProgressLine()
{
    if (progressLineOpen) {
        std::printf("\r\033[K");
        std::fflush(stdout);
        progressLineOpen = false;
    }
}

void ClientOutput::summary(int scanned, int infected, double seconds) const
{
    if (noSummary || quiet)
        return;
    if (asJson) {
        event({{"event", "summary"},
               {"scanned", scanned},
               {"infected", infected},
               {"seconds", seconds}});
        return;
    }
    std::printf("\n----------- SCAN SUMMARY -----------\nScanned files: %d\nInfected files: "
                "%d\nTime: %.2f s\n",
                scanned, infected, seconds);
    std::fflush(stdout);
}
