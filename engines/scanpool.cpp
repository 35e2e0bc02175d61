#include "engines/scanpool.h"

namespace snx {

ScanPool::ScanPool(std::vector<std::unique_ptr<EngineHandle>> handles, const Scan &scan)
    : aheadLimit(int(handles.size()) * 4), engines(std::move(handles))
{
    threads.reserve(engines.size());
    try {
        for (auto &engine : engines)
            threads.emplace_back(&ScanPool::work, this, std::ref(*engine), scan);
    } catch (...) {
        stop();
        throw;
    }
}

ScanPool::~ScanPool()
{
    stop();
}

void ScanPool::stop()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        cancelled = true;
        pending.clear();
    }
    workToDo.notify_all();
    for (std::thread &thread : threads)
        thread.join();
}

void ScanPool::submit(int index, const QString &path)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        pending.emplace_back(index, path);
    }
    workToDo.notify_one();
}

ScanOutcome ScanPool::take(int index, QString *path)
{
    std::unique_lock<std::mutex> guard(lock);
    outcomeReady.wait(guard, [&] { return done.count(index) > 0; });
    auto found = done.find(index);
    *path = std::move(found->second.first);
    ScanOutcome outcome = std::move(found->second.second);
    done.erase(found);
    return outcome;
}

void ScanPool::work(EngineHandle &engine, const Scan &scan)
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        workToDo.wait(guard, [&] { return cancelled || !pending.empty(); });
        if (cancelled)
            return;
        const auto [index, path] = pending.front();
        pending.pop_front();
        guard.unlock();
        ScanOutcome outcome = scan(engine, path);
        guard.lock();
        done.emplace(index, std::make_pair(path, std::move(outcome)));
        outcomeReady.notify_one();
    }
}

} // namespace snx
