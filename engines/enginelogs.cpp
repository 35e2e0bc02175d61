#include "engines/enginelogs.h"

#include <QDebug>
#include <avcore.h>
#include <lame.h>
#include <mutex>

namespace snx {
namespace {

void toLog(int32_t level, const char *message, void *engine)
{
    const QString text =
        QStringLiteral("%1 engine: %2")
            .arg(QLatin1String(static_cast<const char *>(engine)), QString::fromUtf8(message));
    if (level > 0)
        qWarning().noquote() << text;
    else
        qInfo().noquote() << text;
}

} // namespace

void routeEngineLogs()
{
    static std::once_flag once;
    std::call_once(once, [] {
        avcore_set_log_callback(toLog, const_cast<char *>("ah"));
        lam_set_log_callback(toLog, const_cast<char *>("ris"));
    });
}

} // namespace snx
