#pragma once

#include <QHash>
#include <QPair>
#include <QVector>

namespace snx {

// Bounds the log lines that refused calls cost: each caller may write a few at once and then one
// a second; the others are only counted, and the counts are written later in one line each.
// A caller that floods the service with refused calls thus cannot flood its log.
class RefusalLog
{
public:
    static constexpr int burst = 10;
    static constexpr qint64 refillMs = 1000;

    // True when a refusal of `caller` may be written at `nowMs`; counted otherwise.
    bool admit(qint64 caller, qint64 nowMs);
    // Callers whose refusals were counted and not written, with their counts; forgotten then.
    QVector<QPair<qint64, int>> takeSuppressed(qint64 nowMs);
    bool hasSuppressed() const;

private:
    struct Bucket
    {
        double tokens = burst;
        qint64 lastMs = 0;
        int suppressed = 0;
    };
    void refill(Bucket &bucket, qint64 nowMs) const;

    QHash<qint64, Bucket> buckets;
};

} // namespace snx
