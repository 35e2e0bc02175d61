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

QString trustInsert(const QString &path, const QString &time)
{
    return QStringLiteral("INSERT INTO trustfiles (filepath, datetimes) VALUES ('%1', '%2')")
        .arg(quoted(path), quoted(time));
}

QString trustDelete(const QString &path)
{
    return QStringLiteral("DELETE FROM trustfiles WHERE filepath='%1'").arg(quoted(path));
}

} // namespace snx::scancachesql
