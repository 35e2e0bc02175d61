#include "core/logging.h"

#include "core/names.h"

#include <QByteArray>
#include <QFile>
#include <fcntl.h>
#include <memory>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcScanner, snx::names::busNameText)

namespace snx {
namespace {

const char linePattern[] = "%Y-%m-%d %H:%M:%S.%e [%l] %v";

// The syslog priority journald reads from a "<N>" line prefix.
class JournalPriorityFlag : public spdlog::custom_flag_formatter
{
public:
    void format(const spdlog::details::log_msg &msg, const std::tm &,
                spdlog::memory_buf_t &dest) override
    {
        static const char *const prefixes[] = {"<7>", "<7>", "<6>", "<4>", "<3>", "<2>", "<6>"};
        const char *prefix = prefixes[msg.level];
        dest.append(prefix, prefix + 3);
    }
    std::unique_ptr<custom_flag_formatter> clone() const override
    {
        return std::make_unique<JournalPriorityFlag>();
    }
};

// systemd hands "device:inode" of the journal stream; stderr may since have been redirected.
bool stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const int colon = stream.indexOf(':');
    struct stat st;
    if (colon <= 0 || ::fstat(STDERR_FILENO, &st) != 0)
        return false;
    bool devOk = false, inoOk = false;
    const qulonglong dev = stream.left(colon).toULongLong(&devOk);
    const qulonglong ino = stream.mid(colon + 1).toULongLong(&inoOk);
    return devOk && inoOk && dev == qulonglong(st.st_dev) && ino == qulonglong(st.st_ino);
}

struct Backend
{
    std::string filePath;
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks =
        std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::shared_ptr<spdlog::logger> logger;
    spdlog::sink_ptr console;
    spdlog::sink_ptr file;

    Backend()
    {
        logger = std::make_shared<spdlog::logger>("velmar", sinks);
        logger->set_level(spdlog::level::trace);
        // Lines are few and matter most right before a crash: write each one through.
        logger->flush_on(spdlog::level::trace);
    }

    // One call replaces the whole set, so a line logged meanwhile from another thread goes to
    // the old file or the new one, never to neither.
    void publish()
    {
        std::vector<spdlog::sink_ptr> all;
        for (const spdlog::sink_ptr &sink : {console, file})
            if (sink)
                all.push_back(sink);
        sinks->set_sinks(std::move(all));
    }

    spdlog::sink_ptr openFile()
    {
        // Created here, not by the library, so that its mode never depends on the umask; a link
        // or anything else than a regular file in its place is not written to.
        const int fd =
            ::open(filePath.c_str(),
                   O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        struct stat st;
        const bool regular = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (fd >= 0)
            ::close(fd);
        if (!regular) {
            logger->warn("[default] log file {} not opened: not a regular file", filePath);
            return nullptr;
        }
        try {
            auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(filePath);
            sink->set_pattern(linePattern);
            return sink;
        } catch (const spdlog::spdlog_ex &e) {
            // Without a file the service still runs; the console keeps what would go there.
            logger->warn("[default] log file {} not opened: {}", filePath, e.what());
            return nullptr;
        }
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
    Backend &b = backend();
    b.console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    if (stderrIsJournal()) {
        auto formatter = std::make_unique<spdlog::pattern_formatter>();
        formatter->add_flag<JournalPriorityFlag>('*').set_pattern("%*[%l] %v");
        b.console->set_formatter(std::move(formatter));
    } else {
        b.console->set_pattern(linePattern);
    }
    b.publish();
    qInstallMessageHandler(forwardQtMessage);
}

void LogBackend::registerFileSink()
{
    Backend &b = backend();
    b.file = b.openFile();
    b.publish();
    qInstallMessageHandler(forwardQtMessage);
}

void LogBackend::applyLevelFromEnvironment()
{
    const QByteArray value = qgetenv(levelVariable).trimmed().toLower();
    if (value.isEmpty())
        return;
    const spdlog::level::level_enum level = spdlog::level::from_str(value.toStdString());
    // from_str answers "off" for every word it does not know.
    if (level == spdlog::level::off && value != "off") {
        backend().logger->warn("[default] {}={} names no log level (trace, debug, info, warning, "
                               "error, critical, off); kept: all levels",
                               levelVariable, value.constData());
        return;
    }
    backend().logger->set_level(level);
}

void LogBackend::reopenLogFile()
{
    Backend &b = backend();
    // A file that cannot be opened now: the renamed one still beats writing nowhere.
    if (spdlog::sink_ptr file = b.openFile()) {
        b.file = std::move(file);
        b.publish();
    }
}

} // namespace snx
