// The list text built from arbitrary paths and times: one "path|time*" per entry, in path order;
// cut into pieces, each within its byte limit and after a whole entry, that join to the text of
// the entries kept, leaving out only entries too long on their own.
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

    // A small limit, taken from the input, so that pieces and left-out entries both occur.
    const int limit = 1 + int(size > 0 ? data[0] : 0);
    int leftOut = 0;
    const QStringList cut = snx::queryTextPieces(entries, limit, &leftOut);
    QString kept;
    int tooLong = 0;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const QString entry = it.key() + QLatin1Char('|') + it.value() + QLatin1Char('*');
        if (entry.toUtf8().size() > limit)
            ++tooLong;
        else
            kept += entry;
    }
    if (cut.isEmpty() || cut.join(QString()) != kept || leftOut != tooLong)
        __builtin_trap();
    for (const QString &piece : cut)
        if (piece.toUtf8().size() > limit ||
            (!piece.isEmpty() && !piece.endsWith(QLatin1Char('*'))))
            __builtin_trap();
    return 0;
}
