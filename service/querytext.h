#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace snx {

// "path|time*" for every entry, in path order; empty for an empty map.
QString queryText(const QMap<QString, QString> &pathTimes);

// Largest text one list signal carries, in bytes of UTF-8 as it goes on the bus: well under the
// system bus's default message limit of 32 MiB, so that no signal is ever dropped.
constexpr int maxQueryTextBytes = 4 * 1024 * 1024;

// The same text cut after whole entries into pieces of at most `maxBytes` bytes each; joined,
// they give queryText of the entries kept. Always at least one piece (empty for an empty map).
// An entry longer than `maxBytes` on its own is left out and counted in `leftOut`.
QStringList queryTextPieces(const QMap<QString, QString> &pathTimes,
                            int maxBytes = maxQueryTextBytes, int *leftOut = nullptr);

} // namespace snx
