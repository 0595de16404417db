// SPDX-License-Identifier: MIT
#include "stats/metrics.h"

namespace ocrserver::stats {

const std::vector<double> &Histogram::requestBuckets()
{
    static const std::vector<double> bounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};
    return bounds;
}

const std::vector<double> &Histogram::stepBuckets()
{
    static const std::vector<double> bounds = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};
    return bounds;
}

Histogram::Histogram(const std::vector<double> &bounds)
    : m_bounds(bounds)
    , m_counts(new std::atomic<std::uint64_t>[bounds.size() + 1])
{
    for (size_t i = 0; i <= m_bounds.size(); ++i)
        m_counts[i] = 0;
}

void Histogram::observe(std::chrono::steady_clock::duration took)
{
    const double seconds = std::chrono::duration<double>(took).count();
    size_t bucket = 0;
    while (bucket < m_bounds.size() && seconds > m_bounds[bucket])
        ++bucket;
    m_counts[bucket].fetch_add(1, std::memory_order_relaxed);
    const auto micro = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    m_sumMicroseconds.fetch_add(std::uint64_t(micro > 0 ? micro : 0), std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::snapshot() const
{
    Snapshot s;
    s.bounds = m_bounds;
    std::uint64_t total = 0;
    for (size_t i = 0; i <= m_bounds.size(); ++i) {
        total += m_counts[i].load(std::memory_order_relaxed);
        s.cumulative.push_back(total);
    }
    s.sum = double(m_sumMicroseconds.load(std::memory_order_relaxed)) / 1e6;
    return s;
}

} // namespace ocrserver::stats
