// The service's log and process signals as logrotate, journald and systemd use them: the real
// service in its sandbox, started here with the environment and stderr each case needs.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString logPath =
    QStringLiteral("/var/log/velmar/velmar-sentinex-scanner/velmar-sentinex-scanner.log");
const QRegularExpression timeStamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d"));

// A /dev/shm of the test's own, set up before any thread exists: what the engines leave there
// is then seen without the files of every other process on the machine. Empty when the
// namespace cannot be made (no root, or a sanitizer's thread already runs).
QString privateShm;

QString makePrivateShm()
{
    QByteArray dir = "/tmp/tst_servicelog-shm.XXXXXX";
    if (!mkdtemp(dir.data()))
        return QString();
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount(dir.constData(), "/dev/shm", nullptr, MS_BIND, nullptr)) {
        rmdir(dir.constData());
        return QString();
    }
    return QString::fromLocal8Bit(dir);
}

QStringList engineTempDirs()
{
    return QDir(QStringLiteral("/dev/shm")).entryList({"avcore.*"}, QDir::Dirs);
}

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

int modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

} // namespace

class TestServiceLog : public QObject
{
    Q_OBJECT
    TestBus bus;

    // The service under a fresh root; a refused caller is what makes it log a warning.
    struct Run
    {
        QTemporaryDir root;
        QProcess process;
        QString log() const { return root.path() + logPath; }
    };

    static bool start(Run &run, const QProcessEnvironment &env, bool allowTest = false)
    {
        QStringList args{run.root.path()};
        if (allowTest)
            args << "--allow-caller" << QCoreApplication::applicationFilePath();
        run.process.setProcessEnvironment(env);
        SignalLog startup; // the trusted list goes out as the last step of start-up
        run.process.start(SandboxService::binary("velmar-sentinex-sandbox"), args);
        return run.process.waitForStarted() &&
               waitFor([&] { return startup.count("SendTrustProblemFiles") > 0; });
    }

    // A caller the sandbox does not allow: the service logs "invalid invoker!".
    static void refusedCall()
    {
        QProcess cli;
        cli.start(SandboxService::binary("velmar-sentinex-cli"), {"stop"});
        cli.waitForFinished();
    }

    static bool logShows(const QString &path, const QString &text)
    {
        return waitFor([&] { return readAll(path).contains(text); }, 10000);
    }

    static int terminate(Run &run)
    {
        ::kill(pid_t(run.process.processId()), SIGTERM);
        if (!run.process.waitForFinished(30000))
            return -1;
        return run.process.exitStatus() == QProcess::NormalExit ? run.process.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
        // The mode of the log file must not depend on the umask the service is started with.
        ::umask(0);
    }

    void renameAndSighupMoveTheLogToANewFile()
    {
        Run run;
        QVERIFY(start(run, QProcessEnvironment::systemEnvironment()));
        QVERIFY(logShows(run.log(), "velmar-sentinex-scanner " SNX_TEST_VERSION " starting"));
        QCOMPARE(modeOf(run.log()), 0600);

        QVERIFY(QFile::rename(run.log(), run.log() + ".1"));
        ::kill(pid_t(run.process.processId()), SIGHUP);
        QVERIFY(logShows(run.log(), "SIGHUP: log file reopened, signature reload requested"));
        QCOMPARE(modeOf(run.log()), 0600);
        refusedCall();
        QVERIFY(logShows(run.log(), "invalid invoker!"));
        QVERIFY(!readAll(run.log() + ".1").contains("invalid invoker!"));
        QVERIFY(!readAll(run.log() + ".1").contains("SIGHUP"));
        QCOMPARE(run.process.state(), QProcess::Running); // SIGHUP no longer kills it
        QCOMPARE(terminate(run), 0);
    }

    // The caller is told only the fixed text; the log names who was refused, for every
    // refused caller, also one that exits as soon as it has its answer.
    void refusalNamesTheCaller()
    {
        Run run;
        QVERIFY(start(run, QProcessEnvironment::systemEnvironment()));
        // Several at a time: the service answers one while the others are already done. As
        // many as the refusal log takes at once; more are counted, not named.
        constexpr int callers = 10;
        QProcess clients[callers];
        for (QProcess &client : clients)
            client.start(SandboxService::binary("velmar-sentinex-cli"), {"stop"});
        for (QProcess &client : clients)
            QVERIFY(client.waitForFinished());
        QCOMPARE(terminate(run), 0);
        const QString cli = SandboxService::binary("velmar-sentinex-cli");
        const QString detail =
            QStringLiteral(
                "refused caller: pid \\d+, user \"[^\"]+\" \\(uid %1\\), executable \"%2\"")
                .arg(::getuid())
                .arg(QRegularExpression::escape(cli));
        const QString text = readAll(run.log());
        QCOMPARE(text.count(QRegularExpression(detail)), callers);
        QCOMPARE(text.count("invalid invoker!"), callers);
    }

    void versionOption()
    {
        QProcess service;
        service.start(SandboxService::binary("velmar-sentinex-scanner"), {"--version"});
        QVERIFY(service.waitForFinished());
        QCOMPARE(service.exitCode(), 0);
        QCOMPARE(service.readAllStandardOutput(),
                 QByteArray("velmar-sentinex-scanner " SNX_TEST_VERSION "\n"));
    }

    void journalLinesCarryPriorities()
    {
        Run run;
        const QString console = run.root.filePath("console");
        QFile(console).open(QIODevice::WriteOnly);
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(console).constData(), &st), 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("JOURNAL_STREAM", QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino));
        run.process.setStandardErrorFile(console, QIODevice::Append);
        QVERIFY(start(run, env));
        refusedCall();
        QVERIFY(logShows(console, "invalid invoker!"));
        QCOMPARE(terminate(run), 0);

        const QStringList lines = readAll(console).split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.contains("<6>[info] [default] velmar-sentinex-scanner " SNX_TEST_VERSION
                               " starting"));
        bool warning = false;
        for (const QString &line : lines) {
            QVERIFY2(QRegularExpression("^<[0-7]>").match(line).hasMatch(), qPrintable(line));
            warning = warning || (line.startsWith("<4>") && line.endsWith("invalid invoker!"));
        }
        QVERIFY(warning);
        // The file keeps its own line format, time stamp first.
        for (const QString &line : readAll(run.log()).split('\n', Qt::SkipEmptyParts))
            QVERIFY2(timeStamp.match(line).hasMatch(), qPrintable(line));
    }

    void levelFromTheEnvironment_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<bool>("warningWritten");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("unset") << QString() << true << QString();
        QTest::newRow("warning") << "warning" << true << QString();
        QTest::newRow("error") << "error" << false << QString();
        QTest::newRow("a word that names no level")
            << "loud" << true << "VELMAR_SENTINEX_LOG_LEVEL=loud names no log level";
    }

    void levelFromTheEnvironment()
    {
        QFETCH(QString, level);
        QFETCH(bool, warningWritten);
        QFETCH(QString, complaint);
        Run run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!level.isEmpty())
            env.insert("VELMAR_SENTINEX_LOG_LEVEL", level);
        QVERIFY(start(run, env));
        refusedCall();
        QCOMPARE(terminate(run), 0);
        const QString text = readAll(run.log());
        QCOMPARE(text.contains("invalid invoker!"), warningWritten);
        QVERIFY(text.contains(complaint));
    }

    void sigtermEndsAsCleanlyAsExitApp()
    {
        if (privateShm.isEmpty())
            QSKIP("no /dev/shm of the test's own (needs root, and no thread before main)");
        Run run;
        QVERIFY(start(run, QProcessEnvironment::systemEnvironment(), true));
        // Signatures are loaded only from where nobody but root can change them.
        const QString engineDir = run.root.path() + snx::names::ahEngineDir();
        QDir().mkpath(engineDir);
        QVERIFY(::chmod(QFile::encodeName(engineDir).constData(), 0755) == 0);
        QVERIFY(QFile::copy(SandboxService::signaturesDir() + "/starter.ndb",
                            run.root.path() + snx::names::ahEngineDir() + "/starter.ndb"));
        QTemporaryDir files;
        samples::corpus(files.path(), 3, {1});
        ComVelmarSentinexScannerInterface scanner(snx::names::busName(), snx::names::objectPath(),
                                                  QDBusConnection::systemBus());
        SignalLog log;
        scanner.SetEngineType(1).waitForFinished();
        scanner.DoDissection({files.path()}).waitForFinished();
        QVERIFY(log.waitFor("SendDissectionFinished"));
        QCOMPARE(log.count("SendDissectionProgInfo"), 3);
        QVERIFY(!engineTempDirs().isEmpty()); // the Ah engine unpacks there

        QCOMPARE(terminate(run), 0);
        QVERIFY(readAll(run.log()).contains("SIGTERM received: shutting down"));
        QCOMPARE(engineTempDirs(), QStringList());
    }

    void cleanupTestCase()
    {
        if (!privateShm.isEmpty())
            QDir(privateShm).removeRecursively();
    }
};

int main(int argc, char *argv[])
{
    privateShm = makePrivateShm();
    QCoreApplication app(argc, argv);
    TestServiceLog test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_servicelog.moc"
