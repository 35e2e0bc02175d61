#include "core/losslessutf8codec.h"

namespace snx {

namespace {

// Length of the valid UTF-8 sequence at `p`, or 0. Overlong forms, surrogates and code points
// beyond U+10FFFF are not valid.
int validSequence(const unsigned char *p, const unsigned char *end, uint &codePoint)
{
    const unsigned char b = p[0];
    int length;
    uint min;
    if (b < 0x80) {
        codePoint = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        length = 2, codePoint = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        length = 3, codePoint = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        length = 4, codePoint = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (end - p < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (p[i] & 0x3F);
    }
    if (codePoint < min || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

void appendCodePoint(QString &out, uint codePoint)
{
    if (QChar::requiresSurrogates(codePoint)) {
        out += QChar(QChar::highSurrogate(codePoint));
        out += QChar(QChar::lowSurrogate(codePoint));
    } else {
        out += QChar(ushort(codePoint));
    }
}

void appendUtf8(QByteArray &out, uint c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

} // namespace

QByteArray LosslessUtf8Codec::name() const
{
    return QByteArrayLiteral("UTF-8-lossless");
}

int LosslessUtf8Codec::mibEnum() const
{
    return -4242; // private; not an IANA number
}

void LosslessUtf8Codec::install()
{
    static LosslessUtf8Codec *codec = new LosslessUtf8Codec; // Qt keeps codecs until exit
    QTextCodec::setCodecForLocale(codec);
}

QString LosslessUtf8Codec::convertToUnicode(const char *in, int length, ConverterState *) const
{
    QString out;
    out.reserve(length);
    const auto *p = reinterpret_cast<const unsigned char *>(in);
    const auto *const begin = p;
    const auto *end = p + length;
    while (p < end) {
        uint codePoint = 0;
        const int n = validSequence(p, end, codePoint);
        // A text that begins with U+FEFF loses it on its way back from UTF-8 (Qt takes it for a
        // byte-order mark), so a name that begins with its bytes is escaped like a stray byte.
        const bool leadingByteOrderMark = codePoint == 0xFEFF && p == begin;
        if (n > 0 && (codePoint & ~0xFFu) != escapeBase && !leadingByteOrderMark) {
            appendCodePoint(out, codePoint);
            p += n;
        } else {
            // Not UTF-8, or a real name that holds one of our escapes: one code point per byte.
            const int bytes = n > 0 ? n : 1;
            for (int i = 0; i < bytes; ++i)
                appendCodePoint(out, escapeBase + p[i]);
            p += bytes;
        }
    }
    return out;
}

QByteArray LosslessUtf8Codec::convertFromUnicode(const QChar *in, int length,
                                                 ConverterState *) const
{
    QByteArray out;
    out.reserve(length);
    for (int i = 0; i < length; ++i) {
        uint c = in[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < length && in[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(in[i], in[i + 1]);
            ++i;
        } else if (QChar::isSurrogate(c))
            c = QChar::ReplacementCharacter; // a lone half names no character
        if ((c & ~0xFFu) == escapeBase)
            out += char(c & 0xFF);
        else
            appendUtf8(out, c);
    }
    return out;
}

} // namespace snx
