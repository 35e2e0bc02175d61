#include "service/querytext.h"

namespace snx {

QString queryText(const QMap<QString, QString> &pathTimes)
{
    QString text;
    for (auto it = pathTimes.cbegin(); it != pathTimes.cend(); ++it)
        text += it.key() + QLatin1Char('|') + it.value() + QLatin1Char('*');
    return text;
}

} // namespace snx
