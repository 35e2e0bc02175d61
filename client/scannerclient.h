#pragma once

#include "scannerinterface.h"

#include <QObject>
#include <QStringList>
#include <cstdio>

// The command-line client's commands, each returning the process exit status:
// 0 done and clean, 1 something was found, 2 an error (the service's text is printed).
class ScannerClient : public QObject
{
    Q_OBJECT
public:
    ScannerClient(bool json, QObject *parent = nullptr);

    int scan(const QStringList &paths);
    int setDissectionStatus(int status);
    int status();
    int shutdown();
    int trust(bool flag, const QString &path);
    int isolate(bool flag, const QString &path);
    int list(bool trusted);

    // Splits the service's list text ("path|time*" per entry) into (path, time) rows.
    static QList<QPair<QString, QString>> parseList(const QString &text);

private:
    bool failed(const QDBusPendingCall &call);
    bool waitFor(const std::function<bool()> &done, int timeoutMs);
    void printProgress(const QString &path, double process);
    void endProgressLine();
    QString fetchList(bool trusted);

    ComVelmarSentinexScannerInterface scanner;
    const bool json;
    const bool terminal;
    bool progressLineOpen = false;
    int lastPlainStep = -1;
};
