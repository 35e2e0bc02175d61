#pragma once

#include <QByteArray>
#include <QString>

// How paths and names cross into and out of the engines.
namespace snx::enginetext {

// The path in the form that names the file on disk.
QByteArray localPath(const QString &path);
QByteArray utf8Path(const QString &path);
// A NUL-terminated name of at most `capacity` bytes, read as UTF-8.
QString virusName(const char *field, size_t capacity);

} // namespace snx::enginetext
