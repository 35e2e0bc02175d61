// The database worker on its own: statements with awkward values, and moves and copies that
// must neither lose a file nor write where they should not.
#include "cache/filecachedb.h"
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
    void isolate(const QString &path, const QString &digest)
    {
        worker->acceptFileCacheDb(true, 1, path, sql::isolationInsert(path, digest, "t"), digest);
    }
    void restore(const QString &path, const QString &digest)
    {
        worker->acceptFileCacheDb(false, 1, path, sql::isolationDelete(path), digest);
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
        QSignalSpy done(worker.get(), &FileCacheDb::sendTrustProblemFileInfo);
        worker->acceptFileCacheDb(true, 2, path, sql::trustInsert(path, time), QString());
        QCOMPARE(done.size(), 1);
        QCOMPARE(done.first(), (QList<QVariant>{true, path}));
        QSqlQuery q(db);
        QVERIFY(q.exec("select * from trustfiles"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), path);
        QCOMPARE(q.value(1).toString(), time);
        QVERIFY(!q.next());
        worker->acceptFileCacheDb(false, 2, path, sql::trustDelete(path), QString());
        QVERIFY(q.exec("select count(*) from trustfiles") && q.next());
        QCOMPARE(q.value(0).toInt(), 0);
    }

    void pathsThatLookLikeOptions()
    {
        QDir::setCurrent(tmp.path());
        const QString path = QStringLiteral("-rf \"x\"");
        write(path, "dash");
        QSignalSpy done(worker.get(), &FileCacheDb::sendIsolationProblemFileInfo);
        isolate(path, md5("dash"));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(read(quarantine + md5("dash")), QByteArray("dash"));
        restore(path, md5("dash"));
        QCOMPARE(read(path), QByteArray("dash"));
        QCOMPARE(done.size(), 2);
    }

    void isolationMovesOnlyARegularFile()
    {
        const QString target = tmp.filePath("precious");
        write(target, "precious");
        const QString link = tmp.filePath("link-to-precious");
        QVERIFY(QFile::link(target, link));
        isolate(link, md5("precious"));
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(read(target), QByteArray("precious"));
        QVERIFY(!QFile::exists(quarantine + md5("precious")));

        const QString fifo = tmp.filePath("fifo");
        QVERIFY(::mkfifo(QFile::encodeName(fifo), 0600) == 0);
        isolate(fifo, md5(""));
        QVERIFY(QFileInfo::exists(fifo));
    }

    void restoreNeverOverwritesNorFollowsALink()
    {
        const QByteArray content = "restorable";
        const QString original = tmp.filePath("restorable");
        write(original, content);
        isolate(original, md5(content));
        QVERIFY(!QFile::exists(original));

        // Something took the path meanwhile: it stays, and so does the quarantine copy.
        write(original, "newer");
        restore(original, md5(content));
        QCOMPARE(read(original), QByteArray("newer"));
        QVERIFY(QFile::remove(original));

        const QString elsewhere = tmp.filePath("elsewhere");
        QVERIFY(QFile::link(elsewhere, original)); // dangling
        restore(original, md5(content));
        QVERIFY(!QFile::exists(elsewhere));
        QVERIFY(QFile::remove(original));

        restore(original, md5(content));
        QCOMPARE(read(original), content);
        QVERIFY(QFile::exists(quarantine + md5(content)));
    }

    void linkOnTheWayOwnedBySomeoneElse()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to give a link another owner");
        const QString realDir = tmp.filePath("real-dir");
        QVERIFY(QDir().mkpath(realDir));
        const QString via = tmp.filePath("via");
        QVERIFY(QFile::link(realDir, via));
        QVERIFY(::lchown(QFile::encodeName(via), 65534, 65534) == 0);
        write(realDir + "/bad", "via link");
        isolate(via + "/bad", md5("via link"));
        QVERIFY(QFile::exists(realDir + "/bad"));
        write(quarantine + md5("other"), "other");
        restore(via + "/new", md5("other"));
        QVERIFY(!QFile::exists(realDir + "/new"));
    }

    void identicalContentSharesOneQuarantineFile()
    {
        const QString a = tmp.filePath("twin-a");
        const QString b = tmp.filePath("twin-b");
        write(a, "twin");
        write(b, "twin");
        isolate(a, md5("twin"));
        isolate(b, md5("twin"));
        QVERIFY(!QFile::exists(a) && !QFile::exists(b));
        restore(a, md5("twin"));
        restore(b, md5("twin"));
        QCOMPARE(read(a), QByteArray("twin"));
        QCOMPARE(read(b), QByteArray("twin"));
    }
};

QTEST_GUILESS_MAIN(TestFileCacheDb)
#include "tst_filecachedb.moc"
