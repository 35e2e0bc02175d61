#pragma once

#include <QObject>
#include <QSqlDatabase>
#include <QString>

// Carries out problem-file changes in its own thread: runs the statement, then moves the file
// into quarantine or copies it back, and reports each change as done, in arrival order.
class FileCacheDb : public QObject
{
    Q_OBJECT
public:
    FileCacheDb(QSqlDatabase db, QString quarantineDir, QObject *parent = nullptr);

signals:
    void sendTrustProblemFileInfo(bool flag, QString sPath);
    void sendIsolationProblemFileInfo(bool flag, QString sPath);

public slots:
    void initData();
    void acceptFileCacheDb(bool flag, int type, QString filepath, QString cmd, QString md5);

private:
    void operateIsolationFile(bool flag, const QString &filepath, const QString &md5);
    bool moveFile(const QString &source, const QString &target);
    bool copyFile(const QString &source, const QString &target);

    QSqlDatabase db;
    const QString quarantineDir;
};
