// The engine libraries from several plain threads at once: handles made and dropped while others
// scan, options that differ between handles, a signature file that changes under them, and
// new signature sets switched to while others scan.
// Run under ThreadSanitizer in CI; no Qt thread is involved, so nothing here is suppressed.
#include "samples.h"

#include <avcore.h>
#include <lame.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {
const QByteArray &eicar = samples::eicar;
}

class TestEngineConcurrency : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QByteArray sigDir;
    QByteArray rules;
    QByteArray infected;
    QByteArray clean;

private slots:
    void initTestCase()
    {
        QDir().mkpath(dir.filePath("sigs"));
        QVERIFY(QFile::copy(SNX_SOURCE_DIR "/signatures/starter.ndb",
                            dir.filePath("sigs/starter.ndb")));
        QVERIFY(QFile::copy(SNX_SOURCE_DIR "/signatures/malware.yar", dir.filePath("rules.yar")));
        sigDir = QFile::encodeName(dir.filePath("sigs"));
        rules = QFile::encodeName(dir.filePath("rules.yar"));
        infected = QFile::encodeName(dir.filePath("eicar.com"));
        clean = QFile::encodeName(dir.filePath("clean.txt"));
        QFile f(dir.filePath("eicar.com"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(eicar);
        QFile c(dir.filePath("clean.txt"));
        QVERIFY(c.open(QIODevice::WriteOnly));
        c.write("nothing to see");
    }

    void ahFromManyThreads()
    {
        std::atomic_int wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int round = 0; round < 20; ++round) {
                    avcore_engine *e = avcore_create_engine(12, sigDir.constData());
                    if (!e) {
                        ++wrong;
                        continue;
                    }
                    const int32_t size = (t + 1) * 1024 * 1024;
                    avcore_set_option(e, "archive-max-size", &size);
                    avcore_scan_context ctx = {};
                    for (int i = 0; i < 5; ++i) {
                        avcore_result r;
                        std::memset(&r, 0, sizeof r);
                        const bool bad = i % 2 == 0;
                        const uint8_t found =
                            avcore_scan_file(e, (bad ? infected : clean).constData(), &ctx, &r);
                        if (bool(found) != bad || (bad && std::strlen(r.virus_name) == 0))
                            ++wrong;
                    }
                    avcore_destroy_engine(e);
                }
            });
        for (auto &t : threads)
            t.join();
        QCOMPARE(wrong.load(), 0);
    }

    void risWhileTheDatabaseChanges()
    {
        std::atomic_int wrong{0};
        std::atomic_bool stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&] {
                while (!stop) {
                    lam_virdb *db = lam_virdb_open(rules.constData());
                    lam_engine *e = lam_engine_new(db);
                    if (!db || !e || lam_engine_init(e) != 0) {
                        ++wrong;
                        lam_engine_close(e);
                        lam_virdb_close(db);
                        continue;
                    }
                    lam_result r;
                    std::memset(&r, 0, sizeof r);
                    lam_engine_scan_a(e, infected.constData(), &r);
                    if (std::strcmp(r.virus_name, "EICAR_Test_File") != 0)
                        ++wrong;
                    lam_engine_close(e);
                    lam_virdb_close(db);
                }
            });
        // Rewrite the rules (same content, new stamp) while the threads load and scan.
        for (int i = 0; i < 10; ++i) {
            QFile src(SNX_SOURCE_DIR "/signatures/malware.yar");
            QVERIFY(src.open(QIODevice::ReadOnly));
            const QByteArray text = src.readAll() + "\n// " + QByteArray::number(i) + "\n";
            QFile out(dir.filePath("rules.tmp"));
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(text);
            out.close();
            QVERIFY(::rename(QFile::encodeName(dir.filePath("rules.tmp")).constData(),
                             rules.constData()) == 0);
            QTest::qSleep(20);
        }
        stop = true;
        for (auto &t : threads)
            t.join();
        QCOMPARE(wrong.load(), 0);
    }

    // New sets are built and switched to while other threads make handles and scan: every scan
    // sees one whole set, old or new, and handles keep theirs until they are dropped.
    void reloadsWhileOthersScan()
    {
        const QByteArray ahDir = QFile::encodeName(dir.filePath("reloading"));
        const QByteArray ruleFile = QFile::encodeName(dir.filePath("reloading.yar"));
        QDir().mkpath(dir.filePath("reloading"));
        QVERIFY(QFile::copy(SNX_SOURCE_DIR "/signatures/starter.ndb",
                            dir.filePath("reloading/starter.ndb")));
        QVERIFY(QFile::copy(SNX_SOURCE_DIR "/signatures/malware.yar", ruleFile));
        QVERIFY(avcore_reload_databases(ahDir.constData()) == 1);
        QVERIFY(lam_virdb_reload(ruleFile.constData()) == 1);
        std::atomic_int wrong{0};
        std::atomic_bool stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&] {
                while (!stop) {
                    avcore_engine *e = avcore_create_engine(12, ahDir.constData());
                    avcore_result r;
                    std::memset(&r, 0, sizeof r);
                    if (!e || !avcore_scan_file(e, infected.constData(), nullptr, &r))
                        ++wrong;
                    avcore_destroy_engine(e);
                    lam_virdb *db = lam_virdb_open(ruleFile.constData());
                    lam_engine *l = lam_engine_new(db);
                    lam_result lr;
                    std::memset(&lr, 0, sizeof lr);
                    if (!l || lam_engine_init(l) != 0 ||
                        lam_engine_scan_a(l, infected.constData(), &lr) != 1)
                        ++wrong;
                    lam_engine_close(l);
                    lam_virdb_close(db);
                }
            });
        for (int i = 0; i < 10; ++i) {
            QFile extra(dir.filePath(QStringLiteral("reloading/extra%1.hdb").arg(i)));
            QVERIFY(extra.open(QIODevice::WriteOnly));
            extra.write("44d88612fea8a8f36de82e1278abb02f:68:Extra" + QByteArray::number(i) + "\n");
            extra.close();
            QFile ruleSource(QFile::decodeName(ruleFile));
            QVERIFY(ruleSource.open(QIODevice::Append));
            ruleSource.write("\nrule Extra" + QByteArray::number(i) + " { condition: false }\n");
            ruleSource.close();
            QCOMPARE(avcore_databases_changed(ahDir.constData()), 1);
            QCOMPARE(avcore_reload_databases(ahDir.constData()), 1);
            QCOMPARE(lam_virdb_changed(ruleFile.constData()), 1);
            QCOMPARE(lam_virdb_reload(ruleFile.constData()), 1);
            QCOMPARE(avcore_databases_changed(ahDir.constData()), 0);
        }
        stop = true;
        for (auto &t : threads)
            t.join();
        QCOMPARE(wrong.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestEngineConcurrency)
#include "tst_engineconcurrency.moc"
