// The service as a bus client meets it: its interface, start-up, a second instance, logging and
// shutdown.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "testbus.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

class TestServiceBus : public QObject
{
    Q_OBJECT
    TestBus bus;

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
    }

    void introspectionShowsExactlyTheInterface()
    {
        SandboxService service;
        QVERIFY(service.start());
        QDBusMessage call = QDBusMessage::createMethodCall(
            snx::names::busName(), snx::names::objectPath(),
            QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
        const QDBusReply<QString> xml = QDBusConnection::systemBus().call(call);
        QVERIFY(xml.isValid());

        QStringList members;
        QStringList interfaces;
        QString annotatedMethod;
        QXmlStreamReader reader(xml.value());
        QString currentInterface;
        QString currentMember;
        while (!reader.atEnd()) {
            if (!reader.readNextStartElement())
                continue;
            const QString name = reader.attributes().value(QLatin1String("name")).toString();
            if (reader.name() == QLatin1String("interface")) {
                currentInterface = name;
                interfaces << name;
            } else if (currentInterface == snx::names::busName()) {
                if (reader.name() == QLatin1String("method") ||
                    reader.name() == QLatin1String("signal")) {
                    currentMember = name;
                    members << reader.name().toString() + QLatin1Char(' ') + name;
                } else if (reader.name() == QLatin1String("annotation")) {
                    annotatedMethod = currentMember + QLatin1Char(' ') + name + QLatin1Char('=') +
                                      reader.attributes().value(QLatin1String("value")).toString();
                }
            }
        }
        const QStringList expected = {"method StartApp",
                                      "method ExitApp",
                                      "method SetEngineType",
                                      "method GetEngineType",
                                      "method DoDissection",
                                      "method SetDissectionStatus",
                                      "method GetDissectionStatus",
                                      "method SetEngineStatus",
                                      "method GetEngineStatus",
                                      "method SetScanWhiteList",
                                      "method SetScanFileSize",
                                      "method SetProblemFileOperatingSum",
                                      "method GetProblemFileOperatingSum",
                                      "method TrustProblemFile",
                                      "signal SendTrustProblemFileInfo",
                                      "method QueryTrustProblemFiles",
                                      "signal SendTrustProblemFiles",
                                      "method IsolationProblemFile",
                                      "signal SendIsolationProblemFileInfo",
                                      "method QueryIsolationProblemFiles",
                                      "signal SendIsolationProblemFiles",
                                      "signal SendDissectionProgInfo",
                                      "signal SendDissectionFinished",
                                      "signal SendPauseDissectionFinished"};
        QCOMPARE(members, expected);
        QCOMPARE(annotatedMethod,
                 QStringLiteral("DoDissection org.qtproject.QtDBus.QtTypeName.In0=QStringList"));
        // Only the adaptor is exported: none of the service object's own slots or signals.
        QVERIFY(!xml.value().contains(QLatin1String("notifyPauseDissection")));
        QVERIFY(!xml.value().contains(QLatin1String("doDissectionResult")));
        QVERIFY(interfaces.contains(snx::names::busName()));
        QCOMPARE(service.exitApp(), 0);
    }

    void secondInstanceLogsAndExitsZero()
    {
        SandboxService first;
        QVERIFY(first.start());
        QTemporaryDir secondRoot;
        QProcess second;
        second.start(SandboxService::binary(QStringLiteral("velmar-sentinex-sandbox")),
                     {secondRoot.path()});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        const QString warning =
            QStringLiteral("dbus service already registered!  \"/com/velmar/sentinex/scanner\"");
        QVERIFY(QString::fromUtf8(second.readAllStandardError()).contains(warning));
        QFile log(secondRoot.filePath(
            QStringLiteral("var/log/velmar/velmar-sentinex-scanner/velmar-sentinex-scanner.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString logText = QString::fromUtf8(log.readAll());
        QVERIFY2(logText.contains(warning), qPrintable(logText));
        QVERIFY(logText.contains(QLatin1String("[warning] [com.velmar.sentinex.scanner]")));
        // The first one keeps answering.
        QDBusReply<int> type = first.scanner().GetEngineType();
        QVERIFY(type.isValid());
        QCOMPARE(first.exitApp(), 0);
    }

    void logDirectoryIsCreatedAndEveryCategoryIsLogged()
    {
        SandboxService service;
        QVERIFY(!QFileInfo::exists(service.path(QStringLiteral("/var/log"))));
        QVERIFY(service.start());
        QVERIFY(QFileInfo(service.path(QStringLiteral("/var/log/velmar/velmar-sentinex-scanner")))
                    .isDir());
        // A default-category line: the Ah engine logs each detection.
        service.scanner().SetEngineType(1).waitForFinished();
        QTemporaryDir samples;
        QFile eicar(samples.filePath(QStringLiteral("eicar.com")));
        QVERIFY(eicar.open(QIODevice::WriteOnly));
        eicar.write(samples::eicar);
        eicar.close();
        QSignalSpy finished(&service.scanner(),
                            &ComVelmarSentinexScannerInterface::SendDissectionFinished);
        service.scanner().DoDissection({samples.path()}).waitForFinished();
        QVERIFY(finished.wait(20000));
        QVERIFY(waitFor(
            [&] { return service.logText().contains(QLatin1String("ah doDissection path:")); }));
        const QString log = service.logText();
        QVERIFY2(log.contains(QRegularExpression(QStringLiteral(
                     "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d+ \\[info\\] \\[default\\] "
                     "\"ah doDissection path: [^\"]*eicar.com  vname: EICAR-Test-File"))),
                 qPrintable(log));
        QCOMPARE(service.exitApp(), 0);
    }

    void unguardedMethodsAnswerAndExitEndsTheProcess()
    {
        SandboxService service;
        QVERIFY(service.start());
        auto &s = service.scanner();
        s.StartApp().waitForFinished();
        s.SetProblemFileOperatingSum(3).waitForFinished();
        QCOMPARE(s.GetProblemFileOperatingSum().value(), 3);
        QCOMPARE(s.GetDissectionStatus().value(), 0);
        QCOMPARE(s.GetEngineStatus().value(), 0);
        s.SetEngineType(7).waitForFinished();
        QCOMPARE(s.GetEngineType().value(), 7);
        QSignalSpy isolated(&s, &ComVelmarSentinexScannerInterface::SendIsolationProblemFiles);
        s.QueryIsolationProblemFiles().waitForFinished();
        QVERIFY(isolated.wait(5000));
        QCOMPARE(isolated.first().first().toString(), QString());
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServiceBus)
#include "tst_servicebus.moc"
