#pragma once

#include "core/names.h"
#include <QDBusConnection>
#include <QString>

// What the service relies on when it talks to the suite's settings daemon.
namespace snx::settingsdaemon {

inline constexpr int busType = 0; // system bus
inline const QString service = snx::names::settingsService();
inline const QString path = snx::names::settingsPath();
inline const QString interface = snx::names::settingsInterface();

inline const QString queryScanWhiteList = QStringLiteral("QueryScanWhiteList");         // () -> as
inline const QString getSysSettingValue = QStringLiteral("GetSysSettingValue");         // (s) -> v
inline const QString setSysSettingValue = QStringLiteral("SetSysSettingValue");         // (sv) -> b
inline const QString sysSettingValueChanged = QStringLiteral("SysSettingValueChanged"); // sv

inline const QString scanSizeKey = snx::names::scanSizeKey();     // int32, MiB
inline const QString engineTypeKey = snx::names::engineTypeKey(); // int32, 1 = Ah

inline constexpr QDBus::CallMode readMode = QDBus::Block;
inline constexpr QDBus::CallMode scanSizeWriteMode = QDBus::Block;
inline constexpr QDBus::CallMode engineTypeWriteMode = QDBus::NoBlock;

} // namespace snx::settingsdaemon
