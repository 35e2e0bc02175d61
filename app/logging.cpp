#include "app/logging.h"

#include <QByteArray>
#include <QFile>
#include <memory>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

Q_LOGGING_CATEGORY(lcScanner, "com.velmar.sentinex.scanner")

namespace snx {
namespace {

struct Backend
{
    std::string filePath;
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks =
        std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::shared_ptr<spdlog::logger> logger;

    Backend()
    {
        logger = std::make_shared<spdlog::logger>("velmar", sinks);
        logger->set_level(spdlog::level::trace);
        // Lines are few and matter most right before a crash: write each one through.
        logger->flush_on(spdlog::level::trace);
    }

    void add(spdlog::sink_ptr sink)
    {
        sink->set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] %v");
        sinks->add_sink(std::move(sink));
    }
};

Backend &backend()
{
    static Backend b;
    return b;
}

spdlog::level::level_enum levelOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return spdlog::level::debug;
    case QtInfoMsg:
        return spdlog::level::info;
    case QtWarningMsg:
        return spdlog::level::warn;
    case QtCriticalMsg:
        return spdlog::level::err;
    case QtFatalMsg:
        return spdlog::level::critical;
    }
    return spdlog::level::info;
}

void forwardQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const char *category = context.category ? context.category : "default";
    backend().logger->log(levelOf(type), "[{}] {}", category, message.toUtf8().constData());
    if (type == QtFatalMsg)
        abort();
}

} // namespace

void LogBackend::setLogFilePath(const QString &path)
{
    backend().filePath = QFile::encodeName(path).toStdString();
}

void LogBackend::registerConsoleSink()
{
    backend().add(std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    qInstallMessageHandler(forwardQtMessage);
}

void LogBackend::registerFileSink()
{
    Backend &b = backend();
    try {
        b.add(std::make_shared<spdlog::sinks::basic_file_sink_mt>(b.filePath));
    } catch (const spdlog::spdlog_ex &e) {
        // Without a file the service still runs; the console keeps what would have gone there.
        b.logger->warn("[default] log file {} not opened: {}", b.filePath, e.what());
    }
    qInstallMessageHandler(forwardQtMessage);
}

} // namespace snx
