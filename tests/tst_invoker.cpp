// The invoker layer against real peers on private system and session buses: the settings
// stand-in, and a recorder that keeps every message it receives.
#include "core/names.h"
#include "invoker/dbusinvoker.h"
#include "invoker/invokerfactory.h"
#include "invoker/settingsdaemon.h"
#include "invoker/settingsinvokerinterface.h"
#include "invoker/systemsettings.h"
#include "invoker/velmarsentinexsettingsinvoker.h"
#include "sandboxservice.h"
#include "testbus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QGSettings>
#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace sd = snx::settingsdaemon;

namespace {

// Answers every call with "ok" and keeps a copy of it. Lives in a thread of its own so that a
// blocking call from the test's main thread can be answered.
class Recorder : public QDBusVirtualObject
{
public:
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        {
            QMutexLocker lock(&mutex);
            seen.append(message);
        }
        if (message.type() == QDBusMessage::MethodCallMessage)
            connection.send(message.createReply(QStringLiteral("ok")));
        return true;
    }
    QString introspect(const QString &) const override { return QString(); }

    QList<QDBusMessage> messages()
    {
        QMutexLocker lock(&mutex);
        return seen;
    }

private:
    QMutex mutex;
    QList<QDBusMessage> seen;
};

class RecorderPeer
{
public:
    RecorderPeer(const QString &address, const QString &name, const QString &connectionId)
        : connectionName(connectionId)
    {
        recorder.moveToThread(&thread);
        thread.start();
        QDBusConnection c = QDBusConnection::connectToBus(address, connectionName);
        c.registerVirtualObject(QStringLiteral("/peer"), &recorder);
        c.registerService(name);
    }
    ~RecorderPeer()
    {
        QDBusConnection::disconnectFromBus(connectionName);
        thread.quit();
        thread.wait();
    }
    QDBusConnection connection() const { return QDBusConnection(connectionName); }
    Recorder recorder;

private:
    QString connectionName;
    QThread thread;
};

} // namespace

class TestInvoker : public QObject
{
    Q_OBJECT
    TestBus systemBus{TestBus::System};
    TestBus sessionBus{TestBus::Session};
    QTemporaryDir schemaDir;

    std::unique_ptr<DBusInvokerInterface> invokerFor(const QString &service, const QString &path,
                                                     const QString &interface, int busType = 0)
    {
        return std::unique_ptr<DBusInvokerInterface>(InvokerFactory::instance()->createDBusInvoker(
            service, path, interface, busType, nullptr));
    }

private slots:
    void initTestCase()
    {
        if (!systemBus.start() || !sessionBus.start())
            QSKIP("dbus-daemon is not available");
        QProcess compile;
        compile.start("glib-compile-schemas",
                      {"--targetdir=" + schemaDir.path(), SNX_TEST_DATA_DIR "/schemas"});
        QVERIFY(compile.waitForFinished() && compile.exitCode() == 0);
        qputenv("GSETTINGS_SCHEMA_DIR", schemaDir.path().toUtf8());
        qputenv("GSETTINGS_BACKEND", "memory");
    }

    void invokeAgainstTheSettingsStandIn()
    {
        QProcess stub;
        stub.start(SandboxService::binary("velmar-sentinex-settings-stub"), {"--scan-size", "42"});
        QVERIFY(stub.waitForReadyRead(5000));
        auto invoker = invokerFor(sd::service, sd::path, sd::interface);

        QDBusMessage reply =
            invoker->invoke(sd::getSysSettingValue, {sd::scanSizeKey}, QDBus::Block);
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(reply.arguments().first().value<QDBusVariant>().variant().toInt(), 42);

        // Not waited for: returns before the stand-in has even seen it.
        reply = invoker->invoke(sd::setSysSettingValue,
                                {sd::engineTypeKey, QVariant::fromValue(QDBusVariant(3))},
                                QDBus::NoBlock);
        QVERIFY(reply.type() != QDBusMessage::ErrorMessage);
        QVERIFY(QTest::qWaitFor([&] {
            return invoker->invoke(sd::getSysSettingValue, {sd::engineTypeKey})
                       .arguments()
                       .value(0)
                       .value<QDBusVariant>()
                       .variant()
                       .toInt() == 3;
        }));
        stub.kill();
        stub.waitForFinished();
    }

    void noBlockToAnAbsentServiceReturnsAtOnce()
    {
        auto invoker = invokerFor("org.test.Absent", "/x", "org.test.Absent");
        QElapsedTimer timer;
        timer.start();
        const QDBusMessage reply = invoker->invoke("Anything", {}, QDBus::NoBlock);
        QVERIFY(timer.elapsed() < 1000);
        QVERIFY(reply.type() != QDBusMessage::ReplyMessage);
        const QDBusMessage blocked = invoker->invoke("Anything", {}, QDBus::Block);
        QCOMPARE(blocked.type(), QDBusMessage::ErrorMessage);
    }

    void propertyReadAndRefusedNames()
    {
        RecorderPeer peer(systemBus.address(), "org.test.Recorder", "recorder");
        auto invoker = invokerFor("org.test.Recorder", "/peer", "org.test.Bound");

        QDBusMessage reply = invoker->invoke(QString(), {1, 2});
        QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
        QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
        QCOMPARE(reply.errorMessage(), QStringLiteral("name.isEmpty"));

        reply = invoker->invoke("dbusPropertyInvoker", {});
        QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
        QCOMPARE(reply.errorMessage(), QStringLiteral("property not exist"));
        QVERIFY(peer.recorder.messages().isEmpty());

        reply = invoker->invoke("dbusPropertyInvoker", {"Depth", "not sent"});
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        reply = invoker->invoke("DbusPropertyInvoker", {7});
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);

        const QList<QDBusMessage> seen = peer.recorder.messages();
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen[0].interface(), QStringLiteral("org.freedesktop.DBus.Properties"));
        QCOMPARE(seen[0].member(), QStringLiteral("Get"));
        QCOMPARE(seen[0].signature(), QStringLiteral("ss"));
        QCOMPARE(seen[0].arguments(), (QList<QVariant>{"org.test.Bound", "Depth"}));
        // Differs only in case: an ordinary method of the bound interface.
        QCOMPARE(seen[1].interface(), QStringLiteral("org.test.Bound"));
        QCOMPARE(seen[1].member(), QStringLiteral("DbusPropertyInvoker"));
        QCOMPARE(seen[1].arguments(), QList<QVariant>{7});
    }

    void emitSignalReachesAListener()
    {
        auto invoker = invokerFor("org.test.Any", "/emitter", "org.test.Emitter");
        QVERIFY(!invoker->emitSignal(QString(), {1}));
        QSignalSpy heard(this, &TestInvoker::heard);
        QVERIFY(QDBusConnection::systemBus().connect(QString(), "/emitter", "org.test.Emitter",
                                                     "Ping", this, SIGNAL(heard(QString, int))));
        QVERIFY(invoker->emitSignal("Ping", {QStringLiteral("hi"), 5}));
        QVERIFY(heard.wait(5000));
        QCOMPARE(heard.first(), (QList<QVariant>{"hi", 5}));
    }

    void busTypePicksTheBus()
    {
        RecorderPeer onSession(sessionBus.address(), "org.test.Where", "session-recorder");
        auto system = invokerFor("org.test.Where", "/peer", "org.test.Where", 0);
        auto session = invokerFor("org.test.Where", "/peer", "org.test.Where", 1);
        auto alsoSession = invokerFor("org.test.Where", "/peer", "org.test.Where", 5);
        QCOMPARE(system->invoke("Hello").type(), QDBusMessage::ErrorMessage);
        QCOMPARE(session->invoke("Hello").type(), QDBusMessage::ReplyMessage);
        QCOMPARE(alsoSession->invoke("Hello").type(), QDBusMessage::ReplyMessage);
        // The same name on the system bus: each invoker reaches only the peer on its own bus.
        RecorderPeer onSystem(systemBus.address(), "org.test.Where", "system-recorder");
        QCOMPARE(system->invoke("Hello", {1}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(session->invoke("Hello", {2}).type(), QDBusMessage::ReplyMessage);
        const QList<QDBusMessage> systemSeen = onSystem.recorder.messages();
        QCOMPARE(systemSeen.size(), 1);
        QCOMPARE(systemSeen[0].arguments(), QList<QVariant>{1});
        const QList<QDBusMessage> sessionSeen = onSession.recorder.messages();
        QCOMPARE(sessionSeen.size(), 3);
        QCOMPARE(sessionSeen[2].arguments(), QList<QVariant>{2});
    }

    void systemSettingsFollowsTheDaemon()
    {
        // This process plays the daemon on a second connection, so it can also send a change
        // signal of the wrong signature.
        QDBusConnection daemon = QDBusConnection::connectToBus(systemBus.address(), "daemon");
        QVERIFY(daemon.registerService(sd::service));
        snx::SystemSettings settings;
        QSignalSpy changed(&settings, &snx::SystemSettings::valueChanged);
        auto send = [&](const QList<QVariant> &args) {
            QDBusMessage signal =
                QDBusMessage::createSignal(sd::path, sd::interface, sd::sysSettingValueChanged);
            signal.setArguments(args);
            QVERIFY(daemon.send(signal));
        };
        send({snx::names::scanSizeKey(), 9});                                      // "si"
        send({snx::names::scanSizeKey(), QVariant::fromValue(QDBusVariant(200))}); // "sv"
        QVERIFY(changed.wait(5000));
        QTest::qWait(100);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.first().at(0).toString(), snx::names::scanSizeKey());
        QCOMPARE(changed.first().at(1), QVariant(200));
        QDBusConnection::disconnectFromBus("daemon");
    }

    void systemSettingsReadsAndWrites()
    {
        QProcess stub;
        stub.start(SandboxService::binary("velmar-sentinex-settings-stub"), {"--engine-type", "1"});
        QVERIFY(stub.waitForReadyRead(5000));
        snx::SystemSettings settings;
        QSignalSpy changed(&settings, &snx::SystemSettings::valueChanged);
        QCOMPARE(settings.getValue(sd::engineTypeKey), QVariant(1));
        QVERIFY(settings.setValue(sd::scanSizeKey, 77));
        QCOMPARE(settings.getValue(sd::scanSizeKey), QVariant(77));
        QVERIFY(changed.wait(5000));
        QCOMPARE(changed.first().at(1), QVariant(77));
        stub.kill();
        stub.waitForFinished();
        QVERIFY(QTest::qWaitFor([] {
            return !QDBusConnection::systemBus()
                        .interface()
                        ->isServiceRegistered(sd::service)
                        .value();
        }));
        // Absent daemon: nothing to read, nothing written.
        QVERIFY(!settings.getValue(sd::scanSizeKey).isValid());
        QCOMPARE(settings.getValue(sd::scanSizeKey).toInt(), 0);
        QVERIFY(!settings.setValue(sd::scanSizeKey, 1));
    }

    void replyWithoutABooleanIsFalse()
    {
        QProcess stub;
        stub.start(SandboxService::binary("velmar-sentinex-settings-stub"), {"--wrong-types"});
        QVERIFY(stub.waitForReadyRead(5000));
        snx::SystemSettings settings;
        QVERIFY(!settings.setValue(sd::scanSizeKey, 5));
        QVERIFY(!settings.getValue(sd::scanSizeKey).isValid());
        // The stand-in's leaving is taken in here: queued behind the blocking calls, it reached
        // the next test's watch of the name and hid the next stand-in's change signals.
        QDBusServiceWatcher watcher(sd::service, QDBusConnection::systemBus(),
                                    QDBusServiceWatcher::WatchForUnregistration);
        QSignalSpy gone(&watcher, &QDBusServiceWatcher::serviceUnregistered);
        stub.kill();
        stub.waitForFinished();
        QVERIFY(gone.wait(5000));
    }

    void settingsInvokerOnGSettings()
    {
        QObject owner;
        SettingsInvokerInterface *settings = InvokerFactory::instance()->createSettingsInvoker(
            "com.velmar.sentinex.test", "/com/velmar/sentinex/test/", &owner);
        QCOMPARE(settings->get("scanDepth").toInt(), 3);
        settings->set("scanDepth", 8);
        QCOMPARE(settings->get("scanDepth").toInt(), 8);
        settings->reset("scanDepth");
        QCOMPARE(settings->get("scanDepth").toInt(), 3);
        // The QGSettings object belongs to the owner, not to the invoker.
        delete settings;
        QCOMPARE(owner.findChildren<QGSettings *>().size(), 1);

        std::unique_ptr<SettingsInvokerInterface> unknown(
            InvokerFactory::instance()->createSettingsInvoker("com.velmar.sentinex.absent", "/x/",
                                                              nullptr));
        QVERIFY(!unknown->get("anything").isValid());
        unknown->set("anything", 1);
    }

signals:
    void heard(QString text, int number);
};

QTEST_GUILESS_MAIN(TestInvoker)
#include "tst_invoker.moc"
