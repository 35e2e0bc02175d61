#include "samples.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace samples {

bool write(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QStringList corpus(const QString &dir, int count, const QList<int> &infected, int size)
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = dir + QStringLiteral("/f%1").arg(i, 5, 10, QLatin1Char('0'));
        QByteArray content = infected.contains(i) ? eicar : QByteArray(size, char('a' + i % 26));
        write(path, content);
        paths.append(path);
    }
    return paths;
}

} // namespace samples
