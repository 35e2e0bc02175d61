// The command-line client against the sandboxed service.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include "core/losslessutf8codec.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run
{
    int status;
    QString out;
    QString err;
    QByteArray rawOut;
};

Run finished(QProcess &p)
{
    if (!p.waitForFinished(60000) && p.state() != QProcess::NotRunning) {
        // Where a client hangs, for whoever reads the failure.
        QProcess gdb;
        gdb.start("gdb",
                  {"-p", QString::number(p.processId()), "-batch", "-ex", "thread apply all bt"});
        gdb.waitForFinished(60000);
        qWarning().noquote() << "the client hangs; its output:" << p.readAllStandardOutput()
                             << p.readAllStandardError() << "\nits threads:\n"
                             << gdb.readAllStandardOutput();
        p.kill();
        p.waitForFinished();
    }
    const QByteArray out = p.readAllStandardOutput();
    Run run{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(out),
            QString::fromUtf8(p.readAllStandardError()), out};
    if (run.status == -1)
        qWarning().noquote() << "the client crashed:" << run.err;
    return run;
}

Run cli(const QStringList &args)
{
    QProcess p;
    p.start(SandboxService::binary("velmar-sentinex-cli"), args);
    return finished(p);
}

// User and system time a process has used, in clock ticks; -1 if it cannot be read.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // Fields after the command name, which ends with the last ')': state is the first of them,
    // utime and stime the 12th and 13th.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

// How the world around one client run is set up in the exit status table.
enum class Around {
    Nothing,
    NoSignatures,   // the engine finds no signature file
    StoppedByOther, // another client pauses, then stops the scan
    Interrupted,    // the scan is paused, and the client gets the signal of the row
    MarkedBusy,     // another caller marked a scan as running
    NoService,      // a bus without the service
    NoBus,          // no bus at the address
    ServiceDies,    // the service is killed while the scan waits paused
};

// A file name that is not UTF-8, as the name codec of the service and the client reads it.
QString notUtf8(const QString &dir)
{
    const uint byteFF = snx::LosslessUtf8Codec::escapeBase + 0xFF;
    return dir + "/bad" + QString::fromUcs4(&byteFF, 1) + ".com";
}

QList<QJsonObject> jsonLines(const QString &out)
{
    QList<QJsonObject> objects;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

} // namespace

Q_DECLARE_METATYPE(Around)

class TestCli : public QObject
{
    Q_OBJECT
    TestBus bus;
    SandboxService service;
    QTemporaryDir dir;
    SandboxService::Options options;

    // Enough files that a scan still runs when the test reacts to its first result.
    static constexpr int manyFiles = 20000;

private slots:
    void initTestCase()
    {
        // Arguments and file names travel as the bytes they are, as in the client itself.
        snx::LosslessUtf8Codec::install();
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
        options.allowedCallers = QStringList{SandboxService::binary("velmar-sentinex-cli")};
        options.settingsArgs = QStringList{"--engine-type", "1"};
        QVERIFY(service.start(options));
        samples::corpus(dir.filePath("clean"), 3);
        samples::write(dir.filePath("infected/clean.txt"), "hello");
        samples::write(dir.filePath("infected/eicar.com"), samples::eicar);
        samples::corpus(dir.filePath("many"), manyFiles);
        QDir().mkpath(dir.filePath("odd"));
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
        samples::write(notUtf8(dir.filePath("odd")), samples::eicar);
    }

    // Every way a scan or a read can go wrong, and the exit status a script sees for it:
    // never 0 unless every requested file was scanned and found clean.
    void exitStatusOfEveryCase_data()
    {
        QTest::addColumn<Around>("around");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");

        const QString clean = dir.filePath("clean"), many = dir.filePath("many");
        const QString missing = dir.filePath("missing");
        QTest::newRow("clean") << Around::Nothing << QStringList{"scan", clean} << 0 << 0
                               << QString();
        QTest::newRow("found") << Around::Nothing << QStringList{"scan", dir.filePath("infected")}
                               << 0 << 1 << QString();
        QTest::newRow("name not UTF-8 is scanned")
            << Around::Nothing << QStringList{"scan", dir.filePath("odd")} << 0 << 1 << QString();
        QTest::newRow("missing path") << Around::Nothing << QStringList{"scan", missing} << 0 << 2
                                      << missing + ": No such file or directory";
        QTest::newRow("missing path beside a clean one")
            << Around::Nothing << QStringList{"scan", clean, missing} << 0 << 2
            << "No such file or directory";
        QTest::newRow("neither file nor directory")
            << Around::Nothing << QStringList{"scan", dir.filePath("fifo")} << 0 << 2
            << "not a regular file or directory";
        QTest::newRow("unknown option is no path")
            << Around::Nothing << QStringList{"scan", "--file-list=x"} << 0 << 2
            << "unknown option '--file-list=x'";
        QTest::newRow("standard input")
            << Around::Nothing << QStringList{"scan", "-"} << 0 << 2 << "standard input";
        QTest::newRow("unknown command") << Around::Nothing << QStringList{"frobnicate"} << 0 << 2
                                         << "unknown command 'frobnicate'";
        QTest::newRow("engine without signatures")
            << Around::NoSignatures << QStringList{"scan", clean} << 0 << 2
            << "no file was scanned";
        QTest::newRow("stopped by another client")
            << Around::StoppedByOther << QStringList{"scan", many} << 0 << 2
            << "stopped before its end";
        QTest::newRow("SIGINT stops the scan")
            << Around::Interrupted << QStringList{"scan", many} << SIGINT << 130 << QString();
        QTest::newRow("SIGTERM stops the scan")
            << Around::Interrupted << QStringList{"scan", many} << SIGTERM << 143 << QString();
        QTest::newRow("another scan runs") << Around::MarkedBusy << QStringList{"scan", clean} << 0
                                           << 2 << "another scan is running";
        QTest::newRow("another scan runs, --force")
            << Around::MarkedBusy << QStringList{"scan", "--force", clean} << 0 << 0 << QString();
        QTest::newRow("list without the service")
            << Around::NoService << QStringList{"list", "isolated"} << 0 << 2
            << "the scanner service is not running";
        QTest::newRow("scan without the service") << Around::NoService << QStringList{"scan", clean}
                                                  << 0 << 2 << "the scanner service is not running";
        QTest::newRow("list without a bus") << Around::NoBus << QStringList{"list", "trusted"} << 0
                                            << 2 << "cannot reach the D-Bus system bus";
        QTest::newRow("service dies during the scan")
            << Around::ServiceDies << QStringList{"scan", many} << 0 << 2
            << "left the bus during the scan";
    }

    void exitStatusOfEveryCase()
    {
        QFETCH(Around, around);
        QFETCH(QStringList, args);
        QFETCH(int, signalNumber);
        QFETCH(int, status);
        QFETCH(QString, message);
        auto &s = service.scanner();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString signatures = service.path(snx::names::ahEngineDir() + "/starter.ndb");
        TestBus spareBus(TestBus::Session);
        // The engine reloads a signature file whose time changed; the times are set apart so
        // that each change is seen.
        auto replaceSignatures = [&](const QByteArray &content, int ageSeconds) {
            QFile file(signatures);
            return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                   file.write(content) == content.size() &&
                   file.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                                    QFileDevice::FileModificationTime);
        };
        QFile original(SandboxService::signaturesDir() + "/starter.ndb");
        QVERIFY(original.open(QIODevice::ReadOnly));
        // A broken update keeps the signatures in use: only a start without any has none.
        if (around == Around::NoSignatures) {
            QVERIFY(replaceSignatures("not a signature\n", 200));
            QVERIFY(service.restart(options));
        }
        if (around == Around::MarkedBusy)
            s.SetEngineStatus(1).waitForFinished();
        if (around == Around::NoService) {
            QVERIFY(spareBus.start());
            env.insert("DBUS_SYSTEM_BUS_ADDRESS", spareBus.address());
        }
        if (around == Around::NoBus)
            env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.filePath("no-bus"));

        SignalLog log;
        QProcess client;
        client.setProcessEnvironment(env);
        client.start(SandboxService::binary("velmar-sentinex-cli"), args);
        QVERIFY(client.waitForStarted());
        if (around == Around::StoppedByOther || around == Around::Interrupted ||
            around == Around::ServiceDies) {
            QVERIFY(log.waitFor("SendDissectionProgInfo"));
            s.SetDissectionStatus(0).waitForFinished();
            QVERIFY(log.waitFor("SendPauseDissectionFinished"));
        }
        if (around == Around::StoppedByOther)
            s.SetDissectionStatus(2).waitForFinished();
        if (around == Around::Interrupted)
            ::kill(pid_t(client.processId()), signalNumber);
        if (around == Around::ServiceDies)
            service.kill();
        const Run run = finished(client);

        if (around == Around::NoSignatures) {
            QVERIFY(replaceSignatures(original.readAll(), 100));
            QVERIFY(service.restart(options));
        }
        if (around == Around::MarkedBusy)
            s.SetEngineStatus(0).waitForFinished();
        if (around == Around::ServiceDies)
            QVERIFY(service.start(options));
        QVERIFY2(run.status == status, qPrintable(QString("status %1, stderr: %2\nstdout: %3")
                                                      .arg(run.status)
                                                      .arg(run.err, run.out.right(500))));
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        // The scan a signal ended is stopped in the service, not left paused.
        if (around == Around::Interrupted)
            QVERIFY(log.waitFor("SendDissectionFinished"));
    }

    // A name that is not UTF-8 is printed back as its bytes, in JSON as the service writes it,
    // and can be isolated and restored by the name the client is given.
    void namesThatAreNotUtf8()
    {
        const QString odd = notUtf8(dir.filePath("odd"));
        const QByteArray bytes = QFile::encodeName(odd);
        QVERIFY(bytes.endsWith("/bad\xff.com"));
        Run plain = cli({"scan", "-i", dir.filePath("odd")});
        QCOMPARE(plain.status, 1);
        QVERIFY2(plain.rawOut.contains(bytes + ": EICAR-Test-File.UNOFFICIAL FOUND\n"),
                 plain.rawOut.constData());
        QVERIFY(!plain.rawOut.contains("progress"));

        Run json = cli({"scan", dir.filePath("odd"), "--json"});
        QVERIFY2(json.status == 1, qPrintable(json.out + json.err));
        bool reported = false;
        for (const QJsonObject &e : jsonLines(json.out))
            reported = reported || (e["event"] == "detection" && e["path"] == odd);
        QVERIFY2(reported, qPrintable(json.out));

        QCOMPARE(cli({"isolate", odd}).status, 0);
        QVERIFY(!QFile::exists(odd));
        QCOMPARE(cli({"restore", odd}).status, 0);
        QVERIFY(QFile::exists(odd));
    }

    void exitStatusTellsWhatWasFound()
    {
        Run clean = cli({"scan", dir.filePath("clean")});
        QCOMPARE(clean.status, 0);
        QVERIFY(clean.out.contains("Scanned files: 3"));
        QVERIFY(clean.out.contains("progress 100%"));

        Run found = cli({"scan", dir.filePath("infected")});
        QCOMPARE(found.status, 1);
        // Detection lines read as clamdscan's, so that existing greps work.
        QVERIFY2(found.out.contains(dir.filePath("infected/eicar.com") +
                                    ": EICAR-Test-File.UNOFFICIAL FOUND\n"),
                 qPrintable(found.out));
        QVERIFY(found.out.contains("Infected files: 1"));
        QVERIFY(!found.out.contains('\r')); // not a terminal: plain lines
    }

    void progressBarOnATerminal_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("bar");
        QTest::newRow("terminal") << "TERM"
                                  << "xterm" << true;
        QTest::newRow("TERM=dumb") << "TERM"
                                   << "dumb" << false;
        QTest::newRow("NO_COLOR") << "NO_COLOR"
                                  << "1" << false;
    }

    void progressBarOnATerminal()
    {
        QFETCH(QString, variable);
        QFETCH(QString, value);
        QFETCH(bool, bar);
        if (QStandardPaths::findExecutable("script").isEmpty())
            QSKIP("script(1) is not installed");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TERM", "xterm");
        env.remove("NO_COLOR");
        env.insert(variable, value);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start("script",
                {"-q", "-e", "-c",
                 SandboxService::binary("velmar-sentinex-cli") + " scan " + dir.filePath("clean"),
                 "/dev/null"});
        QVERIFY(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QCOMPARE(p.exitCode(), 0);
        if (bar) {
            QVERIFY2(out.contains("\r") && out.contains("[##############################] 100%"),
                     qPrintable(out));
        } else {
            QVERIFY2(!out.contains("\033") && out.contains("progress 100%"), qPrintable(out));
        }
    }

    // What each option leaves out of a scan's output; the exit status stays.
    void outputOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("absent");
        const QString infected = dir.filePath("infected");
        const QString found =
            dir.filePath("infected/eicar.com") + ": EICAR-Test-File.UNOFFICIAL FOUND";
        QTest::newRow("plain") << QStringList{"scan", infected}
                               << QStringList{found, "progress 100%", "Infected files: 1"}
                               << QStringList{};
        QTest::newRow("-i") << QStringList{"-i", "scan", infected}
                            << QStringList{found, "Infected files: 1"} << QStringList{"progress"};
        QTest::newRow("--infected --no-summary")
            << QStringList{"scan", "--infected", infected, "--no-summary"} << QStringList{found}
            << QStringList{"progress", "SCAN SUMMARY", "Infected files"};
        QTest::newRow("--quiet") << QStringList{"scan", infected, "--quiet"} << QStringList{}
                                 << QStringList{found, "progress", "SCAN SUMMARY"};
        QTest::newRow("--json after the paths")
            << QStringList{"scan", infected, "--json"}
            << QStringList{"\"event\":\"detection\"", "\"event\":\"summary\""}
            << QStringList{"SCAN SUMMARY"};
    }

    void outputOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        const Run run = cli(args);
        QCOMPARE(run.status, 1);
        for (const QString &text : present)
            QVERIFY2(run.out.contains(text), qPrintable(text + " missing in:\n" + run.out));
        for (const QString &text : absent)
            QVERIFY2(!run.out.contains(text), qPrintable(text + " found in:\n" + run.out));
        if (args.contains("--quiet"))
            QCOMPARE(run.out, QString());
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
        QCOMPARE(s["status"].toString(), QStringLiteral("idle"));
        QCOMPARE(cli({"--help"}).status, 0);
        QCOMPARE(cli({"frobnicate"}).status, 2);
        Run version = cli({"--version"});
        QCOMPARE(version.status, 0);
        QVERIFY(version.out.startsWith("velmar-sentinex-cli " SNX_TEST_VERSION "\n"));

        // A paused scan is told as such: the status callers keep says it runs, and no result
        // arrives.
        SignalLog log;
        QProcess scan;
        scan.start(SandboxService::binary("velmar-sentinex-cli"), {"scan", dir.filePath("many")});
        QVERIFY(log.waitFor("SendDissectionProgInfo"));
        service.scanner().SetDissectionStatus(0).waitForFinished();
        QVERIFY(log.waitFor("SendPauseDissectionFinished"));
        const QJsonObject paused =
            QJsonDocument::fromJson(cli({"status", "--json"}).out.toUtf8()).object();
        QCOMPARE(paused["status"].toString(), QStringLiteral("paused"));
        // The waiting client sleeps in its event loop: over a second it uses far less than a
        // second of processor time (a polling loop used all of it).
        const qint64 before = cpuTicks(scan.processId());
        QTest::qWait(1000);
        const qint64 used = cpuTicks(scan.processId()) - before;
        QVERIFY2(before >= 0 && used < sysconf(_SC_CLK_TCK) / 2,
                 qPrintable(QString("%1 ticks in a second").arg(used)));
        QCOMPARE(cli({"stop"}).status, 0);
        QCOMPARE(finished(scan).status, 2); // stopped before its end
        const QJsonObject stopped =
            QJsonDocument::fromJson(cli({"status", "--json"}).out.toUtf8()).object();
        QCOMPARE(stopped["status"].toString(), QStringLiteral("stopped"));
    }

    void refusedCallPrintsTheServiceText()
    {
        // The shared service gives way to a strict one and comes back afterwards, also when this
        // test fails, so that the tests after it find it. Declared first: it runs once the
        // strict one is gone from the bus.
        auto sharedAgain = qScopeGuard([this] { service.restart(options); });
        SandboxService strict;
        QCOMPARE(service.exitApp(), 0);
        SandboxService::Options strictOptions; // the client is not allowed here
        QVERIFY(strict.start(strictOptions));
        // Every method call on the bus, to see that the client sends none to the bus's Peer
        // interface, which a system bus refuses and logs.
        QProcess monitor;
        monitor.start("dbus-monitor", {"--address", bus.address(), "type='method_call'"});
        QVERIFY(monitor.waitForStarted());
        QVERIFY(monitor.waitForReadyRead(10000));
        Run stop = cli({"stop"});
        QCOMPARE(stop.status, 2);
        QVERIFY2(stop.err.contains("is not allowed to transfer sentinex inter"),
                 qPrintable(stop.err));
        // Who was refused and why, for the one who has to act on it.
        QVERIFY2(stop.err.contains("refused: user ") &&
                     stop.err.contains(SandboxService::binary("velmar-sentinex-cli")) &&
                     stop.err.contains("is not one the service lets steer it"),
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
        monitor.terminate();
        QVERIFY(monitor.waitForFinished());
        const QByteArray calls = monitor.readAllStandardOutput();
        QVERIFY2(calls.contains("member=SetDissectionStatus"), calls.right(2000).constData());
        QVERIFY2(!calls.contains("org.freedesktop.DBus.Peer"), calls.right(2000).constData());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
