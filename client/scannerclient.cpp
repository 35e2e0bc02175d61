#include "scannerclient.h"

#include "refusal.h"

#include "app/unixsignalnotifier.h"
#include "core/names.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString serviceName = snx::names::busName();
// Long enough to see the progress of a running scan, short enough not to be noticed.
constexpr int lookForScanMs = 300;
// How long a stop may take: the scan loop ends after the file in progress.
constexpr int stopWaitMs = 60 * 1000;

QString absolute(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}

QString statusWord(bool active, int engineStatus, int dissectionStatus)
{
    if (active)
        return engineStatus != 0 && dissectionStatus == 0 ? QStringLiteral("paused")
                                                          : QStringLiteral("scanning");
    return dissectionStatus == 2 ? QStringLiteral("stopped") : QStringLiteral("idle");
}

} // namespace

ScannerClient::ScannerClient(const CommandLine &line, QObject *parent)
    : QObject(parent), scanner(serviceName, snx::names::objectPath(), QDBusConnection::systemBus()),
      out(line), force(line.force), watcher(serviceName, QDBusConnection::systemBus(),
                                            QDBusServiceWatcher::WatchForUnregistration)
{
    // Long scans answer slowly while they walk a large tree.
    scanner.setTimeout(10 * 60 * 1000);
    connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        serviceGone = true;
        emit stateChanged();
    });
}

bool ScannerClient::waitUntil(const std::function<bool()> &done, int timeoutMs, bool interruptible)
{
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto over = [&] { return done() || serviceGone || (interruptible && interruptedBy != 0); };
    connect(this, &ScannerClient::stateChanged, &loop, [&] {
        if (over())
            loop.quit();
    });
    if (!over()) {
        if (timeoutMs >= 0)
            timer.start(timeoutMs);
        loop.exec();
    }
    return done();
}

bool ScannerClient::succeeded(const QDBusPendingCall &call)
{
    QDBusPendingCallWatcher callWatcher(call);
    connect(&callWatcher, &QDBusPendingCallWatcher::finished, this, &ScannerClient::stateChanged);
    // A signal does not cut a call short: its effect (a scan started) must be known first.
    waitUntil([&] { return callWatcher.isFinished(); }, -1, false);
    if (!callWatcher.isFinished()) {
        // The service left the bus before it answered.
        out.error(QStringLiteral("the scanner service left the bus before it answered"));
        return false;
    }
    if (!callWatcher.isError())
        return true;
    reportError(callWatcher.error());
    return false;
}

void ScannerClient::reportError(const QDBusError &error)
{
    // Qt's bus thread wakes us before it has let go of an error reply, and a client that exits
    // at once leaks it. That thread handles replies in order, so the answer to one more call
    // waits it out. The call goes to the bus daemon's own interface, which every bus policy
    // allows, and tells whether the service is there at all.
    const QDBusReply<bool> present =
        QDBusConnection::systemBus().interface()->isServiceRegistered(serviceName);
    if (!QDBusConnection::systemBus().isConnected()) {
        out.error(QStringLiteral("cannot reach the D-Bus system bus: ") + error.message(),
                  error.name());
        return;
    }
    if (error.type() == QDBusError::ServiceUnknown || (present.isValid() && !present.value())) {
        out.error(QStringLiteral("the scanner service is not running (%1 is not on the system "
                                 "bus): %2")
                      .arg(serviceName, error.message()),
                  error.name());
        return;
    }
    const QJsonObject refusal = refusalDetail(error);
    if (out.json()) {
        QJsonObject object{
            {"event", "error"}, {"name", error.name()}, {"message", error.message()}};
        if (!refusal.isEmpty())
            object["refused"] = refusal;
        out.event(object);
        return;
    }
    out.error(error.message());
    if (!refusal.isEmpty())
        out.error(QStringLiteral("refused: user %1 (uid %2) running %3: %4")
                      .arg(refusal["user"].toString())
                      .arg(refusal["uid"].toInt())
                      .arg(refusal["program"].toString(), refusal["reason"].toString()));
    const QString text = error.name() + QLatin1Char(' ') + error.message();
    if (text.contains(QLatin1String("busy"), Qt::CaseInsensitive))
        out.error(QStringLiteral("another user's scan is running; try again when it has ended"));
}

bool ScannerClient::scanActive(int engineStatus, int lookMs)
{
    bool progress = false;
    QObject listening; // the handler holds this call's locals
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendDissectionProgInfo, &listening, [&] {
        progress = true;
        emit stateChanged();
    });
    waitUntil([&] { return progress; }, lookMs);
    return progress || engineStatus != 0;
}

namespace {

// The arguments as absolute paths, less those told as missing or of the wrong kind.
QStringList scannablePaths(const QStringList &arguments, ClientOutput &out, bool &failed)
{
    QStringList paths;
    for (const QString &argument : arguments) {
        const QString path = absolute(argument);
        // Only what surely is not there counts as missing: a path the client may not look at
        // can still be one the service reads.
        struct stat st;
        const bool found = ::stat(QFile::encodeName(path).constData(), &st) == 0;
        const int error = found ? 0 : errno;
        if (error == ENOENT || error == ENOTDIR || error == ELOOP) {
            out.error(path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error)));
            failed = true;
        } else if (found && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            out.error(path + QStringLiteral(": not a regular file or directory"));
            failed = true;
        } else {
            paths << path;
        }
    }
    return paths;
}

} // namespace

// One run told in order: its handlers share this call's locals, so it stays one function.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
int ScannerClient::scan(const QStringList &arguments)
{
    bool failed = false;
    const QStringList paths = scannablePaths(arguments, out, failed);
    if (paths.isEmpty())
        return 2;

    snx::UnixSignalNotifier interrupts({SIGINT, SIGTERM});
    connect(&interrupts, &snx::UnixSignalNotifier::received, this, [this](int signalNumber) {
        if (interruptedBy != 0)
            ::_exit(128 + interruptedBy); // asked twice: do not wait for the stop
        interruptedBy = signalNumber;
        emit stateChanged();
    });

    QDBusPendingReply<int> engineStatus = scanner.GetEngineStatus();
    if (!succeeded(engineStatus))
        return 2;
    if (!force && scanActive(engineStatus.value(), lookForScanMs)) {
        out.error(QStringLiteral("another scan is running or paused; its results would mix with "
                                 "this one's. Wait for it, end it with 'velmar-sentinex-cli "
                                 "stop', or scan anyway with --force"));
        return 2;
    }
    if (interruptedBy != 0)
        return 128 + interruptedBy;

    int scanned = 0;
    double reached = 0;
    QSet<QString> infected;
    bool ended = false;
    auto started = [this] { return dissectionAnswer == 1; };
    QElapsedTimer timer;
    timer.start();
    QObject listening; // the handlers hold this call's locals
    // Whatever arrives before the reply to DoDissection belongs to a run it replaced.
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendDissectionProgInfo, &listening,
            [&](const QString &path, double process, int type, const QString &name) {
                if (!started())
                    return;
                ++scanned;
                reached = std::max(reached, process);
                if (type == 1 && !infected.contains(path)) {
                    infected.insert(path);
                    out.detection(path, name);
                }
                out.progress(path, process);
            });
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendDissectionFinished, &listening, [&] {
        ended = ended || started();
        emit stateChanged();
    });
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendPauseDissectionFinished, &listening,
            [&] {
                if (!started())
                    return;
                out.endProgressLine();
                out.note(QStringLiteral("the scan was paused by another client; waiting for it "
                                        "to be resumed"));
            });

    // Callers keep the engine status; other clients read it to see that a scan runs. The
    // service sets it back to 0 when the scan ends. Not every caller may set it.
    // A refusal here is told by DoDissection's, which follows.
    QDBusPendingCallWatcher mark(scanner.SetEngineStatus(1));
    connect(&mark, &QDBusPendingCallWatcher::finished, this, &ScannerClient::stateChanged);
    waitUntil([&] { return mark.isFinished(); }, -1, false);
    const bool markedBusy = mark.isFinished() && !mark.isError();
    // The answer is taken by a callback registered before the call goes out, so that it is
    // handled in its place among the signals: what comes before it belongs to a run it
    // replaced, what follows to this one. (A watcher made after the call may see the answer
    // only after the results that followed it.)
    QDBusMessage call = QDBusMessage::createMethodCall(
        scanner.service(), scanner.path(), scanner.interface(), QStringLiteral("DoDissection"));
    call << paths;
    dissectionAnswer = 0;
    scanner.connection().callWithCallback(call, this, SLOT(dissectionAnswered()),
                                          SLOT(dissectionRefused(QDBusError)), scanner.timeout());
    waitUntil([&] { return dissectionAnswer != 0; }, -1, false);
    if (dissectionAnswer != 1) {
        if (dissectionAnswer == 2)
            reportError(dissectionError);
        else
            out.error(QStringLiteral("the scanner service left the bus before it answered"));
        if (markedBusy && dissectionAnswer == 2)
            scanner.SetEngineStatus(0).waitForFinished();
        return 2;
    }
    waitUntil([&] { return ended; });
    if (interruptedBy != 0 && !ended && !serviceGone) {
        out.endProgressLine();
        out.note(QStringLiteral("stopping the scan"));
        const int signalNumber = interruptedBy;
        interruptedBy = 0;
        if (succeeded(scanner.SetDissectionStatus(2)))
            waitUntil([&] { return ended; }, stopWaitMs);
        return 128 + signalNumber;
    }
    out.endProgressLine();
    if (!ended) {
        out.error(QStringLiteral("the scanner service left the bus during the scan"));
        return 2;
    }
    out.summary(scanned, infected.size(), double(timer.elapsed()) / 1000.0);
    if (scanned == 0) {
        out.error(QStringLiteral(
            "no file was scanned. That happens when the engine has no signatures loaded, when "
            "every file is above the size limit, on the white list or under a system directory "
            "(/bin, /sbin, /lib*, /proc, /sys, /data); the service's log says more"));
        return 2;
    }
    // A run that reached its last file reports a progress within 1e-8 of 1.
    if (reached < 1 - 1e-8) {
        out.error(QStringLiteral("the scan was stopped before its end (by another client, or "
                                 "by a new scan); not every file was scanned"));
        return 2;
    }
    if (failed)
        return 2;
    return infected.isEmpty() ? 0 : 1;
}

void ScannerClient::dissectionAnswered()
{
    dissectionAnswer = 1;
    emit stateChanged();
}

void ScannerClient::dissectionRefused(const QDBusError &error)
{
    dissectionError = error;
    dissectionAnswer = 2;
    emit stateChanged();
}

int ScannerClient::setDissectionStatus(int status)
{
    return succeeded(scanner.SetDissectionStatus(status)) ? 0 : 2;
}

int ScannerClient::shutdown()
{
    return succeeded(scanner.ExitApp()) ? 0 : 2;
}

int ScannerClient::status()
{
    QDBusPendingReply<int> engine = scanner.GetEngineType();
    QDBusPendingReply<int> dissection = scanner.GetDissectionStatus();
    QDBusPendingReply<int> engineStatus = scanner.GetEngineStatus();
    QDBusPendingReply<int> operations = scanner.GetProblemFileOperatingSum();
    for (const QDBusPendingCall &c : {engine, dissection, engineStatus, operations})
        if (!succeeded(c))
            return 2;
    // The service keeps no scan state a caller can read: the stored values and a short look at
    // the progress signals are what there is.
    const QString word = statusWord(scanActive(engineStatus.value(), lookForScanMs),
                                    engineStatus.value(), dissection.value());
    const QString engineName = engine.value() == 1 ? QStringLiteral("ah") : QStringLiteral("ris");
    if (out.json()) {
        out.event({{"status", word},
                   {"engine_type", engine.value()},
                   {"engine", engineName},
                   {"dissection_status", dissection.value()},
                   {"engine_status", engineStatus.value()},
                   {"operating_sum", operations.value()}});
        return 0;
    }
    out.text(QStringLiteral("status: %1\nengine: %2 (%3)\ndissection status: %4\nengine status: "
                            "%5\noperating sum: %6")
                 .arg(word, engineName)
                 .arg(engine.value())
                 .arg(dissection.value())
                 .arg(engineStatus.value())
                 .arg(operations.value()));
    return 0;
}

int ScannerClient::trust(bool flag, const QString &path)
{
    const QString target = absolute(path);
    bool done = false;
    QObject listening; // the handler holds this call's locals
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendTrustProblemFileInfo, &listening,
            [&](bool f, const QString &p) {
                done = done || (f == flag && p == target);
                emit stateChanged();
            });
    if (!succeeded(scanner.TrustProblemFile(flag, target)))
        return 2;
    if (!waitUntil([&] { return done; }, 60000)) {
        out.error(serviceGone ? QStringLiteral("the scanner service left the bus")
                              : QStringLiteral("no answer from the scanner service"));
        return 2;
    }
    if (out.json())
        out.event({{"event", flag ? "trusted" : "untrusted"}, {"path", target}});
    else
        out.text((flag ? QStringLiteral("trusted ") : QStringLiteral("no longer trusted ")) +
                 target);
    return 0;
}

bool ScannerClient::isolationListed(const QString &path, bool *listed)
{
    QString text;
    if (!fetchList(false, &text))
        return false;
    *listed = false;
    for (const auto &row : parseList(text))
        *listed = *listed || row.first == path;
    return true;
}

int ScannerClient::isolate(bool flag, const QString &path)
{
    const QString target = absolute(path);
    bool done = false;
    QObject listening; // the handler holds this call's locals
    connect(&scanner, &ComVelmarSentinexScannerInterface::SendIsolationProblemFileInfo, &listening,
            [&](bool f, const QString &p) {
                done = done || (f == flag && p == target);
                emit stateChanged();
            });
    if (!succeeded(scanner.IsolationProblemFile(flag, target)))
        return 2;
    bool listed = false;
    if (!isolationListed(target, &listed))
        return 2;
    // A service that drops an isolation request silently (a file its current scan did not
    // report) never answers it: when the list does not show the file, the answer gets a while.
    const int answerWaitMs = flag && !listed && !done ? 10 * 1000 : -1;
    if (!waitUntil([&] { return done; }, answerWaitMs)) {
        if (serviceGone)
            out.error(QStringLiteral("the scanner service left the bus"));
        else
            out.error(QStringLiteral("not isolated: %1 was not reported by the current scan")
                          .arg(target));
        return 2;
    }
    // The completion signal carries no outcome; the list after it does.
    if (!isolationListed(target, &listed))
        return 2;
    // Where the client may not look, the list alone decides.
    struct stat st;
    const bool atPath = ::lstat(QFile::encodeName(target).constData(), &st) == 0;
    const bool gone = !atPath && (errno == ENOENT || errno == ENOTDIR);
    if (flag && (!listed || atPath)) {
        out.error(QStringLiteral("not isolated: %1 %2; the service's log says why")
                      .arg(target, listed ? QStringLiteral("is still at its path")
                                          : QStringLiteral("is not in the isolation list")));
        return 2;
    }
    if (!flag && (listed || gone)) {
        out.error(QStringLiteral("not restored: %1 %2; something may stand at the path, its "
                                 "directory may be gone, or the quarantine copy may be missing "
                                 "(the service's log says which)")
                      .arg(target, listed ? QStringLiteral("is still isolated")
                                          : QStringLiteral("is not at its path")));
        return 2;
    }
    if (out.json())
        out.event({{"event", flag ? "isolated" : "restored"}, {"path", target}});
    else
        out.text((flag ? QStringLiteral("isolated ") : QStringLiteral("restored ")) + target);
    return 0;
}

bool ScannerClient::fetchList(bool trusted, QString *text)
{
    bool got = false;
    text->clear();
    // A long list comes in several signals, which together are the whole text.
    auto take = [&](const QString &t) {
        text->append(t);
        got = true;
        emit stateChanged();
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
    if (!succeeded(call))
        return false;
    // The list's signals were sent before the reply, so by now every piece is queued here.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
    if (!waitUntil([&] { return got; }, 30000, false)) {
        out.error(QStringLiteral("the scanner service sent no list"));
        return false;
    }
    return true;
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
    QString text;
    if (!fetchList(trusted, &text))
        return 2;
    const auto rows = parseList(text);
    if (out.json()) {
        QJsonArray array;
        for (const auto &row : rows)
            array.append(QJsonObject{{"path", row.first}, {"time", row.second}});
        std::printf("%s\n", QJsonDocument(array).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    } else {
        for (const auto &row : rows)
            out.text(row.second + QStringLiteral("  ") + row.first);
    }
    return 0;
}
