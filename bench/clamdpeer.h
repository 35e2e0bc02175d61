#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace bench {

// clamd on a database directory of its own, with a private configuration and socket, warm once
// started; clamdscan sends it the files to scan.
class ClamdPeer
{
public:
    ~ClamdPeer();
    // Copies the database files of `databaseDir` and starts clamd; false when it did not answer.
    bool start(const QString &workDir, const QString &databaseDir, int maxFileSizeMiB);
    // Seconds for clamdscan with `options` over `dir`, or -1.
    double scan(const QStringList &options, const QString &dir);
    qint64 pid() const { return clamd.processId(); }

private:
    QProcess clamd;
    QString config;
    QString socket;
};

} // namespace bench
