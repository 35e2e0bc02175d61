#pragma once

#include <QString>

// Checks made as root before a file is moved or written at a path that a caller named.
// Each returns why the operation is refused, or an empty text when it may go ahead.
namespace snx::safepath {

// Only a regular file, not a link, reached without a link that root does not own.
QString refusalToMove(const QString &path);
// Nothing at the path in any form (a dangling link included), reached the same way.
QString refusalToCreate(const QString &path);

} // namespace snx::safepath
