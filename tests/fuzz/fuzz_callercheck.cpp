// The caller check's parsing of a maps text, on arbitrary bytes: it must never crash, and its
// verdict must match a plain token-by-token reading of it.
#include "service/callercheck.h"

#include <QFileInfo>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace {

// The rule read literally: every token, whole text decoded, no shortcuts.
bool literalVerdict(const QByteArray &maps, const QStringList &roots)
{
    const QString text = QString::fromLocal8Bit(maps).trimmed();
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        for (const QString &token : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!QFileInfo(token).isFile())
                continue;
            if (!token.section(QLatin1Char('/'), -1).contains(QLatin1String(".so")))
                continue;
            const QStringList parts = token.split(QLatin1Char('/'), Qt::SkipEmptyParts);
            if (parts.size() > 2 &&
                !roots.contains(QStringLiteral("/%1/%2").arg(parts.at(0), parts.at(1))))
                return false;
        }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const snx::ScannerConfig config = snx::ScannerConfig::production();
    static const snx::CallerCheck check(config);
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const bool fast = check.librariesPermitted(bytes);
    // No path holds a NUL, so the kernel never writes one into a maps text, and Qt reads a byte
    // array as text only up to its first NUL: the literal reading stops being literal there.
    if (bytes.contains('\0'))
        return 0;
    if (fast != literalVerdict(bytes, config.permittedLibraryRoots))
        __builtin_trap();
    return 0;
}
