// The scan cache, quarantine and the trust / isolate operations, end to end: the real service,
// its SQLite file, and real files moved in and out of quarantine.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString configDir = snx::names::configDir();
const QString dbFile = configDir + QStringLiteral("scan_cache.db");
const QString quarantine = configDir + QStringLiteral("isolation/");

QString md5(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

// Reads a table of the service's database file on a connection of the test's own.
QList<QStringList> rows(const QString &file, const QString &table)
{
    QList<QStringList> out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "reader");
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec("select * from " + table))
                while (q.next()) {
                    QStringList row;
                    for (int i = 0; i < q.record().count(); ++i)
                        row << q.value(i).toString();
                    out << row;
                }
        }
    }
    QSqlDatabase::removeDatabase("reader");
    return out;
}

QStringList schema(const QString &file)
{
    QStringList out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "schema");
        db.setDatabaseName(file);
        db.open();
        QSqlQuery q(db);
        q.exec("select sql from sqlite_master order by name");
        while (q.next())
            out << q.value(0).toString();
    }
    QSqlDatabase::removeDatabase("schema");
    return out;
}

bool sqlite(const QString &file, const QStringList &statements)
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "writer");
        db.setDatabaseName(file);
        ok = db.open();
        QSqlQuery q(db);
        for (const QString &s : statements)
            ok = ok && q.exec(s);
    }
    QSqlDatabase::removeDatabase("writer");
    return ok;
}

// Scans the paths and returns the paths reported infected.
QStringList scan(SandboxService &service, const QStringList &paths)
{
    SignalLog log;
    service.scanner().DoDissection(paths).waitForFinished();
    log.waitFor("SendDissectionFinished");
    QStringList found;
    for (const ReceivedSignal &m : log.named("SendDissectionProgInfo"))
        if (!m.arguments().at(3).toString().isEmpty())
            found << m.arguments().at(0).toString();
    return found;
}

// A running service whose scan has just reported `bad`, a file carrying the test string: where
// every test of a change to one detection starts. `ready` is false when a step failed.
struct Detection
{
    explicit Detection(const QString &name)
    {
        QVERIFY(service.start());
        bad = dir.filePath(name);
        samples::write(bad, samples::eicar);
        QCOMPARE(scan(service, {bad}), QStringList{bad});
        ready = true;
    }
    SandboxService service;
    QTemporaryDir dir;
    QString bad;
    bool ready = false;
};

} // namespace

class TestScanCache : public QObject
{
    Q_OBJECT
    TestBus bus;
    static bool root() { return ::geteuid() == 0; }

    // Runs one change and waits for its completion signal.
    bool change(SandboxService &service, const QString &kind, bool flag, const QString &path)
    {
        SignalLog log;
        const QString done =
            kind == "trust" ? "SendTrustProblemFileInfo" : "SendIsolationProblemFileInfo";
        QDBusPendingReply<> r = kind == "trust"
                                    ? service.scanner().TrustProblemFile(flag, path)
                                    : service.scanner().IsolationProblemFile(flag, path);
        r.waitForFinished();
        if (r.isError() || !log.waitFor(done, 1, 20000))
            return false;
        const ReceivedSignal m = log.named(done).first();
        return m.arguments() == QList<QVariant>{flag, path};
    }

    QString query(SandboxService &service, bool trusted)
    {
        SignalLog log;
        const QString name = trusted ? "SendTrustProblemFiles" : "SendIsolationProblemFiles";
        trusted ? service.scanner().QueryTrustProblemFiles().waitForFinished()
                : service.scanner().QueryIsolationProblemFiles().waitForFinished();
        log.waitFor(name);
        return log.named(name).value(0).arguments().value(0).toString();
    }

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
    }

    void firstStartCreatesTheCache()
    {
        SandboxService service;
        QVERIFY(!QFileInfo::exists(service.path(configDir)));
        QVERIFY(service.start());
        QVERIFY(QFileInfo(service.path(dbFile)).isFile());
        QCOMPARE(schema(service.path(dbFile)),
                 (QStringList{"CREATE TABLE isolationfiles (filepath VARCHAR NOT NULL, md5 VARCHAR "
                              "NOT NULL, datetimes datetime NOT NULL)",
                              "CREATE TABLE trustfiles (filepath VARCHAR NOT NULL, datetimes "
                              "datetime NOT NULL, uid INTEGER NOT NULL DEFAULT 0)"}));
        QCOMPARE(query(service, true), QString());
        QCOMPARE(query(service, false), QString());
        QCOMPARE(service.exitApp(), 0);
    }

    void existingCacheIsLoadedAsItStands()
    {
        SandboxService service;
        QDir().mkpath(service.path(configDir));
        // Tables made differently from ours: a CREATE by the service would show in the schema.
        const QStringList made = {
            "CREATE TABLE trustfiles (filepath varchar NOT NULL, datetimes datetime NOT NULL)",
            "CREATE TABLE isolationfiles (filepath varchar NOT NULL, md5 varchar NOT NULL, "
            "datetimes datetime NOT NULL)"};
        QVERIFY(sqlite(
            service.path(dbFile),
            made + QStringList{"INSERT INTO trustfiles VALUES ('/b|x*', '2021-03-05 08:00:00')",
                               "INSERT INTO trustfiles VALUES ('/a.exe', '2021-03-04 17:05:09')",
                               "INSERT INTO trustfiles VALUES ('/a.exe', '2021-03-06 10:00:00')",
                               "INSERT INTO isolationfiles VALUES ('/q', "
                               "'d41d8cd98f00b204e9800998ecf8427e', '2021-01-01 00:00:00')"}));
        SignalLog startup;
        QVERIFY(service.start());
        // Only the trust owners' column is added; rows from before count as root's.
        QCOMPARE(schema(service.path(dbFile)),
                 (QStringList{made[1],
                              QString(made[0]).replace(
                                  " NOT NULL)", " NOT NULL, uid INTEGER NOT NULL DEFAULT 0)")}));
        QCOMPARE(query(service, true),
                 QStringLiteral("/a.exe|2021-03-06 10:00:00*/b|x*|2021-03-05 08:00:00*"));
        QCOMPARE(query(service, false), QStringLiteral("/q|2021-01-01 00:00:00*"));
        QCOMPARE(service.exitApp(), 0);
    }

    void tableThatCannotBeCreated()
    {
        SandboxService service;
        QDir().mkpath(service.path(configDir));
        // A view holds the name: the table cannot be made, so nothing is loaded.
        QVERIFY(sqlite(service.path(dbFile), {"CREATE VIEW trustfiles AS SELECT 1"}));
        QVERIFY(service.start());
        QCOMPARE(query(service, true), QString());
        QVERIFY(service.logText().contains("scan cache table not created:"));
        QCOMPARE(service.exitApp(), 0);
    }

    void trustTwiceUntrustOnce()
    {
        Detection detection("bad.com");
        QVERIFY(detection.ready);
        SandboxService &service = detection.service;
        const QString &bad = detection.bad;
        QVERIFY(change(service, "trust", true, bad));
        QVERIFY(change(service, "trust", true, bad));
        QCOMPARE(rows(service.path(dbFile), "trustfiles").size(), 2);
        QVERIFY(query(service, true).startsWith(bad + "|"));
        QCOMPARE(query(service, true).count('*'), 1);

        // A trusted detection goes out as clean, with its name.
        SignalLog log;
        service.scanner().DoDissection({bad}).waitForFinished();
        QVERIFY(log.waitFor("SendDissectionProgInfo"));
        QCOMPARE(log.named("SendDissectionProgInfo").first().arguments(),
                 (QList<QVariant>{bad, 1.0, 0, "EICAR_Test_File"}));

        QVERIFY(change(service, "trust", false, bad));
        QCOMPARE(rows(service.path(dbFile), "trustfiles").size(), 0);
        QCOMPARE(query(service, true), QString());
        // Withdrawn once, the trust is gone for good: the detection is reported again.
        log.clear();
        service.scanner().DoDissection({bad}).waitForFinished();
        QVERIFY(log.waitFor("SendDissectionFinished"));
        QCOMPARE(log.named("SendDissectionProgInfo").first().arguments(),
                 (QList<QVariant>{bad, 1.0, 1, "EICAR_Test_File"}));
        QCOMPARE(service.exitApp(), 0);
    }

    // A restored isolation keeps a row while its quarantine file counts against its user; the
    // same file isolated and restored again and again must not grow the table with it.
    void isolateRestoreLoopKeepsOneRecord()
    {
        Detection detection("bad.com");
        QVERIFY(detection.ready);
        SandboxService &service = detection.service;
        const QString &bad = detection.bad;
        for (int round = 0; round < 4; ++round) {
            if (round > 0)
                QCOMPARE(scan(service, {bad}), QStringList{bad});
            QVERIFY(change(service, "isolate", true, bad));
            QVERIFY(!QFileInfo::exists(bad));
            QVERIFY(change(service, "isolate", false, bad));
            QVERIFY(QFileInfo::exists(bad));
        }
        QCOMPARE(rows(service.path(dbFile), "isolationfiles").size(), 0);
        QCOMPARE(rows(service.path(dbFile), "isolationdetails").size(), 1);
        QCOMPARE(service.exitApp(), 0);
    }

    void isolateAndRestore()
    {
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir dir;
        const QString bad = dir.filePath("it's a %1 \"file\".exe");
        QVERIFY(samples::write(bad, samples::eicar));
        QVERIFY(::chmod(QFile::encodeName(bad), 0640) == 0);
        const bool root = ::geteuid() == 0;
        if (root)
            QVERIFY(::chown(QFile::encodeName(bad), 65534, 65534) == 0);
        struct stat before;
        ::stat(QFile::encodeName(bad), &before);

        // Not reported by the current scan: ignored without a word.
        SignalLog silent;
        service.scanner().IsolationProblemFile(true, bad).waitForFinished();
        QTest::qWait(300);
        QVERIFY(silent.all().isEmpty());

        service.scanner().SetProblemFileOperatingSum(1).waitForFinished();
        QCOMPARE(scan(service, {dir.path()}), QStringList{bad});
        QVERIFY(change(service, "isolate", true, bad));
        const QString quarantined = service.path(quarantine) + md5(samples::eicar);
        QVERIFY(!QFileInfo::exists(bad));
        QVERIFY(QFileInfo(quarantined).isFile());
        struct stat dirStat;
        QVERIFY(::stat(QFile::encodeName(service.path(quarantine)), &dirStat) == 0);
        QCOMPARE(dirStat.st_mode & 0777, mode_t(0700));
        const QList<QStringList> stored = rows(service.path(dbFile), "isolationfiles");
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored[0].mid(0, 2), (QStringList{bad, md5(samples::eicar)}));
        QVERIFY(query(service, false).startsWith(bad + "|"));
        QCOMPARE(service.scanner().GetProblemFileOperatingSum().value(), 0);

        QVERIFY(change(service, "isolate", false, bad));
        QCOMPARE(service.scanner().GetProblemFileOperatingSum().value(), -1);
        QVERIFY(QFileInfo(bad).isFile());
        QVERIFY(QFileInfo(quarantined).isFile()); // the quarantine copy stays
        struct stat after;
        ::stat(QFile::encodeName(bad), &after);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        if (root)
            QCOMPARE(after.st_uid, uid_t(65534));
        QCOMPARE(rows(service.path(dbFile), "isolationfiles").size(), 0);
        QCOMPARE(query(service, false), QString());
        QCOMPARE(service.exitApp(), 0);
    }

    void restoreWhenTheDirectoryIsGone()
    {
        Detection detection("gone/bad.com");
        QVERIFY(detection.ready);
        SandboxService &service = detection.service;
        const QTemporaryDir &dir = detection.dir;
        const QString &bad = detection.bad;
        QVERIFY(change(service, "isolate", true, bad));
        QVERIFY(QDir(dir.filePath("gone")).removeRecursively());
        QVERIFY(change(service, "isolate", false, bad));
        QVERIFY(!QFileInfo::exists(dir.filePath("gone")));
        // Refused, so the record stays for a later try.
        QCOMPARE(rows(service.path(dbFile), "isolationfiles").size(), 1);
        QVERIFY(service.logText().contains("restore skipped, the former directory is gone:"));
        QVERIFY(QDir().mkdir(dir.filePath("gone")));
        QVERIFY(change(service, "isolate", false, bad));
        QCOMPARE(QFile(bad).size(), samples::eicar.size());
        QCOMPARE(rows(service.path(dbFile), "isolationfiles").size(), 0);
        // Restoring what was never isolated still completes.
        QVERIFY(change(service, "isolate", false, dir.filePath("never")));
        QCOMPARE(service.exitApp(), 0);
    }

    void unreadableFileStaysInPlace()
    {
        Detection detection("vanishing.com");
        QVERIFY(detection.ready);
        SandboxService &service = detection.service;
        const QString &bad = detection.bad;
        // Replaced by a directory: not a file, so nothing is moved and nothing recorded.
        QVERIFY(QFile::remove(bad));
        QVERIFY(QDir().mkdir(bad));
        QVERIFY(change(service, "isolate", true, bad));
        QVERIFY(QFileInfo(bad).isDir());
        QCOMPARE(rows(service.path(dbFile), "isolationfiles").size(), 0);
        QCOMPARE(query(service, false), QString());
        QVERIFY(service.logText().contains("isolation not done: not a regular file:"));
        QVERIFY(QDir(service.path(quarantine))
                    .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                    .isEmpty());
        QCOMPARE(service.exitApp(), 0);
    }

    void failedStatementAndFailedMoveAreLogged()
    {
        Detection detection("bad.com");
        QVERIFY(detection.ready);
        SandboxService &service = detection.service;
        const QString &bad = detection.bad;
        // The quarantine directory is a plain file: nothing can be put into it.
        QDir().mkpath(service.path(configDir));
        QVERIFY(samples::write(service.path(quarantine).chopped(1), "in the way"));
        QVERIFY(change(service, "isolate", true, bad));
        QVERIFY(QFileInfo(bad).isFile());
        QVERIFY(service.logText().contains(
            "isolation not done: isolation failed, no quarantine directory (Not a directory):"));

        // The database file is no database any more: the statement fails, the change completes.
        QVERIFY(samples::write(service.path(dbFile), QByteArray(8192, 'x')));
        QVERIFY(change(service, "trust", true, bad));
        QVERIFY(waitFor([&] { return service.logText().contains("file insert/delete failed:"); }));
        QCOMPARE(service.exitApp(), 0);
    }

    void completionsComeInRequestOrder()
    {
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir dir;
        const QStringList infected =
            samples::corpus(dir.path(), 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
        QCOMPARE(scan(service, {dir.path()}).size(), 10);
        SignalLog log;
        QList<QList<QVariant>> sent;
        for (int i = 0; i < 10; ++i) {
            service.scanner().TrustProblemFile(i % 2 == 0, infected[i]);
            sent << QList<QVariant>{i % 2 == 0, infected[i]};
            service.scanner().IsolationProblemFile(true, infected[i]);
            sent << QList<QVariant>{true, infected[i]};
        }
        QVERIFY(waitFor([&] {
            return log.count("SendTrustProblemFileInfo") +
                       log.count("SendIsolationProblemFileInfo") ==
                   20;
        }));
        QList<QList<QVariant>> got;
        for (const ReceivedSignal &m : log.all())
            if (m.member().endsWith("ProblemFileInfo"))
                got << m.arguments();
        QCOMPARE(got, sent);
        QCOMPARE(service.exitApp(), 0);
    }

    // A scan cache written by the mv/cp quarantine (tests/data/legacy): its rows load as they
    // stand and restore with the owner, mode and times their quarantine files kept.
    void databaseOfTheEarlierQuarantineLoadsAndRestores()
    {
        if (!root())
            QSKIP("needs root to give the quarantine file its owner");
        const QString fixtureDir = QStringLiteral("/tmp/snx-legacy-fixture");
        QDir(fixtureDir).removeRecursively();
        QVERIFY(QDir().mkpath(fixtureDir));
        SandboxService service;
        QDir().mkpath(service.path(quarantine));
        QVERIFY(QFile::copy(SNX_TEST_DATA_DIR "/legacy/scan_cache.db", service.path(dbFile)));
        QVERIFY(::chmod(QFile::encodeName(service.path(dbFile)).constData(), 0644) == 0);
        const QByteArray second = samples::eicar + " second";
        const QString a = service.path(quarantine) + md5(samples::eicar);
        QVERIFY(samples::write(a, samples::eicar));
        QVERIFY(::chown(QFile::encodeName(a).constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(QFile::encodeName(a).constData(), 0640) == 0);
        const struct timespec then[2] = {{1580702706, 0}, {1580702706, 0}};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(a).constData(), then, 0) == 0);
        QVERIFY(samples::write(service.path(quarantine) + md5(second), second));
        QVERIFY(service.start());

        QCOMPARE(query(service, false),
                 QStringLiteral("%1/a.com|2026-12-10 11:29:25*%1/b.com|2026-12-10 11:29:25*")
                     .arg(fixtureDir));
        QCOMPARE(query(service, true),
                 QStringLiteral("%1/c.com|2026-12-10 11:29:25*").arg(fixtureDir));
        QVERIFY(change(service, "isolate", false, fixtureDir + "/a.com"));
        QVERIFY(change(service, "isolate", false, fixtureDir + "/b.com"));
        QCOMPARE(QFile(fixtureDir + "/b.com").size(), second.size());
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(fixtureDir + "/a.com").constData(), &st) == 0);
        QCOMPARE(st.st_uid, uid_t(65534));
        QCOMPARE(st.st_mode & 0777, mode_t(0640));
        QCOMPARE(st.st_mtim.tv_sec, time_t(1580702706));
        QCOMPARE(query(service, false), QString());
        QCOMPARE(rows(service.path(dbFile), "isolationfiles").size(), 0);
        QCOMPARE(service.exitApp(), 0);
        QDir(fixtureDir).removeRecursively();
    }

    void restartLoadsWhatWasWritten()
    {
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir dir;
        const QString a = dir.filePath("a|b*.com");
        const QString b = dir.filePath("b.com");
        samples::write(a, samples::eicar);
        samples::write(b, samples::eicar);
        QCOMPARE(scan(service, {a, b}).size(), 2);
        QVERIFY(change(service, "trust", true, a));
        QVERIFY(change(service, "isolate", true, b));
        QCOMPARE(service.exitApp(), 0);

        SignalLog startup;
        QVERIFY(service.restart(SandboxService::Options()));
        QVERIFY(startup.waitFor("SendTrustProblemFiles"));
        const QString trusted =
            startup.named("SendTrustProblemFiles").first().arguments().first().toString();
        QVERIFY2(trusted.startsWith(a + "|") && trusted.endsWith('*'), qPrintable(trusted));
        QVERIFY(query(service, false).startsWith(b + "|"));
        // The restore finds the digest that was stored.
        QVERIFY(change(service, "isolate", false, b));
        QCOMPARE(QFile(b).size(), samples::eicar.size());
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestScanCache)
#include "tst_scancache.moc"
