// The walk rules on real temporary trees.
#include "core/scannerconfig.h"
#include "engines/filewalk.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class TestFileWalk : public QObject
{
    Q_OBJECT
    QTemporaryDir tmp;
    QString t; // root of the tree, no trailing slash

    void file(const QString &relative, qint64 size = 10)
    {
        const QString path = t + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size));
    }

    QStringList walk(const QStringList &paths, const QStringList &whiteList = {}, int limit = 100)
    {
        const QStringList systemDirs = snx::ScannerConfig::production().systemDirectories;
        QStringList files = snx::walkPaths(paths, {whiteList, limit, systemDirs});
        for (QString &f : files)
            f.remove(0, t.size());
        return files;
    }

private slots:
    void initTestCase()
    {
        t = tmp.path();
        file("a/x");
        file("a/sub/y");
        file("abc/z");
        file("a/.hidden/h");
        file("a/.dotfile");
        file("wl/keep");
        file("wl/drop");
        file("big/at-limit", 1024 * 1024 + 1023);
        file("big/over-limit", 1024 * 1024 + 1024);
        file("small/b1023", 1023);
        file("small/b1024", 1024);
        QDir().mkpath(t + "/empty");
        QFile::link(t + "/a/x", t + "/links/to-file");
        QDir().mkpath(t + "/links");
        QFile::link(t + "/a/x", t + "/links/to-file");
        QFile::link(t + "/a", t + "/links/to-dir");
        QFile::link(t + "/nowhere", t + "/links/dangling");
        file("links/real");
        QDir().mkpath(t + "/special");
        QVERIFY(::mkfifo(QFile::encodeName(t + "/special/fifo").constData(), 0600) == 0);
        file("special/plain");
    }

    void rules_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("whiteList");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QStringList>("expected");
        const QString r = tmp.path();

        QTest::newRow("white-list directory excludes by substring, also /abc")
            << QStringList{r + "/a/x", r + "/abc/z"} << QStringList{r + "/a"} << 100
            << QStringList{};
        QTest::newRow("white-list file excludes only itself")
            << QStringList{r + "/wl"} << QStringList{r + "/wl/drop"} << 100
            << QStringList{"/wl/keep"};
        QTest::newRow("white-list of a missing path is a substring test")
            << QStringList{r + "/wl"} << QStringList{"ee"} << 100 << QStringList{"/wl/drop"};
        QTest::newRow("walked directory equal to a white-listed one is not entered")
            << QStringList{r} << QStringList{r + "/a",     r + "/big",     r + "/small",
                                             r + "/links", r + "/special", r + "/w"}
            << 100 << QStringList{};
        QTest::newRow("directory below a white-listed one: entered, every file excluded")
            << QStringList{r + "/a/sub"} << QStringList{r + "/a"} << 100 << QStringList{};
        QTest::newRow("limit 1: 1 MiB + 1023 bytes admitted, + 1024 not")
            << QStringList{r + "/big"} << QStringList{} << 1 << QStringList{"/big/at-limit"};
        QTest::newRow("limit 0: only files under 1024 bytes")
            << QStringList{r + "/small"} << QStringList{} << 0 << QStringList{"/small/b1023"};
        QTest::newRow("negative limit: nothing")
            << QStringList{r + "/small"} << QStringList{} << -1 << QStringList{};
        QTest::newRow("hidden entries walked, pre-order")
            << QStringList{r + "/a"} << QStringList{} << 100
            << QStringList{"/a/.dotfile", "/a/.hidden/h", "/a/sub/y", "/a/x"};
        QTest::newRow("links in a directory neither followed nor listed")
            << QStringList{r + "/links"} << QStringList{} << 100 << QStringList{"/links/real"};
        QTest::newRow("requested link to a file listed under its own path")
            << QStringList{r + "/links/to-file"} << QStringList{} << 100
            << QStringList{"/links/to-file"};
        QTest::newRow("requested link to a directory is walked under its own path")
            << QStringList{r + "/links/to-dir"} << QStringList{} << 100
            << QStringList{"/links/to-dir/.dotfile", "/links/to-dir/.hidden/h",
                           "/links/to-dir/sub/y", "/links/to-dir/x"};
        QTest::newRow("dangling link requested: nothing")
            << QStringList{r + "/links/dangling"} << QStringList{} << 100 << QStringList{};
        QTest::newRow("FIFO neither listed nor taken when requested")
            << QStringList{r + "/special", r + "/special/fifo"} << QStringList{} << 100
            << QStringList{"/special/plain"};
        QTest::newRow("duplicates kept")
            << QStringList{r + "/a/sub", r + "/a/sub/y", r + "/a/sub"} << QStringList{} << 100
            << QStringList{"/a/sub/y", "/a/sub/y", "/a/sub/y"};
        QTest::newRow("missing path: nothing")
            << QStringList{r + "/missing"} << QStringList{} << 100 << QStringList{};
        QTest::newRow("requested path cleaned to its absolute form")
            << QStringList{r + "//a/./sub/../x"} << QStringList{} << 100 << QStringList{"/a/x"};
    }

    void rules()
    {
        QFETCH(QStringList, paths);
        QFETCH(QStringList, whiteList);
        QFETCH(int, limit);
        QFETCH(QStringList, expected);
        QStringList got = walk(paths, whiteList, limit);
        // Directory order is the file system's; compare pre-order by sorting siblings only
        // where the row says nothing about order.
        if (QByteArray(QTest::currentDataTag()) != "duplicates kept")
            got.sort();
        QCOMPARE(got, expected);
    }

    // The names of a directory in the order the file system returns them, as the walk reads it.
    static QStringList listingOrder(const QString &directory)
    {
        QStringList names;
        QDirIterator it(directory, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        while (it.hasNext()) {
            it.next();
            names.append(it.fileName());
        }
        return names;
    }

    // A subdirectory with two files between two sibling files, compared unsorted: the walk must
    // list the subdirectory's files at its place among its siblings, not after the files.
    void subdirectoryFilesStandAtItsPlace()
    {
        // A tree of its own, so that the shared one stays as the other cases expect it.
        QTemporaryDir own;
        const QString top = own.path();
        const auto make = [&](const QString &relative) {
            QDir().mkpath(QFileInfo(top + '/' + relative).path());
            QFile f(top + '/' + relative);
            return f.open(QIODevice::WriteOnly);
        };
        for (const char *name : {"mid/g1", "mid/g2", "f1", "f2"})
            QVERIFY(make(name));
        // readdir order is the file system's own: add siblings until the subdirectory has files
        // on both sides, so that visiting it after the files would change the result.
        QStringList names = listingOrder(top);
        for (int n = 3; n < 64 && (names.indexOf("mid") <= 0 || names.last() == "mid"); ++n) {
            QVERIFY(make(QStringLiteral("f%1").arg(n)));
            names = listingOrder(top);
        }
        const int mid = names.indexOf("mid");
        QVERIFY2(mid > 0 && mid < names.size() - 1, qPrintable(names.join(' ')));
        QStringList expected;
        for (const QString &name : qAsConst(names)) {
            if (name == "mid") {
                for (const QString &inner : listingOrder(top + "/mid"))
                    expected.append(top + "/mid/" + inner);
            } else {
                expected.append(top + '/' + name);
            }
        }
        QCOMPARE(snx::walkPaths({top}, {{}, 100, {}}), expected);
    }

    void depthFirstPreOrder()
    {
        const QStringList files = walk({t + "/a"});
        // Every file of a subdirectory stands together: nothing of /a/ comes between them.
        const int sub = files.indexOf("/a/sub/y");
        const int hidden = files.indexOf("/a/.hidden/h");
        QVERIFY(sub >= 0 && hidden >= 0);
        QCOMPARE(files.size(), 4);
    }

    void systemDirectoriesOnlyOnTheFirstComponent()
    {
        const QStringList systemDirs = snx::ScannerConfig::production().systemDirectories;
        // A requested /bin lists nothing; a requested /bin/ls is listed.
        QCOMPARE(snx::walkPaths({"/bin"}, {{}, 100, systemDirs}), QStringList());
        if (QFileInfo("/bin/ls").isFile())
            QCOMPARE(snx::walkPaths({"/bin/ls"}, {{}, 100, systemDirs}), QStringList{"/bin/ls"});
        QCOMPARE(snx::walkPaths({"/proc"}, {{}, 100, systemDirs}), QStringList());
        // /usr/lib is walked: only the first component counts.
        const QStringList usrLib = snx::walkPaths({"/usr/lib/os-release"}, {{}, 100, systemDirs});
        if (QFileInfo("/usr/lib/os-release").isFile())
            QCOMPARE(usrLib.size(), 1);
        QVERIFY(!snx::walkPaths({"/usr/share/doc/dbus-daemon"}, {{}, 100, systemDirs}).isEmpty() ||
                !QFileInfo("/usr/share/doc/dbus-daemon").isDir());
    }

    void unreadableDirectoryListsNothing()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to walk as another user, for whom the directory is closed");
        QTemporaryDir dir;
        ::chmod(QFile::encodeName(dir.path()), 0755);
        for (const char *name : {"open/a", "closed/b"}) {
            QDir().mkpath(QFileInfo(dir.filePath(name)).path());
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        ::chmod(QFile::encodeName(dir.filePath("open")), 0755);
        ::chmod(QFile::encodeName(dir.filePath("closed")), 0);
        int pipeFds[2];
        QVERIFY(::pipe(pipeFds) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            // Root reads every directory; a user other than root does not.
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
                ::_exit(2);
            const QStringList files = snx::walkPaths({dir.path()}, {{}, 100, {}});
            const QByteArray text = files.join('\n').toUtf8();
            ::write(pipeFds[1], text.constData(), size_t(text.size()));
            ::_exit(0);
        }
        ::close(pipeFds[1]);
        QByteArray got;
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            got.append(buffer, int(n));
        ::close(pipeFds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(QString::fromUtf8(got), dir.filePath("open/a"));
    }

    void directoryOfReportedSizeZeroIsNotEntered()
    {
        // /proc reports its directories with size 0; tested through a path whose first
        // component is not in the list, so only the size rule can keep it out.
        const QStringList none = snx::walkPaths({"/proc/self/"}, {{}, 100, {}});
        QCOMPARE(none, QStringList());
    }
};

QTEST_GUILESS_MAIN(TestFileWalk)
#include "tst_filewalk.moc"
