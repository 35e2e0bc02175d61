#pragma once

#include <QMap>
#include <QString>

namespace snx {

// "path|time*" for every entry, in path order; empty for an empty map.
QString queryText(const QMap<QString, QString> &pathTimes);

} // namespace snx
