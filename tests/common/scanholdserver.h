#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// The test's end of the sandbox's scan hold: the scan loop connects before each chosen file and
// waits until the test lets it go. While it waits, the test knows the scan is mid-run.
class ScanHoldServer
{
public:
    ScanHoldServer() = default;
    ~ScanHoldServer();
    ScanHoldServer(const ScanHoldServer &) = delete;
    ScanHoldServer &operator=(const ScanHoldServer &) = delete;

    bool listen(const QString &socketPath);
    QString path() const { return socketPath; }
    // Waits, while processing events, until the loop is held before the file at `index`.
    bool waitHeld(int index, int timeoutMs = 30000);
    // Lets the loop held at `index` scan its file.
    void release(int index);
    // Lets it scan its file once the service has asked the jobs to pause (a pause, a stop, or
    // the halt before a new scan), so that the file is the last of the run.
    void releaseWhenPaused(int index);

private:
    void acceptWaiting();
    void answer(int index, char command);

    QString socketPath;
    int listener = -1;
    QMap<int, int> held; // index -> connection
};
