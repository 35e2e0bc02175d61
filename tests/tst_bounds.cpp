// What a caller cannot make the service do however it sizes or times its input: hang a scan on a
// FIFO swapped in for a checked file, send a signal over the bus's message limit, take paths
// longer than PATH_MAX, or fill the log with refused calls.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
const QString progress = QStringLiteral("SendDissectionProgInfo");
const QString finished = QStringLiteral("SendDissectionFinished");
const QString dbFile = snx::names::databaseFile();
// The service's piece size for list signals.
constexpr int maxPieceBytes = 4 * 1024 * 1024;
// What a caller may log at once before its lines are only counted.
constexpr int refusalBurst = 10;

QDBusMessage call(const QString &method, const QVariantList &args)
{
    QDBusMessage m = QDBusMessage::createMethodCall(snx::names::busName(), snx::names::objectPath(),
                                                    snx::names::busName(), method);
    m.setArguments(args);
    return QDBusConnection::systemBus().call(m, QDBus::Block, 120000);
}

// A path of exactly `bytes` bytes.
QString pathOfBytes(int bytes, QChar fill = QLatin1Char('x'))
{
    return QLatin1Char('/') + QString(bytes - 1, fill);
}

} // namespace

class TestBounds : public QObject
{
    Q_OBJECT
    TestBus bus;

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
    }

    // D2: every listed entry is a try; one FIFO opened by name would block the engine thread for
    // good, and with it the next DoDissection. None may.
    void fileSwappedForAFifoNeverHangsTheScan_data()
    {
        QTest::addColumn<int>("engineType");
        QTest::newRow("ah") << 1;
        QTest::newRow("ris") << 0;
    }

    void fileSwappedForAFifoNeverHangsTheScan()
    {
        QFETCH(int, engineType);
        QTemporaryDir dir;
        const QByteArray target = QFile::encodeName(dir.filePath("swapped.com"));
        const QByteArray regular = QFile::encodeName(dir.filePath("regular"));
        const QByteArray fifo = QFile::encodeName(dir.filePath("fifo"));
        const QByteArray spare = QFile::encodeName(dir.filePath("spare"));
        // Over 1 MiB: the size that made the engines open the file a second time, by name.
        QVERIFY(samples::write(dir.filePath("regular"),
                               samples::eicar + QByteArray(2 * 1024 * 1024, 'a')));
        QCOMPARE(::mkfifo(fifo.constData(), 0644), 0);
        QCOMPARE(::link(regular.constData(), target.constData()), 0);

        SandboxService service;
        SandboxService::Options options;
        options.settingsArgs = QStringList{"--scan-size", "100"};
        // Held before the first file, once the scan's thread has walked the paths.
        options.holdAt = {0};
        QVERIFY(service.start(options));
        service.scanner().SetEngineType(engineType).waitForFinished();
        constexpr int tries = 300;
        SignalLog log;
        // The walk sees a regular file every time; the swapping starts once it is done.
        QStringList requested;
        for (int i = 0; i < tries; ++i)
            requested << QFile::decodeName(target);
        service.scanner().DoDissection(requested).waitForFinished();
        QVERIFY(service.hold().waitHeld(0));
        std::atomic_bool stop{false};
        std::thread swapper([&] {
            while (!stop) {
                for (const QByteArray &source : {fifo, regular}) {
                    if (::link(source.constData(), spare.constData()) == 0)
                        ::rename(spare.constData(), target.constData());
                }
            }
        });
        service.hold().release(0);
        const bool ended = log.waitFor(finished, 1, 120000);
        stop = true;
        swapper.join();
        QVERIFY2(ended, "the scan hung on a FIFO");
        QCOMPARE(log.count(progress), tries);
        for (const ReceivedSignal &m : log.named(progress)) {
            // Either the regular file, scanned whole, or nothing scanned at all.
            const bool detected = m.arguments().at(2).toInt() == 1;
            QCOMPARE(m.arguments().at(3).toString().isEmpty(), !detected);
        }
        // And the next scan is not held up.
        log.clear();
        QDBusPendingReply<> next = service.scanner().DoDissection({dir.filePath("regular")});
        next.waitForFinished();
        QVERIFY(!next.isError());
        QVERIFY(log.waitFor(finished));
        QCOMPARE(log.named(progress).first().arguments().at(2).toInt(), 1);
        QCOMPARE(service.exitApp(), 0);
    }

    void pathsOfPathMaxBytesAreRefused_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<bool>("refused");
        QTest::newRow("scan, PATH_MAX - 1") << "DoDissection" << 4095 << false;
        QTest::newRow("scan, PATH_MAX") << "DoDissection" << 4096 << true;
        QTest::newRow("white list") << "SetScanWhiteList" << 4096 << true;
        QTest::newRow("trust") << "TrustProblemFile" << 4096 << true;
        QTest::newRow("trust, 20 MiB") << "TrustProblemFile" << 20 * 1024 * 1024 << true;
        QTest::newRow("isolate") << "IsolationProblemFile" << 4096 << true;
    }

    void pathsOfPathMaxBytesAreRefused()
    {
        QFETCH(QString, method);
        QFETCH(int, bytes);
        QFETCH(bool, refused);
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir empty;
        const QString path = pathOfBytes(bytes);
        SignalLog log;
        const QDBusMessage reply = method == "DoDissection"
                                       ? call(method, {QStringList{empty.path(), path}})
                                       : call(method, {true, path});
        if (refused) {
            QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
            QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"));
            // It did nothing: no scan, no change reported.
            QTest::qWait(300);
            QVERIFY(log.all().isEmpty());
        } else {
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
            QVERIFY(log.waitFor(finished));
        }
        QCOMPARE(service.exitApp(), 0);
    }

    // D8: lists that no one signal may carry, from a database that an older version filled.
    void longListsComeInPiecesUnderTheBusLimit_data()
    {
        QTest::addColumn<bool>("trusted");
        QTest::newRow("trusted") << true;
        QTest::newRow("isolated") << false;
    }

    void longListsComeInPiecesUnderTheBusLimit()
    {
        QFETCH(bool, trusted);
        SandboxService service;
        QVERIFY(QDir().mkpath(QFileInfo(service.path(dbFile)).path()));
        const QString time = QStringLiteral("2026-01-02 03:04:05");
        QString expected;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "writer");
            db.setDatabaseName(service.path(dbFile));
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec("CREATE TABLE trustfiles (filepath VARCHAR NOT NULL, datetimes "
                           "datetime NOT NULL)"));
            QVERIFY(q.exec("CREATE TABLE isolationfiles (filepath VARCHAR NOT NULL, md5 VARCHAR "
                           "NOT NULL, datetimes datetime NOT NULL)"));
            QVERIFY(db.transaction());
            q.prepare(trusted ? "INSERT INTO trustfiles VALUES (?, ?)"
                              : "INSERT INTO isolationfiles VALUES (?, "
                                "'0123456789abcdef0123456789abcdef', ?)");
            QStringList paths;
            // Two paths of 20 MiB each, and enough of PATH_MAX - 1 bytes for several pieces.
            for (QChar fill : {QLatin1Char('y'), QLatin1Char('z')}) {
                q.addBindValue(pathOfBytes(20 * 1024 * 1024, fill));
                q.addBindValue(time);
                QVERIFY(q.exec());
            }
            for (int i = 0; i < 2500; ++i) {
                const QString path = QStringLiteral("/%1/").arg(i, 5, 10, QLatin1Char('0')) +
                                     QString(4088, QLatin1Char('p'));
                paths << path;
                q.addBindValue(path);
                q.addBindValue(time);
                QVERIFY(q.exec());
            }
            QVERIFY(db.commit());
            paths.sort();
            for (const QString &p : paths)
                expected += p + '|' + time + '*';
        }
        QSqlDatabase::removeDatabase("writer");

        QVERIFY(service.start());
        const QString member = trusted ? "SendTrustProblemFiles" : "SendIsolationProblemFiles";
        SignalLog log;
        call(trusted ? "QueryTrustProblemFiles" : "QueryIsolationProblemFiles", {});
        auto joined = [&] {
            QString text;
            for (const ReceivedSignal &m : log.named(member))
                text += m.arguments().at(0).toString();
            return text;
        };
        auto received = [&] {
            int size = 0;
            for (const ReceivedSignal &m : log.named(member))
                size += m.arguments().at(0).toString().size();
            return size;
        };
        QVERIFY(waitFor([&] { return received() >= expected.size(); }, 60000));
        QVERIFY(log.barrier());
        QVERIFY(joined() == expected);
        QVERIFY(log.count(member) > 1);
        for (const ReceivedSignal &m : log.named(member)) {
            const QString piece = m.arguments().at(0).toString();
            QVERIFY(piece.toUtf8().size() <= maxPieceBytes);
            QVERIFY(piece.endsWith(QStringLiteral("|") + time + "*"));
        }
        QVERIFY(service.logText().contains(trusted ? "2 trusted paths too long to be reported"
                                                   : "2 isolated paths too long"));

        // The client reads a list that comes in pieces as the one list it is.
        QProcess client;
        client.start(SandboxService::binary(QStringLiteral("velmar-sentinex-cli")),
                     {QStringLiteral("list"),
                      trusted ? QStringLiteral("trusted") : QStringLiteral("isolated")});
        QVERIFY(client.waitForFinished(60000));
        QCOMPARE(client.exitCode(), 0);
        QCOMPARE(client.readAllStandardOutput().count('\n'), 2500);
        QCOMPARE(service.exitApp(), 0);
    }

    // Changes that keep failing cost a few log lines a second too, and every one is counted.
    void floodOfFailedChangesLogsBoundedLines()
    {
        SandboxService service;
        QVERIFY(service.start());
        const QString never = QStringLiteral("/nowhere/never-isolated");
        SignalLog log;
        constexpr int restores = 200;
        // In rounds: the bus keeps only so many unanswered calls of one connection.
        for (int round = 0; round < restores / 50; ++round) {
            QList<QDBusPendingCall> calls;
            for (int i = 0; i < 50; ++i)
                calls.append(service.scanner().IsolationProblemFile(false, never));
            for (QDBusPendingCall &call : calls)
                call.waitForFinished();
        }
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo", restores));
        QTest::qWait(1100);
        service.scanner().IsolationProblemFile(false, never).waitForFinished();
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo", restores + 1));
        const QString text = service.logText();
        QVERIFY2(text.count("restore not done") <= 12, qPrintable(text.right(2000)));
        QVERIFY(text.contains(QRegularExpression("\\d+ more changes not done for uid 0")));
        QCOMPARE(service.exitApp(), 0);
    }

    // C8: refused calls cost a few log lines a second, and every one is counted.
    void floodOfRefusedCallsLogsBoundedLines()
    {
        SandboxService service;
        SandboxService::Options options;
        options.allowTestProgram = false;
        QVERIFY(service.start(options));
        constexpr int flood = 3000;
        QElapsedTimer elapsed;
        elapsed.start();
        // In batches: the bus holds at most 128 replies pending for one connection.
        for (int sent = 0; sent < flood; sent += 100) {
            QList<QDBusPendingCall> calls;
            for (int i = 0; i < 100; ++i)
                calls << service.scanner().SetEngineStatus(i);
            for (QDBusPendingCall &c : calls) {
                c.waitForFinished();
                QVERIFY(c.isError());
            }
        }
        const QRegularExpression countLine(QStringLiteral("(\\d+) more refused calls of uid 0"));
        int lines = 0;
        int counted = 0;
        QVERIFY(waitFor(
            [&] {
                const QString log = service.logText();
                lines = log.count(QStringLiteral("invalid invoker!"));
                counted = 0;
                for (auto it = countLine.globalMatch(log); it.hasNext();)
                    counted += it.next().captured(1).toInt();
                return lines + counted == flood;
            },
            10000));
        const int seconds = int(elapsed.elapsed() / 1000) + 1;
        QVERIFY2(lines <= refusalBurst + seconds, qPrintable(QString::number(lines)));
        QCOMPARE(service.scanner().GetEngineStatus().value(), 0);
        service.kill();
    }
};

QTEST_GUILESS_MAIN(TestBounds)
#include "tst_bounds.moc"
