// The walk against a literal reading of its rules (QDir listings, QFileInfo tests), on a small
// fixed tree with white lists and size limits taken from the input.
#include "core/scannerconfig.h"
#include "engines/filewalk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

namespace {

struct Tree
{
    QTemporaryDir dir;
    Tree()
    {
        const char *files[] = {"a/x", "a/sub/y", "abc/z", "a/.h/k", "big/b", "s p/%1 'q'", "wl/f"};
        qint64 size = 100;
        for (const char *f : files) {
            const QString path = dir.filePath(QLatin1String(f));
            QDir().mkpath(QFileInfo(path).path());
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.resize(size);
            size = size * 7 + 1000;
        }
        QFile::link(dir.filePath("a"), dir.filePath("link-to-a"));
    }
};

void literalTraverse(const QString &path, const snx::WalkRules &rules, QStringList &out)
{
    const QFileInfo info(path);
    if (!info.exists())
        return;
    if (info.isFile()) {
        for (const QString &w : rules.whiteList)
            if (QFileInfo(w).isFile() ? path == w : path.contains(w))
                return;
        if (info.size() / 1024 <= qint64(rules.fileSizeLimit) * 1024)
            out.append(QDir::cleanPath(info.absoluteFilePath()));
        return;
    }
    if (!info.isDir() || info.size() == 0)
        return;
    for (const QString &w : rules.whiteList)
        if (QFileInfo(w).isDir() && w == path)
            return;
    const QFileInfoList entries = QDir(path).entryInfoList(
        QDir::Dirs | QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot,
        QDir::Name);
    for (const QFileInfo &e : entries) {
        const QString absolute = QDir::cleanPath(e.absoluteFilePath());
        if (rules.systemDirectories.contains(absolute.split(QLatin1Char('/')).value(1)))
            continue;
        literalTraverse(absolute, rules, out);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Tree tree;
    if (size < 1)
        return 0;
    const int limit = int(int8_t(data[0])) / 16;
    QStringList whiteList;
    for (const QString &piece :
         QString::fromUtf8(reinterpret_cast<const char *>(data + 1), int(size - 1))
             .split(QLatin1Char('\n')))
        if (!piece.isEmpty())
            whiteList << (piece.startsWith(QLatin1Char('@')) ? tree.dir.filePath(piece.mid(1))
                                                             : piece);
    const snx::WalkRules rules{whiteList, limit,
                               snx::ScannerConfig::production().systemDirectories};
    QStringList fast = snx::walkPaths({tree.dir.path(), tree.dir.filePath("link-to-a")}, rules);
    QStringList literal;
    literalTraverse(tree.dir.path(), rules, literal);
    literalTraverse(tree.dir.filePath("link-to-a"), rules, literal);
    fast.sort();
    literal.sort();
    if (fast != literal)
        __builtin_trap();
    return 0;
}
