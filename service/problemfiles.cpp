// Problem files: the scan cache loaded at start-up, trusting and isolating files, and the relay
// of each finished change.
#include "service/operatedbusdata.h"

#include "cache/isolationrecords.h"
#include "cache/scancachesql.h"
#include "core/logging.h"
#include "service/querytext.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <sys/stat.h>

namespace sql = snx::scancachesql;

namespace {

QString timeTextOfNow()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

} // namespace

void OperateDBusData::openScanCache()
{
    // An existing directory is fine; a missing one explains the open failure below.
    if (!QDir().mkdir(config.configDir) && !QFileInfo(config.configDir).isDir())
        qCWarning(lcScanner) << "scan cache directory not made:" << config.configDir;
    scanCacheDb = QSqlDatabase::contains(sql::connectionName)
                      ? QSqlDatabase::database(sql::connectionName)
                      : QSqlDatabase::addDatabase(sql::driver, sql::connectionName);
    scanCacheDb.setDatabaseName(config.databaseFile);
    scanCacheDb.setUserName(sql::userName);
    scanCacheDb.setPassword(sql::password);
    if (!scanCacheDb.open()) {
        qCWarning(lcScanner) << "scan cache not opened:" << config.databaseFile
                             << scanCacheDb.lastError().text();
        return;
    }

    const QStringList tables = scanCacheDb.tables(QSql::Tables);
    QSqlQuery query(scanCacheDb);
    if (!tables.contains(sql::trustTable) && !query.exec(sql::createTrustTable())) {
        qCWarning(lcScanner) << "scan cache table not created:" << query.lastError().text();
        return;
    }
    if (!tables.contains(sql::isolationTable) && !query.exec(sql::createIsolationTable())) {
        qCWarning(lcScanner) << "scan cache table not created:" << query.lastError().text();
        return;
    }

    snx::IsolationRecords::settlePending(scanCacheDb, config.quarantineDir);
    if (query.exec(sql::selectTrusted)) {
        while (query.next()) {
            const QString path = query.value(0).toString();
            trustFileTimes[path] = query.value(1).toString();
            trustFiles.append(path);
            trustedBy[path].insert(query.value(2).toUInt());
        }
    } else {
        qCWarning(lcScanner) << "trust file query failed:" << query.lastError().text();
    }
    if (query.exec(sql::selectIsolated)) {
        while (query.next()) {
            const QString path = query.value(0).toString();
            isolationFileTimes[path] = query.value(2).toString();
            isolationFileMd5s[path] = query.value(1).toString();
            isolationFiles.append(path);
        }
    } else {
        qCWarning(lcScanner) << "isolation file query failed:" << query.lastError().text();
    }
}

void OperateDBusData::TrustProblemFile(bool bFlag, QString sPath)
{
    if (!verifyCaller()) {
        if (callerRefusalLogged)
            qCWarning(lcScanner) << "invalid invoker!";
        return;
    }
    emit notifyFileCacheDb(
        changeOf(bFlag ? snx::ProblemFileChange::Trust : snx::ProblemFileChange::Untrust, sPath));
}

snx::ProblemFileChange OperateDBusData::changeOf(snx::ProblemFileChange::Kind kind,
                                                 const QString &path) const
{
    snx::ProblemFileChange change;
    change.kind = kind;
    change.path = path;
    change.time = timeTextOfNow();
    change.caller = currentCaller;
    return change;
}

void OperateDBusData::ensureQuarantineDir()
{
    if (QDir(config.quarantineDir).exists())
        return;
    // Quarantined files are neither runnable nor readable by anyone but root.
    ::mkdir(QFile::encodeName(config.quarantineDir).constData(), 0700);
}

void OperateDBusData::IsolationProblemFile(bool bFlag, QString sPath)
{
    if (!verifyCaller()) {
        if (callerRefusalLogged)
            qCWarning(lcScanner) << "invalid invoker!";
        return;
    }
    if (bFlag && !problemFiles.contains(sPath))
        return;
    ensureQuarantineDir();
    // The digest is taken in the worker, from the file it opened, so the index follows its report.
    emit notifyFileCacheDb(
        changeOf(bFlag ? snx::ProblemFileChange::Isolate : snx::ProblemFileChange::Restore, sPath));
}

// A long list goes out in several signals, each under the bus's message limit and cut after
// whole entries; they are sent back to back before the call's reply, and joined they give the
// list. An entry too long for any signal (only older databases hold one) is left out.
void OperateDBusData::QueryTrustProblemFiles()
{
    int leftOut = 0;
    for (const QString &piece :
         snx::queryTextPieces(trustFileTimes, snx::maxQueryTextBytes, &leftOut))
        emit SendTrustProblemFiles(piece);
    if (leftOut > 0)
        qCWarning(lcScanner) << leftOut << "trusted paths too long to be reported";
}

void OperateDBusData::QueryIsolationProblemFiles()
{
    int leftOut = 0;
    for (const QString &piece :
         snx::queryTextPieces(isolationFileTimes, snx::maxQueryTextBytes, &leftOut))
        emit SendIsolationProblemFiles(piece);
    if (leftOut > 0)
        qCWarning(lcScanner) << leftOut << "isolated paths too long to be reported";
}

void OperateDBusData::acceptProblemFileOutcome(const snx::ProblemFileOutcome &outcome)
{
    const QString &path = outcome.change.path;
    if (outcome.applied) {
        switch (outcome.change.kind) {
        case snx::ProblemFileChange::Trust:
            if (!trustedBy.contains(path))
                trustFiles.append(path);
            trustFileTimes[path] = outcome.change.time;
            trustedBy[path].insert(outcome.change.caller.uid);
            break;
        case snx::ProblemFileChange::Untrust: {
            // Root's withdrawal takes every row of the path, a user's only that user's.
            QSet<uint> &owners = trustedBy[path];
            if (outcome.change.caller.isRoot())
                owners.clear();
            else
                owners.remove(outcome.change.caller.uid);
            if (owners.isEmpty()) {
                trustedBy.remove(path);
                trustFiles.removeAll(path);
                trustFileTimes.remove(path);
            }
            break;
        }
        case snx::ProblemFileChange::Isolate:
            isolationFiles.append(path);
            isolationFileMd5s[path] = outcome.md5;
            isolationFileTimes[path] = outcome.time;
            break;
        case snx::ProblemFileChange::Restore:
            isolationFiles.removeOne(path);
            if (outcome.pathStillIsolated) {
                isolationFileMd5s[path] = outcome.md5;
                isolationFileTimes[path] = outcome.time;
            } else {
                isolationFileMd5s.remove(path);
                isolationFileTimes.remove(path);
            }
            break;
        }
    }
    if (outcome.change.isTrust())
        acceptTrustProblemFileInfo(outcome.change.flag(), path);
    else
        acceptIsolationProblemFileInfo(outcome.change.flag(), path);
}

void OperateDBusData::acceptTrustProblemFileInfo(bool flag, QString sPath)
{
    --operatingSum;
    emit SendTrustProblemFileInfo(flag, sPath);
}

void OperateDBusData::acceptIsolationProblemFileInfo(bool flag, QString sPath)
{
    --operatingSum;
    emit SendIsolationProblemFileInfo(flag, sPath);
}
