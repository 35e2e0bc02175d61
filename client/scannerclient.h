#pragma once

#include "clientoutput.h"
#include "commandline.h"
#include "scannerinterface.h"

#include <QDBusServiceWatcher>
#include <QObject>
#include <QStringList>
#include <functional>

// The client's commands, each returning the process exit status as clamdscan does: 0 every
// requested file was scanned and nothing was found, 1 something was found, 2 an error (the
// service's text, or what went wrong, is printed). Every wait runs the event loop and ends when
// the service leaves the bus.
class ScannerClient : public QObject
{
    Q_OBJECT
public:
    explicit ScannerClient(const CommandLine &line, QObject *parent = nullptr);

    int scan(const QStringList &arguments);
    int setDissectionStatus(int status);
    int status();
    int shutdown();
    int trust(bool flag, const QString &path);
    int isolate(bool flag, const QString &path);
    int list(bool trusted);

    // Splits the service's list text ("path|time*" per entry) into (path, time) rows.
    static QList<QPair<QString, QString>> parseList(const QString &text);

signals:
    // Something a wait may be waiting for has happened.
    void stateChanged();

private slots:
    void dissectionAnswered();
    void dissectionRefused(const QDBusError &error);

private:
    // Runs the event loop until `done` holds (true), or the time is up, the service left the
    // bus or, if interruptible, SIGINT or SIGTERM arrived (false).
    bool waitUntil(const std::function<bool()> &done, int timeoutMs = -1,
                   bool interruptible = true);
    // Waits for the reply; false, with the error printed, if there is none or it is an error.
    bool succeeded(const QDBusPendingCall &call);
    void reportError(const QDBusError &error);
    // Whether a scan runs or waits paused, by the engine status callers keep and a short look
    // at the progress signals.
    bool scanActive(int engineStatus, int lookMs);
    bool fetchList(bool trusted, QString *text);
    bool isolationListed(const QString &path, bool *listed);

    ComVelmarSentinexScannerInterface scanner;
    ClientOutput out;
    const bool force;
    QDBusServiceWatcher watcher;
    bool serviceGone = false;
    // The signal that asked the running command to end, 0 while none did.
    int interruptedBy = 0;
    // DoDissection's answer: 0 still awaited, 1 accepted, 2 an error (dissectionError).
    int dissectionAnswer = 0;
    QDBusError dissectionError;
};
