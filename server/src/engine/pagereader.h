// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_PAGEREADER_H
#define VIRELTO_SERVER_PAGEREADER_H

#include "engine/ocrengine.h"

#include <atomic>
#include <chrono>

struct Pix;

namespace ocrserver {

// When a reading must end early: its client left, the engine stops, or its
// deadline passed. Readers look between lines as well as inside their models.
struct ReadingStop
{
    const std::atomic<bool> *cancelled = nullptr;
    const std::atomic<bool> *abort = nullptr;
    std::chrono::steady_clock::time_point deadline;

    bool interrupted() const { return (cancelled && cancelled->load()) || (abort && abort->load()); }
    bool timedOut() const { return std::chrono::steady_clock::now() >= deadline; }
    bool now() const { return interrupted() || timedOut(); }
};

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
