// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_STATS_METRICS_H
#define VIRELTO_SERVER_STATS_METRICS_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace ocrserver::stats {

// Figures the layers keep about themselves for the admin listener: plain
// atomics, so that keeping them costs a request a few increments and reading
// them never waits for one.

// Durations in fixed buckets (upper bounds in seconds), as Prometheus
// histograms count them.
class Histogram
{
public:
    // Request durations: 5 ms to a minute.
    static const std::vector<double> &requestBuckets();
    // One step of a recognition: 1 ms to a minute.
    static const std::vector<double> &stepBuckets();

    explicit Histogram(const std::vector<double> &bounds);

    void observe(std::chrono::steady_clock::duration took);

    struct Snapshot
    {
        std::vector<double> bounds;
        std::vector<std::uint64_t> cumulative; // per bound, then +Inf
        double sum = 0;                        // seconds
    };
    Snapshot snapshot() const;

private:
    const std::vector<double> m_bounds;
    std::unique_ptr<std::atomic<std::uint64_t>[]> m_counts; // per bucket, then over the last bound
    std::atomic<std::uint64_t> m_sumMicroseconds{0};
};

// Counters or histograms by label set. The label text (`a="x",b="y"`) is the
// key: callers keep the values few (routes, statuses, codes, client names).
// Looking up an existing set takes a shared lock; only a new set writes.
template<class Value>
class Family
{
public:
    using Make = std::function<std::unique_ptr<Value>()>;
    explicit Family(Make make = [] { return std::make_unique<Value>(); }) : m_make(std::move(make)) {}

    Value &at(const std::string &labels)
    {
        {
            std::shared_lock<std::shared_mutex> lock(m_mutex);
            const auto found = m_values.find(labels);
            if (found != m_values.end())
                return *found->second;
        }
        std::unique_lock<std::shared_mutex> lock(m_mutex);
        auto &slot = m_values[labels];
        if (!slot)
            slot = m_make();
        return *slot;
    }

    void forEach(const std::function<void(const std::string &labels, const Value &value)> &visit) const
    {
        std::shared_lock<std::shared_mutex> lock(m_mutex);
        for (const auto &[labels, value] : m_values)
            visit(labels, *value);
    }

private:
    Make m_make;
    mutable std::shared_mutex m_mutex;
    std::map<std::string, std::unique_ptr<Value>> m_values;
};

using Counter = std::atomic<std::uint64_t>;
using CounterFamily = Family<Counter>;
using HistogramFamily = Family<Histogram>;

} // namespace ocrserver::stats

#endif
