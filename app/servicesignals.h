#pragma once

#include <QObject>

namespace snx {

class UnixSignalNotifier;

// What the service does on the signals an init system and logrotate send. SIGHUP reopens the log
// file (after a rename-style rotation the service would otherwise write on into the renamed file)
// and asks for changed signatures to be loaded; SIGTERM and SIGINT end the event loop, so that
// the process ends exactly as after ExitApp, its engines and their temporary files released.
class ServiceSignals : public QObject
{
    Q_OBJECT
public:
    explicit ServiceSignals(QObject *parent = nullptr);

signals:
    // SIGHUP: load changed signatures before the next scan.
    void reloadRequested();

private:
    void handle(int signalNumber);

    UnixSignalNotifier *notifier;
};

} // namespace snx
