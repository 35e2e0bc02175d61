// Problem files: the scan cache loaded at start-up, trusting and isolating files, and the relay
// of each finished change.
#include "service/operatedbusdata.h"

#include "app/logging.h"
#include "cache/scancachesql.h"
#include "service/querytext.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <sys/stat.h>

namespace sql = snx::scancachesql;

namespace {

QString timeTextOfNow()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// Streams the file, so that memory stays bounded whatever its size.
QString md5Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

void OperateDBusData::openScanCache()
{
    QDir().mkdir(config.configDir);
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

    if (query.exec(sql::selectTrusted)) {
        while (query.next()) {
            const QString path = query.value(0).toString();
            trustFileTimes[path] = query.value(1).toString();
            trustFiles.append(path);
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
        qCWarning(lcScanner) << "invalid invoker!";
        return;
    }
    const QString now = timeTextOfNow();
    QString cmd;
    if (bFlag) {
        cmd = sql::trustInsert(sPath, now);
        trustFiles.append(sPath);
        trustFileTimes[sPath] = now;
    } else {
        cmd = sql::trustDelete(sPath);
        trustFiles.removeOne(sPath);
        trustFileTimes.remove(sPath);
    }
    emit notifyFileCacheDb(bFlag, 2, sPath, cmd, QString());
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
        qCWarning(lcScanner) << "invalid invoker!";
        return;
    }
    if (bFlag && !problemFiles.contains(sPath))
        return;
    ensureQuarantineDir();
    const QString now = timeTextOfNow();
    QString cmd;
    QString md5;
    if (bFlag) {
        md5 = md5Of(sPath);
        cmd = sql::isolationInsert(sPath, md5, now);
        isolationFiles.append(sPath);
        isolationFileMd5s[sPath] = md5;
        isolationFileTimes[sPath] = now;
    } else {
        md5 = isolationFileMd5s.value(sPath);
        cmd = sql::isolationDelete(sPath);
        isolationFiles.removeOne(sPath);
        isolationFileMd5s.remove(sPath);
        isolationFileTimes.remove(sPath);
    }
    emit notifyFileCacheDb(bFlag, 1, sPath, cmd, md5);
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
