#include "scannerclient.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <unistd.h>

namespace {

const QString serviceName = QStringLiteral("com.velmar.sentinex.scanner");

void printJson(const QJsonObject &object)
{
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

QString absolute(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}

} // namespace

ScannerClient::ScannerClient(bool json, QObject *parent)
    : QObject(parent), scanner(serviceName, QStringLiteral("/com/velmar/sentinex/scanner"),
                               QDBusConnection::systemBus()),
      json(json), terminal(!json && isatty(STDOUT_FILENO))
{
    // Long scans answer slowly while they walk a large tree.
    scanner.setTimeout(10 * 60 * 1000);
}

bool ScannerClient::failed(const QDBusPendingCall &call)
{
    QDBusPendingCall pending = call;
    pending.waitForFinished();
    if (!pending.isError())
        return false;
    const QDBusError error = pending.error();
    // Qt's bus thread wakes us before it has let go of an error reply; a process that exits
    // right away leaks it. The bus thread answers in order, so one round trip waits it out.
    QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")));
    if (json)
        printJson({{"event", "error"}, {"name", error.name()}, {"message", error.message()}});
    else
        std::fprintf(stderr, "velmar-sentinex-cli: %s\n", qPrintable(error.message()));
    return true;
}

bool ScannerClient::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timeoutMs >= 0 && timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    return true;
}

void ScannerClient::printProgress(const QString &path, double process)
{
    const int percent = int(process * 100 + 0.5);
    if (terminal) {
        constexpr int width = 30;
        const int filled = int(process * width + 0.5);
        QString name = path;
        if (name.size() > 40)
            name = QStringLiteral("...") + name.right(37);
        std::printf("\r\033[K[%s%s] %3d%%  %s", QByteArray(filled, '#').constData(),
                    QByteArray(width - filled, '.').constData(), percent, qPrintable(name));
        std::fflush(stdout);
        progressLineOpen = true;
    } else if (!json && percent / 10 != lastPlainStep) {
        lastPlainStep = percent / 10;
        std::printf("progress %d%%\n", percent);
        std::fflush(stdout);
    }
}

void ScannerClient::endProgressLine()
{
    if (progressLineOpen) {
        std::printf("\r\033[K");
        progressLineOpen = false;
    }
}

int ScannerClient::scan(const QStringList &paths)
{
    int scanned = 0;
    QSet<QString> infected;
    bool ended = false;
    bool serviceGone = false;
    QElapsedTimer timer;
    timer.start();

    // The handlers below hold this call's locals: they must not outlive it.
    QObject listening;
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendDissectionProgInfo, &listening,
            [&](const QString &path, double process, int type, const QString &name) {
                ++scanned;
                if (type == 1 && !infected.contains(path)) {
                    infected.insert(path);
                    endProgressLine();
                    if (json)
                        printJson({{"event", "detection"}, {"path", path}, {"name", name}});
                    else
                        std::printf("FOUND %s: %s\n", qPrintable(path), qPrintable(name));
                }
                if (json)
                    printJson({{"event", "progress"}, {"path", path}, {"process", process}});
                else
                    printProgress(path, process);
            });
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendDissectionFinished, &listening,
            [&] { ended = true; });
    QDBusServiceWatcher watcher(serviceName, QDBusConnection::systemBus(),
                                QDBusServiceWatcher::WatchForUnregistration);
    connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, this, [&] { serviceGone = true; });

    QStringList absolutePaths;
    for (const QString &p : paths)
        absolutePaths << absolute(p);
    if (failed(scanner.DoDissection(absolutePaths)))
        return 2;
    waitFor([&] { return ended || serviceGone; }, -1);
    endProgressLine();
    if (serviceGone && !ended) {
        std::fprintf(stderr, "velmar-sentinex-cli: the scanner left the bus during the scan\n");
        return 2;
    }
    const double seconds = timer.elapsed() / 1000.0;
    if (json)
        printJson({{"event", "summary"},
                   {"scanned", scanned},
                   {"infected", infected.size()},
                   {"seconds", seconds}});
    else
        std::printf("Scanned files: %d\nInfected files: %d\nTime: %.2f s\n", scanned,
                    int(infected.size()), seconds);
    return infected.isEmpty() ? 0 : 1;
}

int ScannerClient::setDissectionStatus(int status)
{
    return failed(scanner.SetDissectionStatus(status)) ? 2 : 0;
}

int ScannerClient::shutdown()
{
    return failed(scanner.ExitApp()) ? 2 : 0;
}

int ScannerClient::status()
{
    QDBusPendingReply<int> engine = scanner.GetEngineType();
    QDBusPendingReply<int> dissection = scanner.GetDissectionStatus();
    QDBusPendingReply<int> engineStatus = scanner.GetEngineStatus();
    QDBusPendingReply<int> operations = scanner.GetProblemFileOperatingSum();
    for (const QDBusPendingCall &c : {engine, dissection, engineStatus, operations})
        if (failed(c))
            return 2;
    const QString engineName = engine.value() == 1 ? QStringLiteral("ah") : QStringLiteral("ris");
    if (json)
        printJson({{"engine_type", engine.value()},
                   {"engine", engineName},
                   {"dissection_status", dissection.value()},
                   {"engine_status", engineStatus.value()},
                   {"operating_sum", operations.value()}});
    else
        std::printf(
            "engine: %s (%d)\ndissection status: %d\nengine status: %d\noperating sum: %d\n",
            qPrintable(engineName), engine.value(), dissection.value(), engineStatus.value(),
            operations.value());
    return 0;
}

int ScannerClient::trust(bool flag, const QString &path)
{
    const QString target = absolute(path);
    bool done = false;
    QObject listening; // the handler holds this call's locals
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendTrustProblemFileInfo, &listening,
            [&](bool f, const QString &p) { done = done || (f == flag && p == target); });
    if (failed(scanner.TrustProblemFile(flag, target)))
        return 2;
    if (!waitFor([&] { return done; }, 60000)) {
        std::fprintf(stderr, "velmar-sentinex-cli: no answer from the scanner\n");
        return 2;
    }
    if (json)
        printJson({{"event", flag ? "trusted" : "untrusted"}, {"path", target}});
    else
        std::printf("%s %s\n", flag ? "trusted" : "no longer trusted", qPrintable(target));
    return 0;
}

int ScannerClient::isolate(bool flag, const QString &path)
{
    const QString target = absolute(path);
    bool done = false;
    QObject listening; // the handler holds this call's locals
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendIsolationProblemFileInfo, &listening,
            [&](bool f, const QString &p) { done = done || (f == flag && p == target); });
    if (failed(scanner.IsolationProblemFile(flag, target)))
        return 2;
    // The scanner takes an isolation only for a file its current scan reported, and then lists
    // it at once; anything else it drops without an answer.
    if (flag && !done) {
        bool listed = false;
        for (const auto &row : parseList(fetchList(false)))
            listed = listed || row.first == target;
        if (!listed) {
            std::fprintf(stderr,
                         "velmar-sentinex-cli: not isolated: %s was not reported by the "
                         "current scan\n",
                         qPrintable(target));
            return 2;
        }
    }
    if (!waitFor([&] { return done; }, 10 * 60 * 1000)) {
        std::fprintf(stderr, "velmar-sentinex-cli: no answer from the scanner\n");
        return 2;
    }
    if (json)
        printJson({{"event", flag ? "isolated" : "restored"}, {"path", target}});
    else
        std::printf("%s %s\n", flag ? "isolated" : "restored", qPrintable(target));
    return 0;
}

QString ScannerClient::fetchList(bool trusted)
{
    QString text;
    bool got = false;
    auto take = [&](const QString &t) {
        text = t;
        got = true;
    };
    QObject listening; // the handler holds this call's locals
    if (trusted)
        connect(&scanner, &ComVelmarSentinexScannerInterface::SendTrustProblemFiles, &listening,
                take);
    else
        connect(&scanner, &ComVelmarSentinexScannerInterface::SendIsolationProblemFiles, &listening,
                take);
    const QDBusPendingCall call = trusted ? QDBusPendingCall(scanner.QueryTrustProblemFiles())
                                          : QDBusPendingCall(scanner.QueryIsolationProblemFiles());
    if (!failed(call))
        waitFor([&] { return got; }, 30000);
    return text;
}

QList<QPair<QString, QString>> ScannerClient::parseList(const QString &text)
{
    // Paths may hold "|" and "*"; the time that closes every entry has a fixed form.
    static const QRegularExpression entryEnd(
        QStringLiteral("\\|(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\*"));
    QList<QPair<QString, QString>> rows;
    int from = 0;
    QRegularExpressionMatchIterator it = entryEnd.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        rows.append({text.mid(from, m.capturedStart() - from), m.captured(1)});
        from = m.capturedEnd();
    }
    return rows;
}

int ScannerClient::list(bool trusted)
{
    const auto rows = parseList(fetchList(trusted));
    if (json) {
        QJsonArray array;
        for (const auto &row : rows)
            array.append(QJsonObject{{"path", row.first}, {"time", row.second}});
        std::printf("%s\n", QJsonDocument(array).toJson(QJsonDocument::Compact).constData());
    } else {
        for (const auto &row : rows)
            std::printf("%s  %s\n", qPrintable(row.second), qPrintable(row.first));
    }
    return 0;
}
