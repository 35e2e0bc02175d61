// The command-line client against the sandboxed service.
#include "samples.h"
#include "sandboxservice.h"
#include "testbus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int status;
    QString out;
    QString err;
};

Run cli(const QStringList &args)
{
    QProcess p;
    p.start(SandboxService::binary("velmar-sentinex-cli"), args);
    p.waitForFinished(60000);
    Run run{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
    if (run.status == -1)
        qWarning().noquote() << "the client crashed:" << run.err;
    return run;
}

QList<QJsonObject> jsonLines(const QString &out)
{
    QList<QJsonObject> objects;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT
    TestBus bus;
    SandboxService service;
    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
        SandboxService::Options options;
        options.allowedCallers = QStringList{SandboxService::binary("velmar-sentinex-cli")};
        options.settingsArgs = QStringList{"--engine-type", "1"};
        QVERIFY(service.start(options));
        samples::corpus(dir.filePath("clean"), 3);
        samples::write(dir.filePath("infected/clean.txt"), "hello");
        samples::write(dir.filePath("infected/eicar.com"), samples::eicar);
    }

    void exitStatusTellsWhatWasFound()
    {
        Run clean = cli({"scan", dir.filePath("clean")});
        QCOMPARE(clean.status, 0);
        QVERIFY(clean.out.contains("Scanned files: 3"));
        QVERIFY(clean.out.contains("progress 100%"));

        Run found = cli({"scan", dir.filePath("infected")});
        QCOMPARE(found.status, 1);
        QVERIFY2(found.out.contains("FOUND " + dir.filePath("infected/eicar.com") +
                                    ": EICAR-Test-File.UNOFFICIAL"),
                 qPrintable(found.out));
        QVERIFY(found.out.contains("Infected files: 1"));
        QVERIFY(!found.out.contains('\r')); // not a terminal: plain lines
    }

    void progressBarOnATerminal()
    {
        if (QStandardPaths::findExecutable("script").isEmpty())
            QSKIP("script(1) is not installed");
        QProcess p;
        p.start("script",
                {"-q", "-e", "-c",
                 SandboxService::binary("velmar-sentinex-cli") + " scan " + dir.filePath("clean"),
                 "/dev/null"});
        QVERIFY(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(out.contains("\r") && out.contains("[##############################] 100%"),
                 qPrintable(out));
    }

    void jsonForScripts()
    {
        Run scan = cli({"--json", "scan", dir.filePath("infected")});
        QCOMPARE(scan.status, 1);
        const QList<QJsonObject> events = jsonLines(scan.out);
        QVERIFY(!events.isEmpty());
        QCOMPARE(events.last()["event"].toString(), QStringLiteral("summary"));
        QCOMPARE(events.last()["infected"].toInt(), 1);
        QCOMPARE(events.last()["scanned"].toInt(), 2);
        bool detection = false;
        for (const QJsonObject &e : events)
            detection = detection || (e["event"] == "detection" &&
                                      e["path"] == dir.filePath("infected/eicar.com"));
        QVERIFY(detection);

        QCOMPARE(cli({"isolate", dir.filePath("infected/eicar.com")}).status, 0);
        Run listed = cli({"--json", "list", "isolated"});
        QCOMPARE(listed.status, 0);
        const QJsonArray rows = QJsonDocument::fromJson(listed.out.toUtf8()).array();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].toObject()["path"].toString(), dir.filePath("infected/eicar.com"));
        QCOMPARE(cli({"restore", dir.filePath("infected/eicar.com")}).status, 0);
        QVERIFY(QFile::exists(dir.filePath("infected/eicar.com")));

        // A file the current scan did not report is not isolated, and the client says so.
        Run refused = cli({"isolate", dir.filePath("infected/clean.txt")});
        QCOMPARE(refused.status, 2);
        QVERIFY(refused.err.contains("was not reported by the current scan"));
    }

    void listsKeepOddPaths()
    {
        const QString odd = dir.filePath("a|b*c 2021-01-01 00:00:00*.exe");
        // Only a file the caller can read is trusted.
        QVERIFY(samples::write(odd, "odd"));
        QVERIFY(samples::write(dir.filePath("plain"), "plain"));
        QCOMPARE(cli({"trust", odd}).status, 0);
        QCOMPARE(cli({"trust", dir.filePath("plain")}).status, 0);
        const QJsonArray rows =
            QJsonDocument::fromJson(cli({"--json", "list", "trusted"}).out.toUtf8()).array();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0].toObject()["path"].toString(), odd);
        QCOMPARE(rows[1].toObject()["path"].toString(), dir.filePath("plain"));
        QCOMPARE(cli({"untrust", odd}).status, 0);
    }

    void statusAndControl()
    {
        Run status = cli({"--json", "status"});
        QCOMPARE(status.status, 0);
        const QJsonObject s = QJsonDocument::fromJson(status.out.toUtf8()).object();
        QCOMPARE(s["engine"].toString(), QStringLiteral("ah"));
        QCOMPARE(cli({"stop"}).status, 0);
        QCOMPARE(cli({"--help"}).status, 0);
        QCOMPARE(cli({"frobnicate"}).status, 2);
    }

    void refusedCallPrintsTheServiceText()
    {
        SandboxService strict;
        QCOMPARE(service.exitApp(), 0);
        SandboxService::Options options; // the client is not allowed here
        QVERIFY(strict.start(options));
        Run stop = cli({"stop"});
        QCOMPARE(stop.status, 2);
        QVERIFY2(stop.err.contains("is not allowed to transfer sentinex inter"),
                 qPrintable(stop.err));
        QCOMPARE(cli({"status"}).status, 0); // reading is open to all

        // Clients that exit straight after a refusal, several at a time: under the sanitizers
        // this shows whether anything of the error reply outlives the client's exit.
        constexpr int rounds = 20, parallel = 4;
        for (int round = 0; round < rounds; ++round) {
            QProcess clients[parallel];
            for (QProcess &client : clients)
                client.start(SandboxService::binary("velmar-sentinex-cli"), {"stop"});
            for (QProcess &client : clients) {
                QVERIFY(client.waitForFinished(60000));
                QVERIFY2(client.exitStatus() == QProcess::NormalExit && client.exitCode() == 2,
                         client.readAllStandardError().constData());
            }
        }
        QCOMPARE(strict.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
