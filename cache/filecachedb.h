#pragma once

#include "cache/isolationrecords.h"
#include "cache/problemfilechange.h"
#include "core/refusallog.h"

#include <QObject>
#include <QSqlDatabase>
#include <QString>

// Carries out problem-file changes in its own thread, one at a time in arrival order, each with
// the rights of the caller who asked: writes the database, moves files into quarantine and copies
// them back on descriptors, and reports what became of each change.
class FileCacheDb : public QObject
{
    Q_OBJECT
public:
    FileCacheDb(const QSqlDatabase &database, QString quarantineDirectory, qint64 userQuota = -1,
                QObject *parent = nullptr);

signals:
    void sendProblemFileOutcome(snx::ProblemFileOutcome outcome);

public slots:
    void initData();
    void acceptFileCacheDb(const snx::ProblemFileChange &change);

private:
    QString trust(const snx::ProblemFileChange &change);
    QString untrust(const snx::ProblemFileChange &change);
    void describeRemaining(snx::ProblemFileOutcome *outcome);
    bool admitLog(const snx::CallerIdentity &caller);

    QSqlDatabase db;
    const QString quarantineDir;
    const qint64 userQuarantineQuota;
    snx::IsolationRecords records;
    snx::RefusalLog refusalLog;
};
