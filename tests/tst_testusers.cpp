// The accounts that tests make for themselves: the last test process that uses one removes it
// when it ends, and none removes it while another still uses it.
#include "sandboxservice.h"

#include <QProcess>
#include <QTest>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

class TestTestUsers : public QObject
{
    Q_OBJECT

    static bool accountExists(const QString &name)
    {
        return ::getpwnam(name.toLocal8Bit().constData()) != nullptr;
    }

    static bool groupExists(const QString &name)
    {
        return ::getgrnam(name.toLocal8Bit().constData()) != nullptr;
    }

    // Starts a holder of the account and returns the uid it was given; 0 when it has none.
    static uint startHolder(QProcess &holder, const QString &name)
    {
        holder.start(SandboxService::binary(QStringLiteral("snx-testuser-holder")), {name});
        if (!holder.waitForStarted() || !holder.waitForReadyRead(60000))
            return 0;
        return holder.readLine().trimmed().toUInt();
    }

    static bool endHolder(QProcess &holder)
    {
        holder.closeWriteChannel();
        return holder.waitForFinished(60000) && holder.exitStatus() == QProcess::NormalExit &&
               holder.exitCode() == 0;
    }

private slots:
    void lastUserRemovesTheAccount()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to make accounts");
        // A name of this process alone: another build's run of this test uses its own.
        const QString name = QStringLiteral("snxtest-h%1").arg(::getpid());
        QVERIFY(!accountExists(name));

        QProcess first;
        QProcess second;
        const uint uid = startHolder(first, name);
        QVERIFY(uid != 0);
        QCOMPARE(startHolder(second, name), uid);
        QVERIFY(endHolder(second));
        QVERIFY2(accountExists(name), "removed while another process still used it");
        QVERIFY(endHolder(first));
        QVERIFY2(!accountExists(name), "left behind by the last process that used it");
        QVERIFY(!groupExists(name));
    }
};

QTEST_GUILESS_MAIN(TestTestUsers)
#include "tst_testusers.moc"
