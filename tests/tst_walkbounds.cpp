// The walk of a user's scan against what the user names.
#include "core/names.h"
#include "samples.h"
#include "sandboxservice.h"
#include "signallog.h"
#include "testbus.h"
#include "testusers.h"

#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString progress = QStringLiteral("SendDissectionProgInfo");
const QString finished = QStringLiteral("SendDissectionFinished");

// One call of snx_dbuscall as `user`; its exit code.
int callAs(const TestUser &user, const QStringList &arguments)
{
    const QStringList command =
        commandAsUser(user, SandboxService::binary(QStringLiteral("snx_dbuscall")), arguments);
    QProcess caller;
    caller.setProcessChannelMode(QProcess::ForwardedChannels);
    caller.start(command.first(), command.mid(1));
    return caller.waitForFinished(60000) ? caller.exitCode() : -1;
}
} // namespace

class TestWalkBounds : public QObject
{
    Q_OBJECT
    TestBus bus;
    TestUser bob;
    QTemporaryDir top;

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to create the user it calls as");
        QVERIFY(bus.start());
        bob = ensureTestUser(QStringLiteral("snxtest-bob"));
        QVERIFY(bob.valid());
        QCOMPARE(::chmod(QFile::encodeName(top.path()).constData(), 0755), 0);
    }

    // A user names one directory fifty thousand times: every copy is walked before a single file
    // is scanned, which takes minutes. Root's scan, which replaces any other, must not wait for
    // all of it.
    void rootsScanDoesNotWaitForTheWalkOfARepeatedPath()
    {
        const QString dir = makeSharedDir(top.path(), "many");
        for (int i = 0; i < 2000; ++i)
            QVERIFY(samples::write(dir + "/f" + QString::number(i), "clean"));
        const QString rootsFile = top.path() + "/root.com";
        QVERIFY(samples::write(rootsFile, samples::eicar));

        SandboxService service;
        SandboxService::Options options;
        options.allowedCallers = QStringList{SandboxService::binary("snx_dbuscall")};
        QVERIFY(service.start(options));
        // Bob's own size limit admits nothing: his walk takes its time but keeps no list.
        QCOMPARE(callAs(bob, {"SetScanFileSize", "i:-1"}), 0);
        SignalLog log;
        QCOMPARE(callAs(bob, {"DoDissection", "l:50000:" + dir}), 0);

        QDBusPendingReply<> byRoot = service.scanner().DoDissection({rootsFile});
        byRoot.waitForFinished();
        QVERIFY2(!byRoot.isError(), qPrintable(byRoot.error().message()));
        QVERIFY2(log.waitFor(finished), "root's scan still waits for the walk of Bob's list");
        QVERIFY(log.barrier());
        QCOMPARE(log.named(progress).last().arguments().at(0).toString(), rootsFile);
    }
};

QTEST_GUILESS_MAIN(TestWalkBounds)
#include "tst_walkbounds.moc"
