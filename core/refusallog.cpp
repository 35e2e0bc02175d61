#include "core/refusallog.h"

#include <algorithm>

namespace snx {

void RefusalLog::refill(Bucket &bucket, qint64 nowMs) const
{
    if (nowMs > bucket.lastMs) {
        bucket.tokens =
            std::min<double>(burst, bucket.tokens + double(nowMs - bucket.lastMs) / refillMs);
        bucket.lastMs = nowMs;
    }
}

bool RefusalLog::admit(qint64 caller, qint64 nowMs)
{
    auto it = buckets.find(caller);
    if (it == buckets.end())
        it = buckets.insert(caller, Bucket{double(burst), nowMs, 0});
    refill(*it, nowMs);
    if (it->tokens >= 1) {
        it->tokens -= 1;
        return true;
    }
    ++it->suppressed;
    return false;
}

QVector<QPair<qint64, int>> RefusalLog::takeSuppressed(qint64 nowMs)
{
    QVector<QPair<qint64, int>> counts;
    for (auto it = buckets.begin(); it != buckets.end();) {
        if (it->suppressed > 0) {
            counts.append({it.key(), it->suppressed});
            it->suppressed = 0;
        }
        refill(*it, nowMs);
        // A caller that has been quiet long enough starts afresh; the table stays small.
        if (it->tokens >= burst)
            it = buckets.erase(it);
        else
            ++it;
    }
    return counts;
}

bool RefusalLog::hasSuppressed() const
{
    return std::any_of(buckets.cbegin(), buckets.cend(),
                       [](const Bucket &b) { return b.suppressed > 0; });
}

} // namespace snx
