#include "cache/scancachesql.h"

namespace snx::scancachesql {

QString quoted(const QString &value)
{
    QString text = value;
    return text.replace(QLatin1Char('\''), QStringLiteral("''"));
}

QString createTrustTable()
{
    return QStringLiteral(
               "CREATE TABLE %1 (filepath VARCHAR NOT NULL, datetimes datetime NOT NULL);")
        .arg(trustTable);
}

QString createIsolationTable()
{
    return QStringLiteral("CREATE TABLE %1 (filepath VARCHAR NOT NULL, md5 VARCHAR NOT NULL, "
                          "datetimes datetime NOT NULL);")
        .arg(isolationTable);
}

QString addTrustOwnerColumn()
{
    return QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 INTEGER NOT NULL DEFAULT 0")
        .arg(trustTable, trustOwnerColumn);
}

QString trustInsert(const QString &path, const QString &time, uint uid)
{
    return QStringLiteral(
               "INSERT INTO trustfiles (filepath, datetimes, uid) VALUES ('%1', '%2', %3)")
        .arg(quoted(path), quoted(time), QString::number(uid));
}

QString trustDeleteOf(const QString &path, uint uid)
{
    return QStringLiteral("DELETE FROM trustfiles WHERE filepath='%1' AND uid=%2")
        .arg(quoted(path), QString::number(uid));
}

QString trustDelete(const QString &path)
{
    return QStringLiteral("DELETE FROM trustfiles WHERE filepath='%1'").arg(quoted(path));
}

} // namespace snx::scancachesql
