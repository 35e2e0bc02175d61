// Which streams a signature load reads without stdio's lock: only those opened for reading, on
// the loading thread, on the very database file being loaded. And that the service's programs
// route libclamav's fopen through the engine library, without which loads stay slow.
#include <unlockeddatabasereads.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>
#include <stdio_ext.h>
#include <thread>

namespace {

enum class Opener { Fopen, Fopen64 };
const int unlocked = FSETLOCKING_BYCALLER;
const int locked = FSETLOCKING_INTERNAL;

// How stdio locks a stream opened here as described; -1 when it did not open.
int lockingOf(Opener opener, const QByteArray &path, const char *mode)
{
    FILE *stream = opener == Opener::Fopen ? std::fopen(path.constData(), mode)
                                           : fopen64(path.constData(), mode);
    if (!stream)
        return -1;
    const int locking = __fsetlocking(stream, FSETLOCKING_QUERY);
    std::fclose(stream);
    return locking;
}

} // namespace

Q_DECLARE_METATYPE(Opener)

class TestDatabaseReads : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QByteArray database;
    QByteArray otherFile;

private slots:
    void initTestCase()
    {
        database = QFile::encodeName(dir.filePath(QStringLiteral("bench.hdb")));
        otherFile = QFile::encodeName(dir.filePath(QStringLiteral("other.hdb")));
        for (const QByteArray &path : {database, otherFile}) {
            QFile f(QFile::decodeName(path));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("44d88612fea8a8f36de82e1278abb02f:68:Eicar-Test-Signature\n");
        }
        // The other stream and the other thread must exist for stdio to lock at all.
        std::thread([] {}).join();
    }

    void onlyTheLoadingThreadsReadsOfTheDatabase_data()
    {
        QTest::addColumn<Opener>("opener");
        QTest::addColumn<bool>("inLoad");
        QTest::addColumn<bool>("sameFile");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<bool>("onOtherThread");
        QTest::addColumn<int>("locking");
        for (Opener opener : {Opener::Fopen, Opener::Fopen64}) {
            const char *name = opener == Opener::Fopen ? "fopen" : "fopen64";
            auto row = [&](const char *what) -> QTestData & {
                return QTest::newRow(qPrintable(QStringLiteral("%1: %2").arg(name, what)))
                       << opener;
            };
            row("database read in its load")
                << true << true << QByteArray("r") << false << unlocked;
            row("database read as binary in its load")
                << true << true << QByteArray("rb") << false << unlocked;
            row("database opened for update in its load")
                << true << true << QByteArray("r+") << false << locked;
            row("database appended to in its load")
                << true << true << QByteArray("a") << false << locked;
            row("other file in a load") << true << false << QByteArray("r") << false << locked;
            row("database outside a load") << false << true << QByteArray("r") << false << locked;
            row("database read by another thread during the load")
                << true << true << QByteArray("r") << true << locked;
        }
    }

    void onlyTheLoadingThreadsReadsOfTheDatabase()
    {
        QFETCH(Opener, opener);
        QFETCH(bool, inLoad);
        QFETCH(bool, sameFile);
        QFETCH(QByteArray, mode);
        QFETCH(bool, onOtherThread);
        QFETCH(int, locking);
        const QByteArray path = sameFile ? database : otherFile;
        int seen = -2;
        {
            std::unique_ptr<avcore::UnlockedDatabaseReads> load;
            if (inLoad)
                load = std::make_unique<avcore::UnlockedDatabaseReads>(database.constData());
            if (onOtherThread)
                std::thread([&] { seen = lockingOf(opener, path, mode.constData()); }).join();
            else
                seen = lockingOf(opener, path, mode.constData());
        }
        QCOMPARE(seen, locking);
        // The load is over: the same stream is locked again.
        QCOMPARE(lockingOf(opener, database, "r"), locked);
    }

    void nestedLoadsRestoreTheOuterFile()
    {
        avcore::UnlockedDatabaseReads outer(database.constData());
        {
            avcore::UnlockedDatabaseReads inner(otherFile.constData());
            QCOMPARE(lockingOf(Opener::Fopen64, otherFile, "r"), unlocked);
            QCOMPARE(lockingOf(Opener::Fopen64, database, "r"), locked);
        }
        QCOMPARE(lockingOf(Opener::Fopen64, database, "r"), unlocked);
        QCOMPARE(lockingOf(Opener::Fopen64, otherFile, "r"), locked);
    }

    // The production program's libraries in the order the dynamic linker searches them: the
    // engine library's fopen must come before the C library's for libclamav's calls.
    void serviceRoutesLibclamavsOpensThroughTheEngineLibrary()
    {
#ifdef SNX_SANITIZED
        QSKIP("the sanitizer runtime's fopen comes first and passes calls on to ours");
#endif
        QProcess scanner;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("bindings"));
        // Every symbol bound at start, not at its first call.
        env.insert(QStringLiteral("LD_BIND_NOW"), QStringLiteral("1"));
        env.insert(QStringLiteral("LD_DEBUG_OUTPUT"), dir.filePath(QStringLiteral("bindings")));
        scanner.setProcessEnvironment(env);
        scanner.start(QStringLiteral(SNX_BIN_DIR "/velmar-sentinex-scanner"),
                      {QStringLiteral("--version")});
        QVERIFY(scanner.waitForStarted(30000));
        const qint64 pid = scanner.processId();
        QVERIFY(scanner.waitForFinished(30000));
        QCOMPARE(scanner.exitCode(), 0);
        QFile bindings(dir.filePath(QStringLiteral("bindings.%1").arg(pid)));
        QVERIFY2(bindings.open(QIODevice::ReadOnly), qPrintable(bindings.fileName()));
        bool routed = false;
        for (const QByteArray &line : bindings.readAll().split('\n'))
            if (line.contains("binding file ") && line.contains("/libclamav.so") &&
                line.contains("/libavcore.so") && line.contains("symbol `fopen64'"))
                routed = true;
        QVERIFY(routed);
    }
};

QTEST_GUILESS_MAIN(TestDatabaseReads)
#include "tst_databasereads.moc"
