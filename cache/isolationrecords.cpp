#include "cache/isolationrecords.h"

#include <QDebug>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <fcntl.h>

namespace snx {
namespace {

const QString detailsTable = QStringLiteral("isolationdetails");

// A null QString binds as SQL NULL, which the NOT NULL columns refuse: store it as empty text.
QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

bool hasDetailsTable(const QSqlDatabase &db)
{
    return db.tables(QSql::Tables).contains(detailsTable);
}

} // namespace

IsolationRecords::IsolationRecords(const QSqlDatabase &database) : db(database)
{
}

bool IsolationRecords::ensureDetailsTable()
{
    // Made on first use, so that a database that never saw an isolation keeps its schema.
    QSqlQuery query(db);
    if (query.exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS isolationdetails (isolation INTEGER NOT NULL, "
            "quarantinename VARCHAR NOT NULL, sha256 VARCHAR NOT NULL, uid INTEGER NOT NULL, "
            "gid INTEGER NOT NULL, mode INTEGER NOT NULL, atime INTEGER NOT NULL, "
            "atimensec INTEGER NOT NULL, mtime INTEGER NOT NULL, mtimensec INTEGER NOT NULL, "
            "byuid INTEGER NOT NULL, done INTEGER NOT NULL)")))
        return true;
    error = query.lastError().text();
    return false;
}

qint64 IsolationRecords::addPending(const IsolationRecord &r)
{
    if (!ensureDetailsTable() || !db.transaction()) {
        error = error.isEmpty() ? db.lastError().text() : error;
        return -1;
    }
    QSqlQuery row(db);
    row.prepare(
        QStringLiteral("INSERT INTO isolationfiles (filepath, md5, datetimes) VALUES (?, ?, ?)"));
    row.addBindValue(text(r.path));
    row.addBindValue(text(r.md5));
    row.addBindValue(text(r.time));
    QSqlQuery details(db);
    bool ok = row.exec();
    const qint64 id = row.lastInsertId().toLongLong();
    if (ok) {
        details.prepare(QStringLiteral(
            "INSERT INTO isolationdetails VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)"));
        for (const QVariant &value :
             {QVariant(id), text(r.quarantineName), text(r.sha256), QVariant(qint64(r.uid)),
              QVariant(qint64(r.gid)), QVariant(qint64(r.mode)), QVariant(qint64(r.atime.tv_sec)),
              QVariant(qint64(r.atime.tv_nsec)), QVariant(qint64(r.mtime.tv_sec)),
              QVariant(qint64(r.mtime.tv_nsec)), QVariant(qint64(r.byUid))})
            details.addBindValue(value);
        ok = details.exec();
    }
    if (ok && db.commit())
        return id;
    error = !row.lastError().text().trimmed().isEmpty() ? row.lastError().text()
                                                        : details.lastError().text();
    db.rollback();
    return -1;
}

bool IsolationRecords::markDone(qint64 id)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE isolationdetails SET done=1 WHERE isolation=?"));
    query.addBindValue(id);
    if (query.exec())
        return true;
    error = query.lastError().text();
    return false;
}

bool IsolationRecords::remove(qint64 id)
{
    if (!db.transaction()) {
        error = db.lastError().text();
        return false;
    }
    QSqlQuery row(db);
    row.prepare(QStringLiteral("DELETE FROM isolationfiles WHERE rowid=?"));
    row.addBindValue(id);
    bool ok = row.exec();
    if (ok && hasDetailsTable(db)) {
        QSqlQuery details(db);
        details.prepare(QStringLiteral("DELETE FROM isolationdetails WHERE isolation=?"));
        details.addBindValue(id);
        ok = details.exec();
        if (!ok)
            error = details.lastError().text();
    } else if (!ok) {
        error = row.lastError().text();
    }
    if (ok && db.commit())
        return true;
    db.rollback();
    return false;
}

QList<IsolationRecord> IsolationRecords::forPath(const QString &path)
{
    QList<IsolationRecord> records;
    QSqlQuery rows(db);
    rows.prepare(QStringLiteral("SELECT rowid, md5, datetimes FROM isolationfiles WHERE "
                                "filepath=? ORDER BY rowid DESC"));
    rows.addBindValue(path);
    if (!rows.exec()) {
        error = rows.lastError().text();
        return records;
    }
    const bool details = hasDetailsTable(db);
    while (rows.next()) {
        IsolationRecord r;
        r.id = rows.value(0).toLongLong();
        r.path = path;
        r.md5 = rows.value(1).toString();
        r.time = rows.value(2).toString();
        if (details) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral(
                "SELECT quarantinename, sha256, uid, gid, mode, atime, atimensec, mtime, "
                "mtimensec, byuid FROM isolationdetails WHERE isolation=?"));
            q.addBindValue(r.id);
            if (q.exec() && q.next()) {
                r.hasDetails = true;
                r.quarantineName = q.value(0).toString();
                r.sha256 = q.value(1).toString();
                r.uid = uid_t(q.value(2).toLongLong());
                r.gid = gid_t(q.value(3).toLongLong());
                r.mode = mode_t(q.value(4).toLongLong());
                r.atime = {time_t(q.value(5).toLongLong()), long(q.value(6).toLongLong())};
                r.mtime = {time_t(q.value(7).toLongLong()), long(q.value(8).toLongLong())};
                r.byUid = uid_t(q.value(9).toLongLong());
            }
        }
        records.append(r);
    }
    return records;
}

bool IsolationRecords::markRestored(qint64 id)
{
    if (!hasDetailsTable(db))
        return remove(id);
    if (!db.transaction()) {
        error = db.lastError().text();
        return false;
    }
    QSqlQuery row(db);
    row.prepare(QStringLiteral("DELETE FROM isolationfiles WHERE rowid=?"));
    row.addBindValue(id);
    QSqlQuery details(db);
    details.prepare(
        QStringLiteral("UPDATE isolationdetails SET isolation=?, done=2 WHERE isolation=?"));
    details.addBindValue(-id);
    details.addBindValue(id);
    // A restored isolation is kept only to count its quarantine file against its user, and one
    // row per file and user does that: without this, isolating and restoring one file again and
    // again grows the table, and each isolation's count reads all of it.
    QSqlQuery earlier(db);
    earlier.prepare(QStringLiteral(
        "DELETE FROM isolationdetails WHERE done=2 AND EXISTS (SELECT 1 FROM isolationdetails AS "
        "later WHERE later.done=2 AND later.quarantinename=isolationdetails.quarantinename AND "
        "later.byuid=isolationdetails.byuid AND later.rowid>isolationdetails.rowid)"));
    if (row.exec() && details.exec() && earlier.exec() && db.commit())
        return true;
    const QSqlQuery *failed = !row.lastError().text().trimmed().isEmpty()       ? &row
                              : !details.lastError().text().trimmed().isEmpty() ? &details
                                                                                : &earlier;
    error = failed->lastError().text();
    db.rollback();
    return false;
}

QStringList IsolationRecords::quarantineNamesBy(uid_t byUid)
{
    QStringList names;
    if (!hasDetailsTable(db))
        return names;
    QSqlQuery query(db);
    query.prepare(
        QStringLiteral("SELECT DISTINCT quarantinename FROM isolationdetails WHERE byuid=?"));
    query.addBindValue(qint64(byUid));
    if (!query.exec()) {
        error = query.lastError().text();
        return names;
    }
    while (query.next())
        names.append(query.value(0).toString());
    return names;
}

void IsolationRecords::settlePending(const QSqlDatabase &db, const QString &quarantineDir)
{
    if (!hasDetailsTable(db))
        return;
    QSqlQuery pending(db);
    if (!pending.exec(
            QStringLiteral("SELECT isolation, quarantinename FROM isolationdetails WHERE done=0")))
        return;
    QList<QPair<qint64, QString>> found;
    while (pending.next())
        found.append({pending.value(0).toLongLong(), pending.value(1).toString()});
    pending.finish();
    IsolationRecords records(db);
    for (const auto &[id, name] : qAsConst(found)) {
        struct stat st;
        const QByteArray file = QFile::encodeName(quarantineDir + name);
        const bool inQuarantine =
            !name.isEmpty() && ::lstat(file.constData(), &st) == 0 && S_ISREG(st.st_mode);
        if (!(inQuarantine ? records.markDone(id) : records.remove(id)))
            qWarning() << "isolation record not settled:" << records.lastError();
    }
}

} // namespace snx
