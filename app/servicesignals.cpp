#include "app/servicesignals.h"

#include "app/unixsignalnotifier.h"
#include "core/logging.h"

#include <QCoreApplication>
#include <QDebug>
#include <csignal>

namespace snx {

ServiceSignals::ServiceSignals(QObject *parent)
    : QObject(parent), notifier(new UnixSignalNotifier({SIGHUP, SIGTERM, SIGINT}, this))
{
    connect(notifier, &UnixSignalNotifier::received, this, &ServiceSignals::handle);
    if (!notifier->isValid())
        qWarning() << "signal pipe not made: SIGHUP and SIGTERM keep their default actions";
}

void ServiceSignals::handle(int signalNumber)
{
    if (signalNumber == SIGHUP) {
        LogBackend::reopenLogFile();
        qInfo() << "SIGHUP: log file reopened, signature reload requested";
        emit reloadRequested();
        return;
    }
    qInfo() << (signalNumber == SIGTERM ? "SIGTERM" : "SIGINT") << "received: shutting down";
    QCoreApplication::quit();
}

} // namespace snx
