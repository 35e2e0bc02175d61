#include "service/callercheck.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QVector>
#include <unistd.h>

namespace snx {

CallerCheck::CallerCheck(const ScannerConfig &config)
    : procRoot(config.procRoot), referencePid(config.namespaceReferencePid),
      lookupRoot(config.libraryLookupRoot), allowedCallers(config.allowedCallers),
      libraryRoots(config.permittedLibraryRoots)
{
}

QString CallerCheck::illegalCallText()
{
    return QStringLiteral("Illegal calls") + QString(5, QChar(0xFF01));
}

QString CallerCheck::notAllowedText(uint pid, const QString &executable)
{
    return QStringLiteral("(pid: %1)[%2] is not allowed to transfer sentinex inter")
        .arg(QString::number(pid), executable);
}

QString CallerCheck::procPath(uint pid, const char *entry) const
{
    return procRoot + QLatin1Char('/') + QString::number(pid) + QLatin1Char('/') +
           QLatin1String(entry);
}

// The kernel's link target is relative (mnt:[N]); resolved against the link's directory and
// with the link's own path cut off, what is left is the namespace identity ":[N]".
QString CallerCheck::namespaceIdentity(const QString &link)
{
    const QByteArray native = QFile::encodeName(link);
    QByteArray target(4096, '\0');
    const ssize_t n = ::readlink(native.constData(), target.data(), size_t(target.size()));
    if (n <= 0)
        return QString();
    target.truncate(int(n));
    QString resolved = QFile::decodeName(target);
    if (!resolved.startsWith(QLatin1Char('/')))
        resolved = QFileInfo(link).path() + QLatin1Char('/') + resolved;
    return resolved.trimmed().mid(link.size());
}

bool CallerCheck::librariesPermitted(const QByteArray &mapsText) const
{
    const QString text = QString::fromLocal8Bit(mapsText).trimmed();
    // A library is mapped several times; its verdict does not change within one check.
    QHash<QString, bool> seen;
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        for (const QString &token : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (seen.contains(token))
                continue;
            seen.insert(token, true);
            // Name test first: it is cheap and rules out nearly every token without a stat.
            const QString fileName = token.section(QLatin1Char('/'), -1);
            if (!fileName.contains(QLatin1String(".so")))
                continue;
            const bool absolute = token.startsWith(QLatin1Char('/'));
            if (!QFileInfo(absolute ? lookupRoot + token : token).isFile())
                continue;
            const QStringList parts = token.split(QLatin1Char('/'), Qt::SkipEmptyParts);
            if (parts.size() <= 2)
                continue;
            const QString top = QStringLiteral("/%1/%2").arg(parts.at(0), parts.at(1));
            if (!libraryRoots.contains(top))
                return false;
        }
    }
    return true;
}

QString CallerCheck::programOfCmdline(const QByteArray &cmdline)
{
    const int end = cmdline.indexOf('\0');
    const QString program = QString::fromUtf8(end < 0 ? cmdline : cmdline.left(end));
    return program.split(QLatin1Char(' ')).first();
}

QString CallerCheck::executableOf(uint pid) const
{
    const QString exe = QFileInfo(procPath(pid, "exe")).canonicalFilePath();
    if (!exe.isEmpty())
        return exe;
    QFile cmdline(procPath(pid, "cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return QString();
    return programOfCmdline(cmdline.readAll());
}

CallerVerdict CallerCheck::check(uint pid) const
{
    const QString reference = procRoot + QLatin1Char('/') + referencePid + QStringLiteral("/ns/mnt");
    if (namespaceIdentity(reference) != namespaceIdentity(procPath(pid, "ns/mnt")))
        return {false, illegalCallText()};

    QFile maps(procPath(pid, "maps"));
    QByteArray mapsText;
    if (maps.open(QIODevice::ReadOnly))
        mapsText = maps.readAll();
    if (!librariesPermitted(mapsText))
        return {false, illegalCallText()};

    const QString executable = executableOf(pid);
    if (!allowedCallers.contains(executable))
        return {false, notAllowedText(pid, executable)};
    return {true, QString()};
}

} // namespace snx
