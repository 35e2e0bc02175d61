#include "clamdpeer.h"

#include "benchutil.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace bench {

namespace {
bool answers(const QString &socketPath)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    bool pong = false;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::write(fd, "zPING", 6) == 6) {
        char reply[8] = {};
        pong = ::read(fd, reply, sizeof reply) >= 4 && qstrcmp(reply, "PONG") == 0;
    }
    ::close(fd);
    return pong;
}
} // namespace

ClamdPeer::~ClamdPeer()
{
    if (clamd.state() != QProcess::NotRunning) {
        clamd.terminate();
        if (!clamd.waitForFinished(10000))
            clamd.kill();
        clamd.waitForFinished();
    }
}

bool ClamdPeer::start(const QString &workDir, const QString &databaseDir, int maxFileSizeMiB)
{
    const QString db = workDir + QStringLiteral("/clamd-db");
    QDir().mkpath(db);
    for (const QString &name : QDir(databaseDir).entryList(QDir::Files))
        QFile::copy(databaseDir + QLatin1Char('/') + name, db + QLatin1Char('/') + name);
    socket = workDir + QStringLiteral("/clamd.sock");
    config = workDir + QStringLiteral("/clamd.conf");
    QFile conf(config);
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    // The service's limits: files up to the size limit, archives as deep as its engine goes.
    const QString size = QString::number(maxFileSizeMiB) + QLatin1Char('M');
    conf.write(QStringLiteral("LocalSocket %1\nDatabaseDirectory %2\nLogFile %3/clamd.log\n"
                              "Foreground yes\nSelfCheck 0\nMaxFileSize %4\nMaxScanSize %4\n"
                              "StreamMaxLength %4\nMaxRecursion 3\nTemporaryDirectory %3\n")
                   .arg(socket, db, workDir, size)
                   .toUtf8());
    conf.close();
    clamd.setStandardOutputFile(QProcess::nullDevice());
    clamd.setStandardErrorFile(workDir + QStringLiteral("/clamd.err"));
    clamd.start(QStringLiteral("clamd"), {QStringLiteral("--config-file=") + config});
    if (!clamd.waitForStarted())
        return false;
    for (int i = 0; i < 6000 && clamd.state() == QProcess::Running; ++i) {
        if (answers(socket))
            return true;
        QThread::msleep(50);
    }
    return false;
}

double ClamdPeer::scan(const QStringList &options, const QString &dir)
{
    return timeCommand(
        QStringLiteral("clamdscan"),
        QStringList{QStringLiteral("--config-file=") + config, QStringLiteral("--no-summary")} +
            options + QStringList{dir});
}

} // namespace bench
