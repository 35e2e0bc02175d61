#include "cache/filecachedb.h"

#include "cache/fdwalk.h"
#include "cache/quarantineisolate.h"
#include "cache/quarantinerestore.h"
#include "cache/scancachesql.h"
#include "core/fsidentity.h"
#include "core/pathopen.h"

#include <QDebug>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sql = snx::scancachesql;

namespace {

constexpr int maxUserTrustedPaths = 1024;

const char *nameOf(snx::ProblemFileChange::Kind kind)
{
    switch (kind) {
    case snx::ProblemFileChange::Trust:
        return "trust";
    case snx::ProblemFileChange::Untrust:
        return "withdrawing trust";
    case snx::ProblemFileChange::Isolate:
        return "isolation";
    case snx::ProblemFileChange::Restore:
        return "restore";
    }
    return "change";
}

} // namespace

FileCacheDb::FileCacheDb(const QSqlDatabase &database, QString quarantineDirectory,
                         qint64 userQuota, QObject *parent)
    : QObject(parent), db(database), quarantineDir(std::move(quarantineDirectory)),
      userQuarantineQuota(userQuota), records(database)
{
    // Before the thread starts: the connection is still the constructing thread's to use.
    QSqlQuery query(db);
    if (db.isOpen() && db.record(sql::trustTable).indexOf(sql::trustOwnerColumn) < 0 &&
        !query.exec(sql::addTrustOwnerColumn()))
        qWarning() << "trust owners not kept:" << query.lastError().text();
}

void FileCacheDb::initData()
{
    snx::removePartialCopies(quarantineDir);
}

void FileCacheDb::acceptFileCacheDb(const snx::ProblemFileChange &change)
{
    snx::ProblemFileOutcome outcome;
    outcome.change = change;
    QString refusal;
    if (!change.caller.known) {
        refusal = QStringLiteral("the caller is unknown:");
    } else {
        switch (change.kind) {
        case snx::ProblemFileChange::Trust:
            refusal = trust(change);
            break;
        case snx::ProblemFileChange::Untrust:
            refusal = untrust(change);
            break;
        case snx::ProblemFileChange::Isolate:
            refusal = snx::isolateIntoQuarantine(records, quarantineDir, userQuarantineQuota,
                                                 change, &outcome.md5);
            outcome.time = change.time;
            break;
        case snx::ProblemFileChange::Restore:
            refusal = snx::restoreFromQuarantine(records, quarantineDir, change);
            describeRemaining(&outcome);
            break;
        }
    }
    outcome.applied = refusal.isEmpty();
    if (!outcome.applied && admitLog(change.caller))
        qWarning() << nameOf(change.kind) << "not done:" << qUtf8Printable(refusal) << change.path
                   << "- caller uid" << change.caller.uid << "pid" << change.caller.pid;
    emit sendProblemFileOutcome(outcome);
}

// A caller whose changes keep failing must not fill the log: a few lines at once, then one a
// second, and the count of the rest with the next line written.
bool FileCacheDb::admitLog(const snx::CallerIdentity &caller)
{
    const qint64 nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    if (!refusalLog.admit(caller.known ? qint64(caller.uid) : -1, nowMs))
        return false;
    for (const auto &count : refusalLog.takeSuppressed(nowMs))
        qWarning() << count.second << "more changes not done for uid" << count.first;
    return true;
}

QString FileCacheDb::trust(const snx::ProblemFileChange &change)
{
    {
        // Only what the caller could read itself: a user must not hide another's detection.
        snx::FsIdentityScope scope(change.caller);
        if (!scope.active())
            return QStringLiteral("cannot act with the caller's identity:");
        const QByteArray path = QFile::encodeName(change.path);
        if (!path.startsWith('/'))
            return QStringLiteral("not an absolute path:");
        // No /proc magic link either: the kernel follows one on the service's right to trace
        // the process, and the trusted list, which anyone may read, would tell that the file
        // behind it exists.
        const snx::UniqueFd file(snx::openRequestedPath(path.constData(), O_PATH | O_CLOEXEC));
        if (!file.valid() ||
            ::syscall(SYS_faccessat2, file.get(), "", R_OK, AT_EMPTY_PATH | AT_EACCESS) != 0)
            return snx::fdwalk::failure("the caller cannot read", errno);
    }
    // Each row is kept on root's disk and read whole at every start: a path a user trusts again
    // stays one row, and a user's trust is bounded as its white list is. Root's rows are as
    // always, one per call.
    QSqlQuery query(db);
    if (!change.caller.isRoot()) {
        query.prepare(QStringLiteral("SELECT COUNT(*), COUNT(CASE WHEN filepath = ? THEN 1 END) "
                                     "FROM trustfiles WHERE uid = ?"));
        query.addBindValue(change.path);
        query.addBindValue(qint64(change.caller.uid));
        if (!query.exec() || !query.next())
            return QStringLiteral("file insert/delete failed: %1 -").arg(query.lastError().text());
        if (query.value(1).toLongLong() > 0)
            return QString();
        if (query.value(0).toLongLong() >= maxUserTrustedPaths)
            return QStringLiteral("the caller trusts %1 paths already, the most a user may:")
                .arg(maxUserTrustedPaths);
        query.finish();
    }
    if (!query.exec(sql::trustInsert(change.path, change.time, change.caller.uid)))
        return QStringLiteral("file insert/delete failed: %1 -").arg(query.lastError().text());
    return QString();
}

QString FileCacheDb::untrust(const snx::ProblemFileChange &change)
{
    QSqlQuery query(db);
    const QString statement = change.caller.isRoot()
                                  ? sql::trustDelete(change.path)
                                  : sql::trustDeleteOf(change.path, change.caller.uid);
    if (!query.exec(statement))
        return QStringLiteral("file insert/delete failed: %1 -").arg(query.lastError().text());
    return QString();
}

void FileCacheDb::describeRemaining(snx::ProblemFileOutcome *outcome)
{
    const QList<snx::IsolationRecord> left = records.forPath(outcome->change.path);
    outcome->pathStillIsolated = !left.isEmpty();
    if (!left.isEmpty()) {
        outcome->md5 = left.first().md5;
        outcome->time = left.first().time;
    }
}
