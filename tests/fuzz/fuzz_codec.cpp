// File names through the service's codec: any bytes come back as the same bytes, and the text
// is valid UTF-8 for D-Bus.
#include "core/losslessutf8codec.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static snx::LosslessUtf8Codec codec;
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QString text = codec.toUnicode(bytes);
    if (codec.fromUnicode(text) != bytes)
        __builtin_trap();
    const QByteArray utf8 = text.toUtf8();
    if (QString::fromUtf8(utf8.constData(), utf8.size()) != text)
        __builtin_trap();
    return 0;
}
