#pragma once

#include <QByteArray>
#include <QString>

// How paths and names cross into and out of the engines.
namespace snx::enginetext {

// The bytes that name the file on disk. Both engines take these: on a UTF-8 system they are
// the UTF-8 of the name, and for a name that is not UTF-8 they are its bytes as they stand.
QByteArray nativePath(const QString &path);
// A NUL-terminated name of at most `capacity` bytes, read as UTF-8.
QString virusName(const char *field, size_t capacity);

} // namespace snx::enginetext
