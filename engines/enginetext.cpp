#include "engines/enginetext.h"

#include <QFile>
#include <cstring>

namespace snx::enginetext {

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

QString virusName(const char *field, size_t capacity)
{
    return QString::fromUtf8(field, int(strnlen(field, capacity)));
}

} // namespace snx::enginetext
