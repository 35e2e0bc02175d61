// The list text built from arbitrary paths and times: one "path|time*" per entry, in path order.
#include "service/querytext.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList pieces =
        QString::fromUtf8(reinterpret_cast<const char *>(data), int(size)).split(QChar(0));
    QMap<QString, QString> entries;
    for (int i = 0; i + 1 < pieces.size(); i += 2)
        entries.insert(pieces[i], pieces[i + 1]);
    const QString text = snx::queryText(entries);
    QString expected;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        expected += it.key() + QLatin1Char('|') + it.value() + QLatin1Char('*');
    if (text != expected || (!entries.isEmpty() && !text.endsWith(QLatin1Char('*'))))
        __builtin_trap();
    return 0;
}
