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

// Whose trust a row is: a user's trust applies to that user's scans, root's to everyone's.
// Scan caches from before the column get it, their rows counting as root's.
inline const QString trustOwnerColumn = QStringLiteral("uid");
QString addTrustOwnerColumn();
QString trustInsert(const QString &path, const QString &time, uint uid);
// Root withdraws every trust in the path; a user only its own.
QString trustDelete(const QString &path);
QString trustDeleteOf(const QString &path, uint uid);

// The text between the quotes of an SQL string literal.
QString quoted(const QString &value);

} // namespace snx::scancachesql
