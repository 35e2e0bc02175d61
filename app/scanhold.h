#pragma once

#include <QByteArray>
#include <QVector>
#include <atomic>
#include <memory>

namespace snx {

// Holds the sandbox's scan loop before chosen files (-1: before the walk of a new task's paths),
// so that a test knows the scan is mid-run: before the file at a chosen index (once per entry, the
// first time the loop reaches it) the loop connects to the test's local socket, writes the index as
// a line and waits for one byte: 'g' lets it go on, 'p' lets it go on once the jobs' pause flag is
// set. The end of the connection lets it go too, so a test that ends never leaves the service held.
// Sandbox only.
class ScanHold
{
public:
    ScanHold(const QString &socket, const QVector<int> &holdIndexes);

    void beforeFile(int index, const std::atomic_bool &paused);

private:
    bool take(int index);

    const QByteArray socketPath;
    const QVector<int> indexes;
    // One per entry of `indexes`: the loop threads of both engines take them.
    const std::unique_ptr<std::atomic_bool[]> taken;
};

} // namespace snx
