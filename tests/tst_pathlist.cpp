// The compact file list gives back every name exactly as the walk read it from disk.
#include "core/losslessutf8codec.h"
#include "engines/filewalk.h"
#include "engines/pathlist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Relative to `dir`, so that a path of PATH_MAX bytes can be made too.
bool writeRaw(const QByteArray &path, const QByteArray &dir = QByteArray("/"))
{
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY);
    const int fd = ::openat(dirFd, path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::close(dirFd);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, "x", 1) == 1;
    ::close(fd);
    return ok;
}

QString escaped(char byte)
{
    const uint codePoint = snx::LosslessUtf8Codec::escapeBase + uchar(byte);
    return QString::fromUcs4(&codePoint, 1);
}

} // namespace

class TestPathList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // As in the service: names that are not UTF-8 keep their bytes.
        snx::LosslessUtf8Codec::install();
    }

    void awkwardNamesComeBackAsOnDisk_data()
    {
        QTest::addColumn<QByteArray>("directory");
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("plain") << QByteArray("d") << QByteArray("a.txt");
        QTest::newRow("newline") << QByteArray("d") << QByteArray("line\nbreak");
        QTest::newRow("placeholder") << QByteArray("d") << QByteArray("%1 and %2");
        QTest::newRow("quotes") << QByteArray("d") << QByteArray("it's \"quoted\"");
        QTest::newRow("leading dash") << QByteArray("d") << QByteArray("-rf");
        QTest::newRow("backslash and star") << QByteArray("d") << QByteArray("a\\b*?[c]");
        QTest::newRow("utf-8") << QByteArray("d\xc3\xa9")
                               << QByteArray("\xe2\x82\xac \xf0\x9f\x98\x80");
        QTest::newRow("byte 0xff") << QByteArray("d") << QByteArray("bad\xff.com");
        QTest::newRow("latin-1 directory") << QByteArray("caf\xe9") << QByteArray("x");
        QTest::newRow("replacement character") << QByteArray("d") << QByteArray("bad\xef\xbf\xbd");
        QTest::newRow("truncated sequence") << QByteArray("d") << QByteArray("x\xe2\x82");
        QTest::newRow("a real name in the escape range")
            << QByteArray("d") << QByteArray("\xf4\x8f\xbd\x81");
        QTest::newRow("longest name") << QByteArray("d") << QByteArray(255, 'n');
        QTest::newRow("dots") << QByteArray("...") << QByteArray("..x");
    }

    void awkwardNamesComeBackAsOnDisk()
    {
        QFETCH(QByteArray, directory);
        QFETCH(QByteArray, name);
        QTemporaryDir tmp;
        const QByteArray top = QFile::encodeName(tmp.path());
        QVERIFY(::mkdir((top + '/' + directory).constData(), 0755) == 0);
        const QByteArray bytes = top + '/' + directory + '/' + name;
        QVERIFY(writeRaw(bytes));
        QVERIFY(writeRaw(top + "/z"));

        const snx::PathList list = snx::walkPathList({tmp.path()}, {{}, 100, {}});
        QCOMPARE(list.size(), 2);
        int found = -1;
        for (int i = 0; i < list.size(); ++i)
            if (QFile::encodeName(list.at(i)) == bytes)
                found = i;
        QVERIFY2(found >= 0, bytes.constData());
        // The text is the one the walk always made: the directory's, then each name read alone.
        QCOMPARE(list.at(found), tmp.path() + QLatin1Char('/') + QFile::decodeName(directory) +
                                     QLatin1Char('/') + QFile::decodeName(name));
        QCOMPARE(list.toStringList().at(found), list.at(found));
    }

    void builtByHandInOrder()
    {
        snx::PathList list;
        QVERIFY(list.isEmpty());
        const snx::PathList::Directory root = list.addPrefix(QStringLiteral("/"));
        const snx::PathList::Directory home = list.addPrefix(QStringLiteral("/home/u/"));
        const snx::PathList::Directory docs = list.addDirectory(home, "docs", 4);
        const snx::PathList::Directory deep = list.addDirectory(docs, "a\nb", 3);
        list.append(docs, "one", 3);
        list.appendPath(QStringLiteral("/srv/requested file"));
        list.append(root, "vmlinuz", 7);
        list.append(deep, "two", 3);
        list.append(docs, "three", 5);
        const QStringList expected = {"/home/u/docs/one", "/srv/requested file", "/vmlinuz",
                                      "/home/u/docs/a\nb/two", "/home/u/docs/three"};
        QCOMPARE(list.size(), expected.size());
        QCOMPARE(list.toStringList(), expected);
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(list.at(i), expected.at(i));

        snx::PathList moved = std::move(list);
        QCOMPARE(moved.toStringList(), expected);
        QVERIFY(list.isEmpty());
        moved.clear();
        QVERIFY(moved.isEmpty());
        QCOMPARE(moved.size(), 0);
        QCOMPARE(moved.bytesUsed(), std::size_t(0));
    }

    // A requested path is kept as the caller's text, even where its bytes would read otherwise.
    void requestedTextIsKept()
    {
        QTemporaryDir tmp;
        QVERIFY(writeRaw(QFile::encodeName(tmp.path()) + "/a"));
        QVERIFY(::mkdir(QFile::encodeName(tmp.path() + "/dir").constData(), 0755) == 0);
        QVERIFY(writeRaw(QFile::encodeName(tmp.path()) + "/dir/in"));
        const QString file = tmp.path() + QLatin1Char('/') + escaped('a');
        QCOMPARE(snx::walkPathList({file}, {{}, 100, {}}).toStringList(), QStringList{file});
        const QString dir = tmp.path() + QLatin1Char('/') + escaped('d') + QStringLiteral("ir");
        QCOMPARE(snx::walkPathList({dir}, {{}, 100, {}}).toStringList(),
                 QStringList{dir + QStringLiteral("/in")});
    }

    void pathMaxStillBounds()
    {
        QTemporaryDir tmp;
        // Nest directories until a file's path would reach PATH_MAX.
        QByteArray dir = QFile::encodeName(tmp.path());
        const QByteArray component(100, 'c');
        while (dir.size() + 1 + component.size() < PATH_MAX - 100) {
            dir += '/' + component;
            QVERIFY(::mkdir(dir.constData(), 0755) == 0);
        }
        const int room = PATH_MAX - dir.size() - 1; // name bytes that reach PATH_MAX
        QVERIFY(writeRaw(QByteArray(room - 1, 'k'), dir));
        QVERIFY(writeRaw(QByteArray(room, 'x'), dir));
        // The same with a name that is not ASCII: its length counts in bytes.
        QVERIFY(writeRaw(QByteArray(room - 3, 'k') + "\xc3\xa9", dir));
        QVERIFY(writeRaw(QByteArray(room - 2, 'x') + "\xc3\xa9", dir));
        int tooLong = 0;
        const QStringList files =
            snx::walkPathList({tmp.path()}, {{}, 100, {}}, &tooLong).toStringList();
        QCOMPARE(tooLong, 2);
        QCOMPARE(files.size(), 2);
        for (const QString &f : files) {
            QCOMPARE(QFile::encodeName(f).size(), PATH_MAX - 1);
            QVERIFY(f.section(QLatin1Char('/'), -1).startsWith(QLatin1Char('k')));
        }
    }

    // The white list of a mixed tree: ASCII paths are checked on their bytes, the others on
    // their text; both must agree with the text rule.
    void whiteListOnBytesAndText_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("ascii substring")
            << QStringLiteral("sub/k") << QStringList{"/a/keep", "/\xc3\xa9/keep"};
        QTest::newRow("non-ascii substring")
            << QString::fromUtf8("\xc3\xa9/k")
            << QStringList{"/a/keep", "/a/sub/keep", "/\xc3\xa9/sub/keep"};
        QTest::newRow("escaped byte never matches ascii")
            << escaped('k')
            << QStringList{"/a/keep", "/a/sub/keep", "/\xc3\xa9/keep", "/\xc3\xa9/sub/keep"};
    }

    void whiteListOnBytesAndText()
    {
        QFETCH(QString, entry);
        QFETCH(QStringList, expected);
        QTemporaryDir tmp;
        for (const char *d : {"/a", "/a/sub", "/\xc3\xa9", "/\xc3\xa9/sub"}) {
            QVERIFY(::mkdir((QFile::encodeName(tmp.path()) + d).constData(), 0755) == 0);
            QVERIFY(writeRaw(QFile::encodeName(tmp.path()) + d + "/keep"));
        }
        QStringList files = snx::walkPaths({tmp.path()}, {{entry}, 100, {}});
        for (QString &f : files)
            f.remove(0, tmp.path().size());
        files.sort();
        expected.sort();
        QCOMPARE(files, expected);
    }
};

QTEST_GUILESS_MAIN(TestPathList)
#include "tst_pathlist.moc"
