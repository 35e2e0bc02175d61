#include "service/querytext.h"

namespace snx {
namespace {

// Bytes of the text in UTF-8, as QtDBus puts it on the bus; a lone surrogate becomes U+FFFD.
int utf8Size(const QString &text)
{
    int bytes = 0;
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const ushort c = text.at(i).unicode();
        if (c < 0x80)
            bytes += 1;
        else if (c < 0x800)
            bytes += 2;
        else if (QChar::isHighSurrogate(c) && i + 1 < n && text.at(i + 1).isLowSurrogate()) {
            bytes += 4;
            ++i;
        } else
            bytes += 3;
    }
    return bytes;
}

} // namespace

QString queryText(const QMap<QString, QString> &pathTimes)
{
    QString text;
    for (auto it = pathTimes.cbegin(); it != pathTimes.cend(); ++it)
        text += it.key() + QLatin1Char('|') + it.value() + QLatin1Char('*');
    return text;
}

QStringList queryTextPieces(const QMap<QString, QString> &pathTimes, int maxBytes, int *leftOut)
{
    QStringList pieces{QString()};
    int pieceBytes = 0;
    int skipped = 0;
    for (auto it = pathTimes.cbegin(); it != pathTimes.cend(); ++it) {
        // No character takes fewer bytes than UTF-16 units: an entry with more units than the
        // limit is left out before it is copied or measured.
        if (qint64(it.key().size()) + it.value().size() + 2 > maxBytes) {
            ++skipped;
            continue;
        }
        const QString entry = it.key() + QLatin1Char('|') + it.value() + QLatin1Char('*');
        const int bytes = utf8Size(entry);
        if (bytes > maxBytes) {
            ++skipped;
            continue;
        }
        if (pieceBytes + bytes > maxBytes) {
            pieces.append(QString());
            pieceBytes = 0;
        }
        pieces.last() += entry;
        pieceBytes += bytes;
    }
    if (leftOut)
        *leftOut = skipped;
    return pieces;
}

} // namespace snx
