#pragma once

#include "engines/scanengine.h"

#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace snx {

// Scans the files of one run ahead in threads of its own, one per engine handle. The job's
// thread hands it the paths in list order and takes the outcomes back in the same order; what
// was scanned ahead and not taken is dropped with the pool.
class ScanPool
{
public:
    using Scan = std::function<ScanOutcome(EngineHandle &, const QString &)>;

    // `scan` runs in the pool's threads, each with a copy of its own and one of `engines`.
    // Throws std::system_error when a thread cannot be started.
    ScanPool(std::vector<std::unique_ptr<EngineHandle>> engines, const Scan &scan);
    // Drops what is not scanned yet and waits for the files in progress: once it returns,
    // nothing of the run runs any more.
    ~ScanPool();
    ScanPool(const ScanPool &) = delete;
    ScanPool &operator=(const ScanPool &) = delete;

    // How many files may be handed out and not yet taken.
    int ahead() const { return aheadLimit; }
    void submit(int index, const QString &path);
    // Waits for the outcome of the file handed out as `index`; `path` gets the path it was
    // handed out with.
    ScanOutcome take(int index, QString *path);

private:
    // `scan` is the thread's own copy, kept by std::thread.
    void work(EngineHandle &engine, const Scan &scan);
    void stop();

    const int aheadLimit;
    std::mutex lock;
    std::condition_variable workToDo;
    std::condition_variable outcomeReady;
    std::deque<std::pair<int, QString>> pending;
    std::map<int, std::pair<QString, ScanOutcome>> done;
    bool cancelled = false;
    std::vector<std::unique_ptr<EngineHandle>> engines;
    std::vector<std::thread> threads;
};

} // namespace snx
