// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_PAGEREADER_H
#define VIRELTO_SERVER_PAGEREADER_H

#include "engine/ocrengine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

struct Pix;

namespace ocrserver {

// When a reading must end early: its client left, the engine stops, or its
// deadline passed. Readers look between lines as well as inside their models.
struct ReadingStop
{
    const std::atomic<bool> *cancelled = nullptr;
    const std::atomic<bool> *abort = nullptr;
    std::chrono::steady_clock::time_point deadline;
    // The threads the page may still use, lowered by the pool while the page
    // is read when other pages need the cores; null: all it was given.
    const std::atomic<int> *threads = nullptr;

    int threadsAllowed(int given) const { return threads ? std::clamp(threads->load(), 1, std::max(1, given)) : given; }
    bool interrupted() const { return (cancelled && cancelled->load()) || (abort && abort->load()); }
    bool timedOut() const { return std::chrono::steady_clock::now() >= deadline; }
    bool now() const { return interrupted() || timedOut(); }
};

// A character's box kept inside its line's: readers' symbol boxes are
// estimates and may overhang the line (tall boxes around Han characters).
inline Box within(const Box &b, const Box &line)
{
    const int left = std::clamp(b.left, line.left, line.left + line.width);
    const int top = std::clamp(b.top, line.top, line.top + line.height);
    const int right = std::clamp(b.left + b.width, left, line.left + line.width);
    const int bottom = std::clamp(b.top + b.height, top, line.top + line.height);
    return {left, top, right - left, bottom - top};
}

// The line's average, minimum and variance of its confidences (0..1).
inline void setConfidences(RecognizedLine &line, const std::vector<double> &confidences)
{
    if (confidences.empty())
        return;
    double sum = 0;
    line.min = 1;
    for (double c : confidences) {
        sum += c;
        line.min = std::min(line.min, c);
    }
    line.average = sum / double(confidences.size());
    double squares = 0;
    for (double c : confidences)
        squares += (c - line.average) * (c - line.average);
    line.variance = squares / double(confidences.size());
}

// One way of reading a decoded page. Each worker holds its own readers, so a
// reader need not be thread-safe.
class PageReader
{
public:
    virtual ~PageReader() = default;

    // Reads the page as sent; fills the outcome, the lines (boxes in the
    // page's pixels) and, when the job asks, the direction.
    virtual void read(Pix *page, const RecognitionJob &job, const ReadingStop &stop, Recognition *result) = 0;
};

} // namespace ocrserver

#endif
