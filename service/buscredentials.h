#pragma once

#include "core/calleridentity.h"

#include <QString>

class QDBusConnection;

namespace snx {

// Asks the bus daemon for the credentials of the connection behind `sender`
// (GetConnectionCredentials). Unknown when the daemon cannot say who it is.
CallerIdentity busCallerIdentity(const QDBusConnection &bus, const QString &sender);

} // namespace snx
