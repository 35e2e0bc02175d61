#pragma once

#include "scanholdserver.h"
#include "scannerinterface.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

// The real service binary, run in its sandbox under a temporary root on the test bus, with the
// settings stand-in beside it. The test program itself is an allowed caller.
class SandboxService
{
public:
    struct Options
    {
        bool withSettingsStub = true;
        QStringList settingsArgs;
        bool allowTestProgram = true;
        QStringList allowedCallers;
        bool installSignatures = true;
        // Runs the service through this command, e.g. {"prlimit", "--nofile=32:32", "--"}.
        QStringList launcher;
        // Bytes a user other than root may have copied into the quarantine; -1 the default.
        qint64 userQuarantineQuota = -1;
        // Indexes of files before which the scan loop waits until the test lets it go (hold()).
        QVector<int> holdAt;
    };

    SandboxService();
    ~SandboxService();

    bool start(const Options &options);
    bool start() { return start(Options()); }
    // Starts the service again on the same root, as after a reboot.
    bool restart(const Options &options);
    // ExitApp through the bus; waits for the process to end and returns its exit code.
    int exitApp();
    void kill();

    QString root() const { return rootDir.path(); }
    QString path(const QString &productionPath) const { return root() + productionPath; }
    QString logText() const;
    QString settingsOutput();
    ComVelmarSentinexScannerInterface &scanner() { return *proxy; }
    QProcess &process() { return service; }
    ScanHoldServer &hold() { return holdServer; }

    static QString binary(const QString &name);
    static QString signaturesDir();

private:
    bool startService(const Options &options);

    QTemporaryDir rootDir;
    QProcess stub;
    QProcess service;
    QByteArray stubOutput;
    ScanHoldServer holdServer;
    std::unique_ptr<ComVelmarSentinexScannerInterface> proxy;
};

// Waits, while processing events, until the condition holds or the time is up.
bool waitFor(const std::function<bool()> &condition, int timeoutMs = 20000);
