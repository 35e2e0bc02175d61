// A file whose name is not UTF-8, next to the file named with the replacement character that
// a lossy decoding would turn it into: each is scanned, reported and isolated as itself.
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeRaw(const QByteArray &path, const QByteArray &content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    return ok;
}

bool existsRaw(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

} // namespace

class TestOddNames : public QObject
{
    Q_OBJECT
    TestBus bus;

private slots:
    void initTestCase()
    {
        if (!bus.start())
            QSKIP("dbus-daemon is not available");
    }

    void nameThatIsNotUtf8_data()
    {
        QTest::addColumn<int>("engine");
        QTest::newRow("ah") << 1;
        QTest::newRow("ris") << 0;
    }

    void nameThatIsNotUtf8()
    {
        QFETCH(int, engine);
        SandboxService service;
        QVERIFY(service.start());
        QTemporaryDir dir;
        const QByteArray base = dir.path().toUtf8();
        const QByteArray badBytes = base + "/bad\xff.com";
        const QByteArray twinBytes = base + "/bad\xef\xbf\xbd.com";
        QVERIFY(writeRaw(badBytes, samples::eicar));
        QVERIFY(writeRaw(twinBytes, "an ordinary file"));
        // The service names the odd byte with a private-use code point of its own.
        const uint escapedFF = 0x10FFFF;
        const QString bad = dir.path() + "/bad" + QString::fromUcs4(&escapedFF, 1) + ".com";
        const QString twin = dir.path() + QString::fromUtf8("/bad\xef\xbf\xbd.com");

        service.scanner().SetEngineType(engine).waitForFinished();
        SignalLog log;
        service.scanner().DoDissection({dir.path()}).waitForFinished();
        QVERIFY(log.waitFor("SendDissectionFinished"));
        QMap<QString, int> reported;
        for (const ReceivedSignal &m : log.named("SendDissectionProgInfo"))
            reported[m.arguments().at(0).toString()] = m.arguments().at(2).toInt();
        QCOMPARE(reported.size(), 2);
        QCOMPARE(reported.value(bad, -1), 1);
        QCOMPARE(reported.value(twin, -1), 0);

        log.clear();
        service.scanner().IsolationProblemFile(true, bad).waitForFinished();
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo"));
        QVERIFY(!existsRaw(badBytes));
        QVERIFY(existsRaw(twinBytes));
        service.scanner().IsolationProblemFile(false, bad).waitForFinished();
        QVERIFY(log.waitFor("SendIsolationProblemFileInfo", 2));
        QVERIFY(existsRaw(badBytes));
        QFile restored(QString::fromUtf8(twinBytes));
        QVERIFY(restored.open(QIODevice::ReadOnly));
        QCOMPARE(restored.readAll(), QByteArray("an ordinary file"));
        QCOMPARE(service.exitApp(), 0);
    }
};

QTEST_GUILESS_MAIN(TestOddNames)
#include "tst_oddnames.moc"
