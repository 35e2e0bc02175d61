#include "cache/filecachedb.h"

#include "cache/safepath.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>

namespace {

// Runs a file tool with an argument list: no text is split, and "--" ends the options, so
// quotes, spaces and a leading "-" in a path reach the tool as they are.
bool runTool(const QString &program, const QStringList &arguments, const QString &path)
{
    QProcess process;
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        qWarning() << program << "not started for" << path << ":" << process.errorString();
        return false;
    }
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning() << program << "failed for" << path << "with status" << process.exitCode() << ":"
                   << QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return false;
    }
    return true;
}

} // namespace

FileCacheDb::FileCacheDb(QSqlDatabase db, QString quarantineDir, QObject *parent)
    : QObject(parent), db(std::move(db)), quarantineDir(std::move(quarantineDir))
{
}

void FileCacheDb::initData()
{
}

void FileCacheDb::acceptFileCacheDb(bool flag, int type, QString filepath, QString cmd, QString md5)
{
    QSqlQuery query(db);
    if (!query.exec(cmd))
        qWarning() << "file insert/delete failed:" << query.lastError().text() << "for" << filepath;
    if (type == 2) {
        emit sendTrustProblemFileInfo(flag, filepath);
        return;
    }
    operateIsolationFile(flag, filepath, md5);
    emit sendIsolationProblemFileInfo(flag, filepath);
}

void FileCacheDb::operateIsolationFile(bool flag, const QString &filepath, const QString &md5)
{
    const QString quarantined = quarantineDir + md5;
    if (flag) {
        if (md5.isEmpty()) {
            // Without a digest no restore could find the file again: leave it where it is.
            qWarning() << "isolation skipped, file could not be read:" << filepath;
            return;
        }
        const QString refusal = snx::safepath::refusalToMove(filepath);
        if (!refusal.isEmpty()) {
            qWarning() << "isolation refused:" << refusal << filepath;
            return;
        }
        moveFile(filepath, quarantined);
        return;
    }

    if (!QFileInfo(filepath).dir().exists()) {
        qWarning() << "restore skipped, the former directory is gone:" << filepath;
        return;
    }
    if (md5.isEmpty() || !QFileInfo(quarantined).isFile()) {
        qWarning() << "restore skipped, no quarantine file for" << filepath;
        return;
    }
    const QString refusal = snx::safepath::refusalToCreate(filepath);
    if (!refusal.isEmpty()) {
        qWarning() << "restore refused:" << refusal << filepath
                   << "- quarantine file kept:" << quarantined;
        return;
    }
    copyFile(quarantined, filepath);
}

bool FileCacheDb::moveFile(const QString &source, const QString &target)
{
    return runTool(QStringLiteral("mv"), {QStringLiteral("--"), source, target}, source);
}

bool FileCacheDb::copyFile(const QString &source, const QString &target)
{
    return runTool(QStringLiteral("cp"),
                   {QStringLiteral("-p"), QStringLiteral("--"), source, target}, target);
}
