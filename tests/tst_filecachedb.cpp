// The database worker on its own: statements with awkward values, and moves and copies that
// must neither lose a file nor write where they should not.
#include "cache/filecachedb.h"
#include "cache/isolationrecords.h"
#include "cache/scancachesql.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

namespace sql = snx::scancachesql;

class TestFileCacheDb : public QObject
{
    Q_OBJECT
    QTemporaryDir tmp;
    QString quarantine;
    QSqlDatabase db;
    std::unique_ptr<FileCacheDb> worker;

    static QString md5(const QByteArray &content)
    {
        return QString::fromLatin1(
            QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    }
    static void write(const QString &path, const QByteArray &content)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Runs one change as root and returns what the worker reported.
    snx::ProblemFileOutcome change(snx::ProblemFileChange::Kind kind, const QString &path,
                                   const QString &time = QStringLiteral("t"))
    {
        snx::ProblemFileChange c;
        c.kind = kind;
        c.path = path;
        c.time = time;
        c.caller = snx::CallerIdentity::root();
        QSignalSpy done(worker.get(), &FileCacheDb::sendProblemFileOutcome);
        worker->acceptFileCacheDb(c);
        if (done.size() != 1)
            return {};
        return done.first().first().value<snx::ProblemFileOutcome>();
    }
    bool isolate(const QString &path)
    {
        return change(snx::ProblemFileChange::Isolate, path).applied;
    }
    bool restore(const QString &path)
    {
        return change(snx::ProblemFileChange::Restore, path).applied;
    }

private slots:
    void initTestCase()
    {
        quarantine = tmp.filePath("isolation/");
        QVERIFY(QDir().mkpath(quarantine));
        db = QSqlDatabase::addDatabase(sql::driver, sql::connectionName);
        db.setDatabaseName(tmp.filePath("scan_cache.db"));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(sql::createTrustTable()));
        QVERIFY(q.exec(sql::createIsolationTable()));
        worker = std::make_unique<FileCacheDb>(db, quarantine);
    }

    void valuesReachTheDatabaseIntact_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("time");
        QTest::newRow("quotes and placeholders") << "/home/u/it's a %1 \"file\".exe"
                                                 << "2021 %2 '";
        QTest::newRow("sql in a name") << "/x'); DROP TABLE trustfiles; --"
                                       << "%3%1";
        QTest::newRow("newline and backslash") << "/a\nb\\c"
                                               << "t";
    }

    void valuesReachTheDatabaseIntact()
    {
        QFETCH(QString, path);
        QFETCH(QString, time);
        // Trusting needs a readable file; root reads any that exists.
        const QString file = tmp.path() + path;
        QDir().mkpath(QFileInfo(file).path());
        write(file, "x");
        const snx::ProblemFileOutcome done = change(snx::ProblemFileChange::Trust, file, time);
        QVERIFY(done.applied);
        QCOMPARE(done.change.path, file);
        QSqlQuery q(db);
        QVERIFY(q.exec("select * from trustfiles"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), file);
        QCOMPARE(q.value(1).toString(), time);
        QVERIFY(!q.next());
        QVERIFY(change(snx::ProblemFileChange::Untrust, file).applied);
        QVERIFY(q.exec("select count(*) from trustfiles") && q.next());
        QCOMPARE(q.value(0).toInt(), 0);
    }

    void pathsThatLookLikeOptions()
    {
        const QString path = tmp.filePath(QStringLiteral("-rf \"x\""));
        write(path, "dash");
        QVERIFY(isolate(path));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(read(quarantine + md5("dash")), QByteArray("dash"));
        QVERIFY(restore(path));
        QCOMPARE(read(path), QByteArray("dash"));
    }

    void isolationMovesOnlyARegularFile()
    {
        const QString target = tmp.filePath("precious");
        write(target, "precious");
        const QString link = tmp.filePath("link-to-precious");
        QVERIFY(QFile::link(target, link));
        QVERIFY(!isolate(link));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(read(target), QByteArray("precious"));
        QVERIFY(!QFile::exists(quarantine + md5("precious")));

        const QString fifo = tmp.filePath("fifo");
        QVERIFY(::mkfifo(QFile::encodeName(fifo), 0600) == 0);
        QVERIFY(!isolate(fifo));
        QVERIFY(QFileInfo::exists(fifo));
        QVERIFY(!isolate(QStringLiteral("relative/name")));
        QVERIFY(!isolate(tmp.filePath("../escape")));
    }

    void restoreNeverOverwritesNorFollowsALink()
    {
        const QByteArray content = "restorable";
        const QString original = tmp.filePath("restorable");
        write(original, content);
        QVERIFY(isolate(original));
        QVERIFY(!QFile::exists(original));

        // Something took the path meanwhile: it stays, and so does the quarantine copy.
        write(original, "newer");
        QVERIFY(!restore(original));
        QCOMPARE(read(original), QByteArray("newer"));
        QVERIFY(QFile::remove(original));

        const QString elsewhere = tmp.filePath("elsewhere");
        QVERIFY(QFile::link(elsewhere, original)); // dangling
        QVERIFY(!restore(original));
        QVERIFY(!QFile::exists(elsewhere));
        QVERIFY(QFile::remove(original));

        // Each refusal kept the record, so this one still finds it.
        QVERIFY(restore(original));
        QCOMPARE(read(original), content);
        QVERIFY(QFile::exists(quarantine + md5(content)));
    }

    void noLinkOnTheWayIsFollowed()
    {
        const QString realDir = tmp.filePath("real-dir");
        QVERIFY(QDir().mkpath(realDir));
        const QString via = tmp.filePath("via");
        QVERIFY(QFile::link(realDir, via));
        write(realDir + "/bad", "via link");
        QVERIFY(!isolate(via + "/bad"));
        QVERIFY(QFile::exists(realDir + "/bad"));
        write(realDir + "/kept", "kept");
        QVERIFY(isolate(realDir + "/kept"));
        // The directory becomes a link to another one: the restore must not write through it.
        QVERIFY(QDir().rename(realDir, realDir + "2"));
        QVERIFY(QFile::link(realDir + "2", realDir));
        QVERIFY(!restore(realDir + "/kept"));
        QVERIFY(!QFile::exists(realDir + "2/kept"));
    }

    // Linked into quarantine, the file keeps its inode: whoever still holds it open for writing
    // can change it there. A restore gives back only the bytes that were isolated.
    void quarantineFileChangedSinceIsNotRestored()
    {
        const QString path = tmp.filePath("kept-open");
        write(path, "original");
        QFile held(path);
        QVERIFY(held.open(QIODevice::ReadWrite));
        QVERIFY(isolate(path));
        QVERIFY(held.seek(0) && held.write("tampered") == 8 && held.flush());
        QVERIFY(!restore(path));
        QVERIFY(!QFile::exists(path));
        QVERIFY(held.seek(0) && held.write("original") == 8 && held.flush());
        QVERIFY(restore(path));
        QCOMPARE(read(path), QByteArray("original"));
    }

    // A kill between writing a record and placing its file: the next start keeps the record if
    // the file got there and drops it if not, and removes partial copies.
    void startSettlesWhatAKillLeft()
    {
        snx::IsolationRecords records(db);
        snx::IsolationRecord placed;
        placed.path = tmp.filePath("placed");
        placed.md5 = md5("placed");
        placed.time = "t";
        placed.quarantineName = placed.md5;
        write(quarantine + placed.md5, "placed");
        snx::IsolationRecord lost = placed;
        lost.path = tmp.filePath("never-moved");
        lost.quarantineName = md5("never-moved");
        QVERIFY2(records.addPending(placed) >= 0, qPrintable(records.lastError()));
        QVERIFY(records.addPending(lost) >= 0);
        write(quarantine + ".partial-1234", "half");

        snx::IsolationRecords::settlePending(db, quarantine);
        worker->initData();
        QCOMPARE(records.forPath(placed.path).size(), 1);
        QVERIFY(records.forPath(lost.path).isEmpty());
        QVERIFY(!QFile::exists(quarantine + ".partial-1234"));
        QVERIFY(QFile::exists(quarantine + placed.md5));
        QSqlQuery q(db);
        QVERIFY(q.exec("select count(*) from isolationdetails where done=0") && q.next());
        QCOMPARE(q.value(0).toInt(), 0);
    }

    // A file that others may write keeps its inode in quarantine, so nothing else shares it: the
    // next isolation of that content gets a copy of root's, and the ones after share the copy.
    void onlyAFileNobodyElseCanWriteIsShared()
    {
        const QString open = tmp.filePath("open-to-all");
        const QString second = tmp.filePath("second");
        const QString third = tmp.filePath("third");
        for (const QString &path : {open, second, third})
            write(path, "common");
        QVERIFY(::chmod(QFile::encodeName(open), 0666) == 0);
        QFile held(open);
        QVERIFY(held.open(QIODevice::ReadWrite));
        QVERIFY(isolate(open));
        QVERIFY(isolate(second));
        QVERIFY(isolate(third));
        QCOMPARE(QDir(quarantine).entryList({md5("common") + "*"}, QDir::Files),
                 (QStringList{md5("common"), md5("common") + "-1"}));
        QVERIFY(held.seek(0) && held.write("CHANGE") == 6 && held.flush());
        QVERIFY(restore(second));
        QVERIFY(restore(third));
        QCOMPARE(read(second), QByteArray("common"));
        QCOMPARE(read(third), QByteArray("common"));
        QVERIFY(!restore(open));
    }

    void identicalContentSharesOneQuarantineFile()
    {
        const QString a = tmp.filePath("twin-a");
        const QString b = tmp.filePath("twin-b");
        write(a, "twin");
        write(b, "twin");
        QVERIFY(::chmod(QFile::encodeName(a), 0600) == 0);
        QVERIFY(::chmod(QFile::encodeName(b), 0644) == 0);
        QVERIFY(isolate(a));
        QVERIFY(isolate(b));
        QVERIFY(!QFile::exists(a) && !QFile::exists(b));
        QCOMPARE(QDir(quarantine).entryList({md5("twin") + "*"}, QDir::Files),
                 QStringList{md5("twin")});
        QVERIFY(restore(a));
        QVERIFY(restore(b));
        QCOMPARE(read(a), QByteArray("twin"));
        QCOMPARE(read(b), QByteArray("twin"));
        QCOMPARE(QFileInfo(a).permissions() & QFile::ReadOther, QFile::Permissions());
        QVERIFY(QFileInfo(b).permissions() & QFile::ReadOther);
    }
};

QTEST_GUILESS_MAIN(TestFileCacheDb)
#include "tst_filecachedb.moc"
