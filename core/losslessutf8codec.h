#pragma once

#include <QTextCodec>

namespace snx {

// File names are bytes. This codec reads them as UTF-8 where they are, and gives every byte
// that is not part of a valid sequence a code point of its own, U+10FF00 plus the byte, in a
// private-use range. Encoding maps those code points back to their bytes, so every name
// survives the trip to a QString and back, and travels on D-Bus as valid UTF-8. A real name
// that holds such a code point has its bytes escaped the same way, so no two names meet.
class LosslessUtf8Codec : public QTextCodec
{
public:
    QByteArray name() const override;
    int mibEnum() const override;

    static constexpr uint escapeBase = 0x10FF00;

    // Makes this codec the locale's, for file names, process arguments and local text.
    static void install();

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *state) const override;
    QByteArray convertFromUnicode(const QChar *in, int length,
                                  ConverterState *state) const override;
};

} // namespace snx
