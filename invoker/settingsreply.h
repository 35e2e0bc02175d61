#pragma once

#include <QDBusMessage>
#include <QStringList>
#include <QVariant>

// How replies of the settings daemon are read: anything unexpected reads as empty.
namespace snx::settingsreply {

QVariant variantOf(const QDBusMessage &reply);
QStringList stringListOf(const QDBusMessage &reply);
bool boolOf(const QDBusMessage &reply);

} // namespace snx::settingsreply
