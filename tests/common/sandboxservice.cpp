#include "sandboxservice.h"
#include "core/names.h"

#include "signallog.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>

namespace {
const QString serviceName = snx::names::busName();
const QString stubName = snx::names::settingsService();

bool nameOnBus(const QString &name)
{
    return QDBusConnection::systemBus().interface()->isServiceRegistered(name).value();
}
} // namespace

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

SandboxService::SandboxService() = default;

SandboxService::~SandboxService()
{
    kill();
}

QString SandboxService::binary(const QString &name)
{
    return QStringLiteral(SNX_BIN_DIR "/") + name;
}

QString SandboxService::signaturesDir()
{
    return QStringLiteral(SNX_SOURCE_DIR "/signatures");
}

bool SandboxService::start(const Options &options)
{
    if (options.withSettingsStub) {
        stub.setProgram(binary(QStringLiteral("velmar-sentinex-settings-stub")));
        stub.setArguments(options.settingsArgs);
        stub.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        stub.start();
        if (!stub.waitForStarted(5000) || !waitFor([] { return nameOnBus(stubName); }, 10000))
            return false;
    }
    if (options.installSignatures) {
        QDir().mkpath(path(snx::names::ahEngineDir()));
        QDir().mkpath(path(snx::names::risEngineDir()));
        QFile::copy(signaturesDir() + QStringLiteral("/starter.ndb"),
                    path(snx::names::ahEngineDir() + QStringLiteral("/starter.ndb")));
        QFile::copy(signaturesDir() + QStringLiteral("/malware.yar"),
                    path(snx::names::risRuleFile()));
    }
    return startService(options);
}

bool SandboxService::startService(const Options &options)
{
    QStringList args{root()};
    QStringList allowed = options.allowedCallers;
    if (options.allowTestProgram)
        allowed.append(QCoreApplication::applicationFilePath());
    for (const QString &exe : allowed)
        args << QStringLiteral("--allow-caller") << exe;
    if (options.userQuarantineQuota >= 0)
        args << QStringLiteral("--user-quarantine-quota")
             << QString::number(options.userQuarantineQuota);
    if (!options.holdAt.isEmpty()) {
        if (holdServer.path().isEmpty() && !holdServer.listen(path(QStringLiteral("/scan-hold"))))
            return false;
        args << QStringLiteral("--hold-socket") << holdServer.path();
        for (const int index : options.holdAt)
            args << QStringLiteral("--hold-at") << QString::number(index);
    }
    // The trusted list goes out once, as the last step of start-up: the service is ready then.
    SignalLog startupSignals;
    if (options.launcher.isEmpty()) {
        service.setProgram(binary(QStringLiteral("velmar-sentinex-sandbox")));
        service.setArguments(args);
    } else {
        service.setProgram(options.launcher.first());
        service.setArguments(options.launcher.mid(1) +
                             QStringList{binary(QStringLiteral("velmar-sentinex-sandbox"))} + args);
    }
    service.setProcessChannelMode(QProcess::ForwardedChannels);
    service.start();
    if (!service.waitForStarted(5000))
        return false;
    // Generous: a large scan cache under a sanitizer on a loaded machine takes a while to load.
    if (!waitFor(
            [&] {
                return startupSignals.count(QStringLiteral("SendTrustProblemFiles")) > 0 ||
                       service.state() == QProcess::NotRunning;
            },
            60000))
        return false;
    if (service.state() == QProcess::NotRunning)
        return false;
    proxy = std::make_unique<ComVelmarSentinexScannerInterface>(
        serviceName, snx::names::objectPath(), QDBusConnection::systemBus());
    return true;
}

bool SandboxService::restart(const Options &options)
{
    if (service.state() != QProcess::NotRunning)
        exitApp();
    waitFor([] { return !nameOnBus(serviceName); }, 5000);
    return startService(options);
}

int SandboxService::exitApp()
{
    if (service.state() == QProcess::NotRunning)
        return service.exitCode();
    proxy->ExitApp().waitForFinished();
    if (!service.waitForFinished(30000)) {
        kill();
        return -1;
    }
    return service.exitStatus() == QProcess::NormalExit ? service.exitCode() : -1;
}

void SandboxService::kill()
{
    for (QProcess *p : {&service, &stub}) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
}

QString SandboxService::logText() const
{
    QFile log(path(
        QStringLiteral("/var/log/velmar/velmar-sentinex-scanner/velmar-sentinex-scanner.log")));
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(log.readAll());
}

QString SandboxService::settingsOutput()
{
    stubOutput += stub.readAllStandardOutput();
    return QString::fromUtf8(stubOutput);
}
