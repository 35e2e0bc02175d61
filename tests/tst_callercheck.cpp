// The caller check's whole decision on fake /proc trees: namespace links, maps text, exe links
// and command lines, laid out in a temporary directory.
#include "core/names.h"
#include "service/callercheck.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct FakeCaller
{
    QString callerNamespace;   // empty: no link
    QStringList libraries;     // files that exist and appear in the maps text, one line each
    QStringList missingMapped; // appear in the maps text but do not exist
    QString exe;               // executable the exe link points to (created); empty: dangling
    QByteArray cmdline;        // empty: no cmdline file
};

} // namespace

Q_DECLARE_METATYPE(FakeCaller)

class TestCallerCheck : public QObject
{
    Q_OBJECT
    QTemporaryDir root;

    QString files() const { return root.filePath(QStringLiteral("files")); }
    QString proc() const { return root.filePath(QStringLiteral("proc")); }

    void touch(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

    void layOut(uint pid, const QString &referenceNamespace, const FakeCaller &caller)
    {
        QDir(proc()).removeRecursively();
        QDir(files()).removeRecursively();
        const QString ref = proc() + QStringLiteral("/1/ns");
        QDir().mkpath(ref);
        if (!referenceNamespace.isEmpty())
            QFile::link(QStringLiteral("mnt:[%1]").arg(referenceNamespace), ref + "/mnt");
        const QString dir = proc() + QLatin1Char('/') + QString::number(pid);
        QDir().mkpath(dir + "/ns");
        if (!caller.callerNamespace.isEmpty())
            QFile::link(QStringLiteral("mnt:[%1]").arg(caller.callerNamespace), dir + "/ns/mnt");
        QByteArray maps;
        int line = 0;
        for (const QString &lib : caller.libraries + caller.missingMapped) {
            maps += QStringLiteral("7f%1000-7f%1fff r-xp 00000000 08:01 %2 %3\n")
                        .arg(line)
                        .arg(1000 + line)
                        .arg(lib)
                        .toUtf8();
            ++line;
        }
        maps += "7ffd1000-7ffd2000 rw-p 00000000 00:00 0 [stack]\n";
        QFile mapsFile(dir + "/maps");
        QVERIFY(mapsFile.open(QIODevice::WriteOnly));
        mapsFile.write(maps);
        mapsFile.close();
        for (const QString &lib : caller.libraries)
            touch(files() + lib);
        if (!caller.exe.isEmpty())
            touch(files() + caller.exe);
        QFile::link(caller.exe.isEmpty() ? dir + "/gone" : files() + caller.exe, dir + "/exe");
        if (!caller.cmdline.isEmpty()) {
            QFile cmd(dir + "/cmdline");
            QVERIFY(cmd.open(QIODevice::WriteOnly));
            cmd.write(caller.cmdline);
        }
    }

    snx::CallerCheck check() const
    {
        snx::ScannerConfig config = snx::ScannerConfig::production();
        config.procRoot = proc();
        config.libraryLookupRoot = files();
        // The exe link resolves inside the fake tree.
        config.allowedCallers.append(files() + QStringLiteral("/usr/bin/zorq-esm"));
        return snx::CallerCheck(config);
    }

private slots:
    void decision_data()
    {
        QTest::addColumn<uint>("pid");
        QTest::addColumn<QString>("referenceNamespace");
        QTest::addColumn<FakeCaller>("caller");
        QTest::addColumn<QString>("errorText");

        const QString illegal = snx::CallerCheck::illegalCallText();
        const QString ns = QStringLiteral("4026531840");
        const QStringList goodLibs = {QStringLiteral("/usr/lib/x86_64-linux-gnu/libc.so.6"),
                                      snx::names::installRoot() + QStringLiteral("/lib/libfoo.so")};
        const QString exe = QStringLiteral("/usr/bin/zorq-esm");
        auto withLib = [&](const QString &lib) {
            return FakeCaller{ns, goodLibs + QStringList{lib}, {}, exe, {}};
        };

        QTest::newRow("suite program with permitted libraries")
            << 4242u << ns << FakeCaller{ns, goodLibs, {}, exe, {}} << QString();
        QTest::newRow("other mount namespace")
            << 4242u << ns << FakeCaller{"4026532999", goodLibs, {}, exe, {}} << illegal;
        QTest::newRow("caller namespace unreadable")
            << 4242u << ns << FakeCaller{QString(), goodLibs, {}, exe, {}} << illegal;
        QTest::newRow("pid 0 from a bus that could not answer")
            << 0u << ns << FakeCaller{QString(), {}, {}, QString(), {}} << illegal;
        QTest::newRow("both namespace links unreadable")
            << 4242u << QString() << FakeCaller{QString(), goodLibs, {}, exe, {}} << illegal;
        QTest::newRow("reference namespace unreadable")
            << 4242u << QString() << FakeCaller{ns, goodLibs, {}, exe, {}} << illegal;
        QTest::newRow("/usr/lib64 refused")
            << 4242u << ns << withLib("/usr/lib64/libfoo.so") << illegal;
        QTest::newRow("/usr/local/lib refused")
            << 4242u << ns << withLib("/usr/local/lib/libfoo.so") << illegal;
        QTest::newRow("home refused") << 4242u << ns << withLib("/home/user/libfoo.so") << illegal;
        QTest::newRow("data file with .so in its name refused")
            << 4242u << ns << withLib("/home/user/data/cache.sofa") << illegal;
        QTest::newRow("upper-case root refused")
            << 4242u << ns << withLib("/USR/LIB/libfoo.so") << illegal;
        QTest::newRow("file without .so never tested")
            << 4242u << ns << withLib("/usr/local/lib/locale-archive") << QString();
        QTest::newRow("two components not tested")
            << 4242u << ns << withLib("/tmp/libx.so") << QString();
        QTest::newRow("mapped library that no longer exists skipped")
            << 4242u << ns << FakeCaller{ns, goodLibs, {"/home/user/libgone.so"}, exe, {}}
            << QString();
        QTest::newRow("path with a space: no piece exists on its own")
            << 4242u << ns << withLib("/home/my libs/libfoo.so") << QString();
        {
            FakeCaller c = withLib("/home/user/evil.so");
            c.libraries.removeLast();
            c.missingMapped = QStringList{QStringLiteral("/usr/lib/my /home/user/evil.so")};
            c.libraries.append(QStringLiteral("/home/user/evil.so"));
            QTest::newRow("path with a space: an existing piece is tested")
                << 4242u << ns << c << illegal;
        }
        // The command line is the caller's own text: it never stands in for the executable.
        QTest::newRow("cmdline ignored when exe resolves to nothing")
            << 4242u << ns
            << FakeCaller{ns,
                          goodLibs,
                          {},
                          QString(),
                          QByteArray("/usr/bin/zorq-guard --daemon\0--x\0", 33)}
            << QStringLiteral("(pid: 4242)[] is not allowed to transfer sentinex inter");
        QTest::newRow("no executable and no cmdline")
            << 1234u << ns << FakeCaller{ns, goodLibs, {}, QString(), {}}
            << QStringLiteral("(pid: 1234)[] is not allowed to transfer sentinex inter");
        QTest::newRow("executable differing only in case")
            << 4242u << ns << FakeCaller{ns, goodLibs, {}, QStringLiteral("/usr/bin/Zorq-esm"), {}}
            << QStringLiteral("(pid: 4242)[%1] is not allowed to transfer sentinex inter")
                   .arg(files() + "/usr/bin/Zorq-esm");
        QTest::newRow("cmdline of a program not in the list")
            << 4242u << ns
            << FakeCaller{ns, goodLibs, {}, QString(), QByteArray("/usr/bin/gdbus\0call\0", 20)}
            << QStringLiteral("(pid: 4242)[] is not allowed to transfer sentinex inter");
    }

    void decision()
    {
        QFETCH(uint, pid);
        QFETCH(QString, referenceNamespace);
        QFETCH(FakeCaller, caller);
        QFETCH(QString, errorText);
        layOut(pid, referenceNamespace, caller);
        const snx::CallerVerdict verdict = check().check(pid);
        QCOMPARE(verdict.errorText, errorText);
        QCOMPARE(verdict.allowed, errorText.isEmpty());
    }

    // What cannot be read or resolved refuses the caller; nothing stands in for it.
    void failsClosed_data()
    {
        QTest::addColumn<QString>("exeLink");
        QTest::addColumn<bool>("mapsReadable");
        QTest::addColumn<int>("mapsPadding");
        QTest::addColumn<QString>("errorText");
        const QString notAllowed =
            QStringLiteral("(pid: 4242)[] is not allowed to transfer sentinex inter");
        // A copy of any program, deleted after its start and named as an allowed one.
        QTest::newRow("deleted executable")
            << QStringLiteral("/tmp/copy (deleted)") << true << 0 << notAllowed;
        QTest::newRow("executable gone") << QStringLiteral("/tmp/gone") << true << 0 << notAllowed;
        QTest::newRow("maps unreadable")
            << QString() << false << 0 << snx::CallerCheck::illegalCallText();
        // Of permitted libraries only, but longer than the service reads.
        QTest::newRow("maps text without end")
            << QString() << true << (9 << 20) << snx::CallerCheck::illegalCallText();
    }

    void failsClosed()
    {
        QFETCH(QString, exeLink);
        QFETCH(bool, mapsReadable);
        QFETCH(int, mapsPadding);
        QFETCH(QString, errorText);
        const QString ns = QStringLiteral("4026531840");
        layOut(4242, ns,
               FakeCaller{ns,
                          {QStringLiteral("/usr/lib/x86_64-linux-gnu/libc.so.6")},
                          {},
                          QStringLiteral("/usr/bin/zorq-esm"),
                          QByteArray("/usr/bin/zorq-guard\0--daemon\0", 29)});
        const QString dir = proc() + QStringLiteral("/4242");
        if (!exeLink.isEmpty()) {
            QVERIFY(QFile::remove(dir + "/exe"));
            QVERIFY(QFile::link(files() + exeLink, dir + "/exe"));
        }
        if (!mapsReadable)
            QVERIFY(QFile::remove(dir + "/maps"));
        if (mapsPadding > 0) {
            QFile maps(dir + "/maps");
            QVERIFY(maps.open(QIODevice::Append));
            const QByteArray line =
                "7f0000000000-7f0000001000 r--p 00000000 08:01 1000 /usr/lib/x86_64-linux-gnu/"
                "libc.so.6\n";
            for (int written = 0; written < mapsPadding; written += line.size())
                maps.write(line);
        }
        const snx::CallerVerdict verdict = check().check(4242);
        QCOMPARE(verdict.errorText, errorText);
        QVERIFY(!verdict.allowed);
    }

    void illegalTextIsTheFixedOne()
    {
        const QByteArray utf8 = snx::CallerCheck::illegalCallText().toUtf8();
        QCOMPARE(utf8.size(), 28);
        QCOMPARE(utf8,
                 QByteArray(
                     "Illegal calls\xef\xbc\x81\xef\xbc\x81\xef\xbc\x81\xef\xbc\x81\xef\xbc\x81"));
    }

    void namespaceIdentityOfTheRealProc()
    {
        // Our own link is readable: the identity is what follows the link path.
        const QString identity =
            snx::CallerCheck::namespaceIdentity(QStringLiteral("/proc/self/ns/mnt"));
        QVERIFY2(identity.startsWith(QLatin1String(":[")) && identity.endsWith(QLatin1Char(']')),
                 qPrintable(identity));
    }
};

QTEST_GUILESS_MAIN(TestCallerCheck)
#include "tst_callercheck.moc"
