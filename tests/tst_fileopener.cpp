// Opening a listed file below its requested directory, through openat2 and through the walk one
// component at a time that stands in for it on kernels without openat2: both must give the same
// answer for every path, on real trees.
#include "core/calleridentity.h"
#include "core/scannerconfig.h"
#include "engines/enginetext.h"
#include "engines/fileopener.h"
#include "engines/filewalk.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using Resolution = snx::FileOpener::Resolution;

class TestFileOpener : public QObject
{
    Q_OBJECT
    QTemporaryDir tmp;
    QString t; // root of the trees, no trailing slash

    void file(const QString &relative)
    {
        const QString path = t + QLatin1Char('/') + relative;
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        // Each file holds its own name, so that an open shows which file it reached.
        QVERIFY(f.write(relative.toUtf8()) == relative.toUtf8().size());
    }

    void link(const QString &target, const QString &relative)
    {
        QVERIFY(QFile::link(target, t + QLatin1Char('/') + relative));
    }

    static QByteArray contentOf(int fd)
    {
        QByteArray content(4096, '\0');
        const ssize_t got = ::pread(fd, content.data(), size_t(content.size()), 0);
        content.truncate(got < 0 ? 0 : int(got));
        return content;
    }

private slots:
    void initTestCase()
    {
        // On a kernel without openat2 both resolutions would be the walk, and agree trivially.
        struct open_how how = {};
        how.flags = O_PATH | O_CLOEXEC;
        const int probe = int(::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how));
        if (probe < 0 && (errno == ENOSYS || errno == EPERM))
            QSKIP("no openat2 here: nothing to hold the walk against");
        ::close(probe);

        t = tmp.path();
        file("req/top");
        file("req/sub/file");
        file("req/sub/deeper/still/file");
        file("outside/secret");
        link(t + "/req/sub/file", "req/sub/link-to-file");
        link(t + "/req/sub", "req/link-to-sub");
        link(t + "/outside", "req/link-to-outside");
        link(t + "/req", "req-link");
        QVERIFY(::mkfifo(QFile::encodeName(t + "/req/sub/fifo").constData(), 0600) == 0);

        // A directory that the walk listed, swapped for a link to where the user may not go.
        file("req/swapped/secret");
        const snx::WalkRules rules{{}, 100, snx::ScannerConfig::production().systemDirectories};
        QVERIFY(snx::walkPaths({t + "/req"}, rules).contains(t + "/req/swapped/secret"));
        QVERIFY(QDir(t + "/req").rename("swapped", "was-swapped"));
        link(t + "/outside", "req/swapped");
    }

    void open_data()
    {
        QTest::addColumn<QString>("requested");  // below the tree
        QTest::addColumn<QString>("relative");   // below the requested directory
        QTest::addColumn<QByteArray>("content"); // of the file reached; empty when refused

        QTest::newRow("file right below") << "req"
                                          << "top" << QByteArray("req/top");
        QTest::newRow("nested file")
            << "req"
            << "sub/deeper/still/file" << QByteArray("req/sub/deeper/still/file");
        QTest::newRow("requested directory reached through a link")
            << "req-link"
            << "sub/file" << QByteArray("req/sub/file");
        QTest::newRow("nearest requested directory of two")
            << "req/sub"
            << "deeper/still/file" << QByteArray("req/sub/deeper/still/file");

        QTest::newRow("link as last component") << "req"
                                                << "sub/link-to-file" << QByteArray();
        QTest::newRow("link as a middle directory") << "req"
                                                    << "link-to-sub/file" << QByteArray();
        QTest::newRow("link out as a middle directory") << "req"
                                                        << "link-to-outside/secret" << QByteArray();
        QTest::newRow("listed directory swapped for a link") << "req"
                                                             << "swapped/secret" << QByteArray();
        QTest::newRow("dot-dot out of the requested directory")
            << "req"
            << "../outside/secret" << QByteArray();
        QTest::newRow("dot-dot that stays beneath") << "req"
                                                    << "sub/../top" << QByteArray();
        QTest::newRow("dot component") << "req"
                                       << "./top" << QByteArray();
        QTest::newRow("absolute relative part") << "req" << t + "/outside/secret" << QByteArray();
        QTest::newRow("empty component") << "req"
                                         << "sub//file" << QByteArray();
        QTest::newRow("empty last component") << "req"
                                              << "sub/file/" << QByteArray();
        QTest::newRow("FIFO") << "req"
                              << "sub/fifo" << QByteArray();
        QTest::newRow("directory") << "req"
                                   << "sub" << QByteArray();
        QTest::newRow("missing") << "req"
                                 << "sub/none" << QByteArray();
    }

    void open()
    {
        QFETCH(QString, requested);
        QFETCH(QString, relative);
        QFETCH(QByteArray, content);
        const QString top = t + QLatin1Char('/') + requested;
        // Paths as the walk gives them: the requested directory cleaned, then the rest.
        const QString path = top + QLatin1Char('/') + relative;
        const QSet<QString> requestedPaths{top, t + "/req"};
        for (const Resolution how : {Resolution::Openat2, Resolution::EachComponent}) {
            const char *const name = how == Resolution::Openat2 ? "openat2" : "each component";
            snx::FileOpener opener(snx::CallerIdentity::root(), requestedPaths, 100);
            opener.setResolution(how);
            const int fd = opener.open(path, snx::enginetext::nativePath(path));
            const QByteArray got = fd >= 0 ? contentOf(fd) : QByteArray();
            if (fd >= 0)
                ::close(fd);
            QVERIFY2((fd >= 0) == !content.isEmpty(),
                     qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(name),
                                                             fd >= 0 ? "opened" : "refused")));
            QVERIFY2(got == content, name);
        }
    }
};

QTEST_GUILESS_MAIN(TestFileOpener)
#include "tst_fileopener.moc"
