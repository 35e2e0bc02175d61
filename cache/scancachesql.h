#pragma once

#include <QString>

// The scan cache's schema and statements. Values are quoted as SQL literals and placed in one
// pass, so a path with quotes or "%1" in it is stored exactly as given.
namespace snx::scancachesql {

inline const QString connectionName = QStringLiteral("scan_cache");
inline const QString driver = QStringLiteral("QSQLITE");
inline const QString userName = QStringLiteral("root");
inline const QString password = QStringLiteral("mopret-kalduvin");

inline const QString trustTable = QStringLiteral("trustfiles");
inline const QString isolationTable = QStringLiteral("isolationfiles");

QString createTrustTable();
QString createIsolationTable();
inline const QString selectTrusted = QStringLiteral("select * from trustfiles");
inline const QString selectIsolated = QStringLiteral("select * from isolationfiles");

QString trustInsert(const QString &path, const QString &time);
QString trustDelete(const QString &path);

// The text between the quotes of an SQL string literal.
QString quoted(const QString &value);

} // namespace snx::scancachesql
