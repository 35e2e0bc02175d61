#pragma once

#include <QDBusError>
#include <QJsonObject>

// When the service or the bus refused a call, who was refused and why, in words an
// administrator can act on; an empty object for any other error. Keys: user, uid, program,
// reason.
QJsonObject refusalDetail(const QDBusError &error);
