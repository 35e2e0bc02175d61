#include "benchutil.h"

#include "samples.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <cstring>

namespace bench {

std::unique_ptr<QTemporaryDir> workDirectory(const QString &parent, const QString &name)
{
    QDir().mkpath(parent);
    auto dir = std::make_unique<QTemporaryDir>(parent + QLatin1Char('/') + name +
                                               QStringLiteral("-XXXXXX"));
    if (dir->isValid())
        return dir;
    std::fprintf(stderr, "cannot make a work directory under %s: %s\n", qPrintable(parent),
                 qPrintable(dir->errorString()));
    return nullptr;
}

namespace {
const QByteArray &eicar = samples::eicar;

QByteArray randomBytes(QRandomGenerator &rng, int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i + 4 <= size; i += 4) {
        const quint32 v = rng.generate();
        std::memcpy(data.data() + i, &v, 4);
    }
    return data;
}
} // namespace

Corpus makeCorpus(const QString &dir, int smallCount, int largeCount)
{
    Corpus c;
    c.small = dir + QStringLiteral("/small");
    c.large = dir + QStringLiteral("/large");
    QRandomGenerator rng(42);
    const QByteArray pool = randomBytes(rng, 32 << 20);
    for (int i = 0; i < smallCount; ++i) {
        const QString sub = c.small + QStringLiteral("/d%1").arg(i / 500);
        if (i % 500 == 0)
            QDir().mkpath(sub);
        const int size = 1024 + int(rng.bounded(15 * 1024));
        QByteArray content = pool.mid(int(rng.bounded(pool.size() - size)), size);
        if (i % 2000 == 7)
            content = eicar;
        QFile f(sub + QStringLiteral("/f%1.bin").arg(i));
        f.open(QIODevice::WriteOnly);
        f.write(content);
        c.smallBytes += content.size();
        ++c.smallFiles;
    }
    QDir().mkpath(c.large);
    for (int i = 0; i < largeCount; ++i) {
        const int size = (1 + int(rng.bounded(20))) << 20;
        QFile f(c.large + QStringLiteral("/big%1.bin").arg(i));
        f.open(QIODevice::WriteOnly);
        for (int written = 0; written < size;) {
            const int chunk = qMin(size - written, pool.size() - (written % (8 << 20)));
            f.write(pool.constData() + (written % (8 << 20)), qMin(chunk, 8 << 20));
            written += qMin(chunk, 8 << 20);
        }
        c.largeBytes += f.size();
        ++c.largeFiles;
    }
    return c;
}

double timeCommand(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return -1;
    p.waitForFinished(-1);
    return seconds(t);
}

void warm(const QString &dir)
{
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly))
            while (!f.read(1 << 20).isEmpty()) {
            }
    }
}

} // namespace bench
