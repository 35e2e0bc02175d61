#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <sys/stat.h>

namespace snx {

// One isolation: a row of isolationfiles and, for isolations made since quarantine files may be
// shared, its details in isolationdetails, tied to the row by the row's rowid (never renumbered:
// the service runs no VACUUM).
struct IsolationRecord
{
    qint64 id = -1;
    QString path;
    QString md5;
    QString time;
    // Rows written before the details existed have none: their quarantine file is named by the
    // digest alone, keeps the isolated file's owner, mode and times, and its owner may restore it.
    bool hasDetails = false;
    QString quarantineName;
    QString sha256;
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    struct timespec atime = {};
    struct timespec mtime = {};
    // Who isolated it.
    uid_t byUid = 0;
};

// The isolation rows and their details. Used by the database worker only, after start-up.
class IsolationRecords
{
public:
    explicit IsolationRecords(const QSqlDatabase &database);

    // Writes the row and its details, marked pending, in one transaction: a kill before the file
    // is placed leaves a record that the next start settles. The row's id, or -1.
    qint64 addPending(const IsolationRecord &record);
    bool markDone(qint64 id);
    bool remove(qint64 id);
    // Every record for the path, newest first.
    QList<IsolationRecord> forPath(const QString &path);
    // The quarantine names of the isolations `byUid` made, in progress or done.
    QStringList quarantineNamesBy(uid_t byUid);
    // Ends the isolation of a restored file. Its quarantine copy stays, so its details stay
    // too, apart from any isolation (under the negated id), for quarantineNamesBy to count.
    bool markRestored(qint64 id);
    QString lastError() const { return error; }

    // At start-up: a pending record whose quarantine file exists is kept (the file was placed),
    // one without is dropped (the file was never moved).
    static void settlePending(const QSqlDatabase &db, const QString &quarantineDir);

private:
    bool ensureDetailsTable();

    QSqlDatabase db;
    QString error;
};

} // namespace snx
