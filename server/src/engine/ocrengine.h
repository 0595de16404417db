// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_OCRENGINE_H
#define VIRELTO_SERVER_OCRENGINE_H

#include "stats/metrics.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ocrserver {

class WorkerProcess;

// A box in pixels of the image as it was sent (or of the PDF page as
// rendered), whichever way up that was: the page is read upright, and its
// boxes are turned back.
struct Box
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct Point
{
    int x = 0;
    int y = 0;
};

struct RecognizedChar
{
    std::string text; // one symbol, UTF-8
    Box box;
};

struct RecognizedLine
{
    std::string text;
    int paragraph = 0;
    // Word confidences of the line, scaled to 0..1.
    double average = 0;
    double min = 0;
    double variance = 0;
    Box box;
    // The line's corners clockwise from its top left as the text reads, in
    // the same pixels as box; empty where the line is the box itself.
    std::vector<Point> vertexes;
    std::vector<RecognizedChar> chars; // in reading order, inside box
};

struct Recognition
{
    // Undecodable: not a readable image or PDF (an encrypted PDF too);
    // NoSuchPage: the PDF has no page of that number; PageSize: the page's
    // pixels fall outside the engine's side limits.
    enum class Outcome { Done, Undecodable, NoSuchPage, PageSize, TimedOut, Failed, Cancelled };
    Outcome outcome = Outcome::Failed;
    std::vector<RecognizedLine> lines; // in reading order, no empty lines
    int direction = -1; // quarter turns counter-clockwise the page was given; -1 unknown or not asked
    int pdfPages = 0;   // pages in the PDF sent; 0 for an image

    // Which reader read the page, and how long decoding (or rendering) and
    // reading took.
    struct Timing
    {
        std::string reader;
        std::chrono::nanoseconds prepare{0};
        std::chrono::nanoseconds read{0};
    } timing;
    // What the libraries printed while this page was read, as printed (at
    // most 512 bytes); empty when they said nothing.
    std::string libraryOutput;

    static Recognition ended(Outcome outcome)
    {
        Recognition r;
        r.outcome = outcome;
        return r;
    }
};

struct RecognitionJob
{
    enum class Source { Image, Pdf };
    Source source = Source::Image;
    std::string image;    // a PNG, JPEG or BMP file, or a PDF file
    int pdfPage = 1;      // 1-based, for a PDF
    std::string language; // Tesseract's name, e.g. "eng" or "chi_sim+eng"
    bool detectDirection = false; // find how the page lies and read it upright
    int threads = 1;      // the page's share of the cores, decided by the pool
};

// Which reader reads a page. Auto: the text-line detector and recogniser for
// the languages its models know (Chinese and English, English), Tesseract for
// the others.
enum class ReaderChoice { Auto, Tesseract };

struct EngineOptions
{
    // This service's binary: the worker processes run it.
    std::string workerProgram;
    // The address space of one worker process, its models included.
    std::size_t workerMemory = std::size_t(1536) << 20;
    ReaderChoice reader = ReaderChoice::Auto;
    std::string lineModels; // folder of the prepared line models; empty: Tesseract only
    int workers = 1;
    std::size_t queueLength = 4;                 // recognitions waiting for a worker
    std::chrono::milliseconds deadline{30000}; // for one recognition, decoding included
    long minPageSide = 15;   // a rendered PDF page, in pixels
    long maxPageSide = 8192;
    // Cores the pages may use between them; 0: those this process may run on.
    int cores = 0;
};

// The cores this process may run on: its CPU affinity, within its
// control group's CPU quota.
int usableCores();

// Threads for a page taken now: the cores no running page uses, shared with
// the waiting pages that idle workers will take at once; never fewer than one.
int threadsForPage(int cores, int threadsInUse, int waiting, int idleWorkers);

// Takes threads back from the running pages (`threads`, one a worker, 0
// for an idle one), one at a time from the page with most, until they use
// no more than `cores` or each has one; the page just taken, `newest`,
// keeps what it was given.
void takeBackThreads(int cores, std::vector<int> &threads, std::size_t newest);

// What the pool has done and is doing, for the admin listener.
struct EngineCounters
{
    std::atomic<int> queued{0};
    std::atomic<int> busy{0};
    std::atomic<long> restarts{0}; // worker processes killed or dead, and replaced
    stats::Histogram queueWait{stats::Histogram::stepBuckets()};
    // Time per reader ("lines", "tesseract") and step ("decode", "render", "read").
    stats::HistogramFamily steps{[] { return std::make_unique<stats::Histogram>(stats::Histogram::stepBuckets()); }};
};

// A fixed set of worker processes, each reading one page at a time, behind
// a bounded queue; a thread of the service waits for each. Images are
// decoded, and PDF pages rendered, in the worker process that reads them,
// never in the service's own. A worker that is killed (its client left,
// its deadline passed) or dies is replaced by a spare kept loaded.
class OcrEngine
{
public:
    using Done = std::function<void(Recognition)>;

    // Throws std::runtime_error when the language or the line models cannot
    // be loaded.
    OcrEngine(const std::string &language, EngineOptions options);
    ~OcrEngine();
    OcrEngine(const OcrEngine &) = delete;
    OcrEngine &operator=(const OcrEngine &) = delete;

    bool isInstalled(const std::string &language) const;
    const std::string &defaultLanguage() const { return m_defaultLanguage; }
    int workers() const { return int(m_slots.size()); }
    int cores() const { return m_cores; }
    std::size_t queueLength() const { return m_options.queueLength; }
    const EngineCounters &counters() const { return m_counters; }

    // Queues a recognition; done runs on a worker thread, exactly once. A
    // job whose cancelled flag is set before it ends is dropped (its place
    // in the queue too) and ends as Cancelled. Returns false, without
    // calling done, when the queue is full.
    bool submit(RecognitionJob job, std::shared_ptr<const std::atomic<bool>> cancelled, Done done);

    // Whether a recognition submitted now would be queued. Jobs whose
    // clients left give their places up first.
    bool accepting();

    // Ends every queued recognition as Cancelled and refuses new ones; those
    // running go on.
    void closeQueue();
    bool queueClosed();

    // The same, waiting for the result; for callers without an event loop.
    Recognition recognize(RecognitionJob job);

    // Ends every queued recognition as Cancelled and every running one as
    // Failed, killing the worker processes. Called by the destructor too.
    void stop();

    struct Slot;

private:
    struct Queued
    {
        RecognitionJob job;
        std::shared_ptr<const std::atomic<bool>> cancelled;
        Done done;
        std::chrono::steady_clock::time_point queuedAt;
    };

    void work(Slot &slot);
    Recognition run(Slot &slot, const Queued &queued);
    Recognition failed(Slot &slot, const char *when); // inside a catch
    int threadsInUse() const;                        // m_mutex held
    void takeBackCores(const Slot &newest);          // m_mutex held
    std::vector<Queued> takeCancelled();
    bool hasRoom() const; // m_mutex held
    std::unique_ptr<WorkerProcess> startWorker();
    bool replaceWorker(Slot &slot);
    void noteLoss(const std::string &ending, const char *when);
    void keepSpare();

    const std::string m_defaultLanguage;
    const EngineOptions m_options;
    std::set<std::string> m_installed;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<std::thread> m_threads;

    // One worker process loaded ahead, so that a killed one is replaced at once.
    std::mutex m_spareMutex;
    std::condition_variable m_spareChanged;
    std::unique_ptr<WorkerProcess> m_spare;
    std::thread m_spareThread;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Queued> m_queue;
    bool m_stopping = false;
    bool m_queueClosed = false;
    std::atomic<bool> m_abort{false};
    int m_cores = 1;
    EngineCounters m_counters;
};

} // namespace ocrserver

#endif
