#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>

namespace bench {

// 20,000 files of 1-16 KiB under dir/small, a few of 1-20 MiB under dir/large, EICAR in some.
struct Corpus
{
    QString small;
    QString large;
    int smallFiles = 0;
    int largeFiles = 0;
    qint64 smallBytes = 0;
    qint64 largeBytes = 0;
};
Corpus makeCorpus(const QString &dir, int smallCount = 20000, int largeCount = 6);

// A fresh directory named `name`-XXXXXX under `parent` (made if missing), removed at the end;
// null, after a message, when it cannot be made. Never go on without one: its paths would be
// empty, and an empty path is the working directory.
std::unique_ptr<QTemporaryDir> workDirectory(const QString &parent, const QString &name);

// Runs a command with its output discarded; returns seconds, or -1 when it could not run.
double timeCommand(const QString &program, const QStringList &args);

// Reads the whole tree once, so that every contender starts with a warm cache.
void warm(const QString &dir);

inline double seconds(const QElapsedTimer &t)
{
    return t.nsecsElapsed() / 1e9;
}

inline void row(const char *what, int files, qint64 bytes, double secs)
{
    std::printf("  %-34s %8.3f s %10.0f files/s %8.1f MB/s\n", what, secs, files / secs,
                bytes / secs / 1e6);
}

} // namespace bench
