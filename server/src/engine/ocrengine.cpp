// SPDX-License-Identifier: MIT
#include "engine/ocrengine.h"

#include "engine/pagereader.h"
#include "engine/workerprocess.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <numeric>
#include <sstream>

#include <sched.h>
#include <unistd.h>

namespace ocrserver {

namespace {

using Clock = std::chrono::steady_clock;
// Loading Chinese and the line models takes a few seconds; much longer
// than this and something is wrong.
constexpr auto LoadLimit = std::chrono::minutes(2);

// The CPU quota of this process's control group and those above it
// (cgroup v2's cpu.max, as a container's --cpus sets it) in whole cores;
// 0 when there is none.
int quotaCores()
{
    std::ifstream groups("/proc/self/cgroup");
    std::string line, group;
    while (std::getline(groups, line))
        if (line.rfind("0::", 0) == 0)
            group = line.substr(3);
    int least = 0;
    for (std::string folder = "/sys/fs/cgroup" + group;; folder.erase(folder.rfind('/'))) {
        std::ifstream max(folder + "/cpu.max");
        std::string quota;
        double period = 0;
        if (max >> quota >> period && quota != "max" && period > 0) {
            const double cores = std::atof(quota.c_str()) / period;
            if (cores > 0)
                least = least > 0 ? std::min(least, int(std::ceil(cores))) : std::max(1, int(std::ceil(cores)));
        }
        if (folder == "/sys/fs/cgroup")
            return least;
    }
}

} // namespace

int usableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    int cores = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
    if (cores <= 0)
        cores = int(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    const int quota = quotaCores();
    return quota > 0 ? std::min(cores, quota) : cores;
}

int threadsForPage(int cores, int threadsInUse, int waiting, int idleWorkers)
{
    const int sharing = 1 + std::clamp(std::min(waiting, idleWorkers), 0, cores);
    return std::max(1, (cores - std::max(0, threadsInUse)) / sharing);
}

void takeBackThreads(int cores, std::vector<int> &threads, std::size_t newest)
{
    for (int over = std::accumulate(threads.begin(), threads.end(), 0) - cores; over > 0; --over) {
        std::size_t most = newest;
        for (std::size_t i = 0; i < threads.size(); ++i)
            if (i != newest && threads[i] > 1 && (most == newest || threads[i] > threads[most]))
                most = i;
        if (most == newest)
            return;
        --threads[most];
    }
}

struct OcrEngine::Slot
{
    std::unique_ptr<WorkerProcess> process; // null while it waits for a spare
    std::atomic<int> threads{0};            // its page's, lowered under m_mutex
};

OcrEngine::OcrEngine(const std::string &language, EngineOptions options)
    : m_defaultLanguage(language)
    , m_options(options)
    , m_cores(options.cores > 0 ? options.cores : usableCores())
{
    // All load at once: as long as the slowest, not the sum. The spare
    // follows once the service is up.
    std::vector<std::unique_ptr<WorkerProcess>> loading;
    for (int i = 0; i < std::max(1, options.workers); ++i)
        loading.push_back(startWorker());
    std::string error;
    for (auto &process : loading)
        if (!process->waitReady(Clock::now() + LoadLimit, m_abort, &error))
            throw std::runtime_error(error);
    const std::vector<std::string> &available = loading.front()->languages();
    // Said once: every worker runs on the same kernel.
    if (!loading.front()->sandboxNote().empty()) {
        std::fprintf(stderr, "virelto-ocr-server: worker processes: %s\n", loading.front()->sandboxNote().c_str());
        std::fflush(stderr);
    }
    m_installed.insert(available.begin(), available.end());
    for (auto &process : loading) {
        m_slots.push_back(std::make_unique<Slot>());
        m_slots.back()->process = std::move(process);
    }
    for (auto &slot : m_slots)
        m_threads.emplace_back([this, s = slot.get()] { work(*s); });
    m_spareThread = std::thread([this] { keepSpare(); });
}

std::unique_ptr<WorkerProcess> OcrEngine::startWorker()
{
    return std::make_unique<WorkerProcess>(WorkerProcess::Settings{m_options.workerProgram, m_defaultLanguage, m_options});
}

// Loads a spare whenever there is none.
void OcrEngine::keepSpare()
{
    // As PID 1 the service is the init of its container: the orphans in it
    // are reaped here, once a second.
    const bool init = getpid() == 1;
    std::unique_lock<std::mutex> lock(m_spareMutex);
    for (;;) {
        const auto needed = [this] { return m_abort.load() || !m_spare; };
        if (init) {
            while (!m_spareChanged.wait_for(lock, std::chrono::seconds(1), needed))
                reapOrphans();
        } else {
            m_spareChanged.wait(lock, needed);
        }
        if (m_abort.load())
            return;
        lock.unlock();
        std::unique_ptr<WorkerProcess> process;
        std::string error;
        try {
            process = startWorker();
            if (!process->waitReady(Clock::now() + LoadLimit, m_abort, &error))
                process.reset();
        } catch (const std::exception &e) {
            error = e.what();
        }
        lock.lock();
        if (!process) {
            if (!m_abort.load()) {
                std::fprintf(stderr, "virelto-ocr-server: cannot start a worker process: %s\n", error.c_str());
                std::fflush(stderr);
            }
            // Not in a loop as fast as the machine can spawn.
            m_spareChanged.wait_for(lock, std::chrono::seconds(1), [this] { return m_abort.load(); });
            continue;
        }
        m_spare = std::move(process);
        m_spareChanged.notify_all();
    }
}

// Killed for its deadline or its client is routine; anything else is worth
// a line (a decoder that crashed, memory run out).
void OcrEngine::noteLoss(const std::string &ending, const char *when)
{
    ++m_counters.restarts;
    if (ending == "killed")
        return;
    std::fprintf(stderr, "virelto-ocr-server: a worker process %s %s; another takes its place\n", ending.c_str(), when);
    std::fflush(stderr);
}

// Takes the spare for a slot whose process is gone; false when stopping.
bool OcrEngine::replaceWorker(Slot &slot)
{
    std::unique_lock<std::mutex> lock(m_spareMutex);
    for (;;) {
        m_spareChanged.wait(lock, [this] { return m_abort.load() || m_spare; });
        if (m_abort.load())
            return false;
        slot.process = std::move(m_spare);
        m_spareChanged.notify_all();
        std::string ending;
        if (slot.process->alive(&ending))
            return true;
        noteLoss(ending, "waiting as the spare");
    }
}

OcrEngine::~OcrEngine()
{
    stop();
}

bool OcrEngine::isInstalled(const std::string &language) const
{
    std::istringstream parts(language);
    std::string part;
    bool any = false;
    while (std::getline(parts, part, '+')) {
        if (!m_installed.count(part))
            return false;
        any = true;
    }
    return any;
}

std::vector<OcrEngine::Queued> OcrEngine::takeCancelled()
{
    std::vector<Queued> gone;
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (it->cancelled && it->cancelled->load()) {
            gone.push_back(std::move(*it));
            it = m_queue.erase(it);
            m_counters.queued = int(m_queue.size());
        } else {
            ++it;
        }
    }
    return gone;
}

bool OcrEngine::submit(RecognitionJob job, std::shared_ptr<const std::atomic<bool>> cancelled, Done done)
{
    std::vector<Queued> gone;
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Clients that left while waiting give their places up.
        gone = takeCancelled();
        if (hasRoom()) {
            m_queue.push_back({std::move(job), std::move(cancelled), std::move(done), std::chrono::steady_clock::now()});
            m_counters.queued = int(m_queue.size());
            queued = true;
        }
    }
    if (queued)
        m_wake.notify_one();
    for (auto &q : gone)
        q.done(Recognition::ended(Recognition::Outcome::Cancelled));
    return queued;
}

// A job a free worker is about to take does not wait: the queue length
// counts only those that must (with --queue 0, none).
bool OcrEngine::hasRoom() const
{
    const size_t idle = size_t(std::max(0, int(m_slots.size()) - m_counters.busy.load()));
    return !m_stopping && !m_queueClosed && m_queue.size() < m_options.queueLength + idle;
}

bool OcrEngine::accepting()
{
    std::vector<Queued> gone;
    bool room = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        gone = takeCancelled();
        room = hasRoom();
    }
    for (auto &q : gone)
        q.done(Recognition::ended(Recognition::Outcome::Cancelled));
    return room;
}

void OcrEngine::closeQueue()
{
    std::deque<Queued> left;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queueClosed = true;
        left.swap(m_queue);
        m_counters.queued = 0;
    }
    for (auto &q : left)
        q.done(Recognition::ended(Recognition::Outcome::Cancelled));
}

bool OcrEngine::queueClosed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queueClosed || m_stopping;
}

Recognition OcrEngine::recognize(RecognitionJob job)
{
    auto promise = std::make_shared<std::promise<Recognition>>();
    auto result = promise->get_future();
    if (!submit(std::move(job), nullptr, [promise](Recognition r) { promise->set_value(std::move(r)); }))
        return Recognition::ended(Recognition::Outcome::Cancelled);
    return result.get();
}

void OcrEngine::stop()
{
    std::deque<Queued> left;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping && m_threads.empty() && !m_spareThread.joinable())
            return;
        m_stopping = true;
        left.swap(m_queue);
        m_counters.queued = 0;
    }
    m_abort = true;
    m_wake.notify_all();
    {
        std::lock_guard<std::mutex> lock(m_spareMutex);
        m_spareChanged.notify_all();
    }
    for (auto &q : left)
        q.done(Recognition::ended(Recognition::Outcome::Cancelled));
    for (auto &thread : m_threads)
        thread.join();
    m_threads.clear();
    if (m_spareThread.joinable())
        m_spareThread.join();
    m_spare.reset();
    for (auto &slot : m_slots)
        slot->process.reset();
}

void OcrEngine::work(Slot &slot)
{
    for (;;) {
        // A process killed with its last page is replaced before the next
        // one comes, and one that died idle when that page comes.
        if (slot.process->lost() && !replaceWorker(slot))
            return;
        Queued next;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            next = std::move(m_queue.front());
            m_queue.pop_front();
            m_counters.queued = int(m_queue.size());
            ++m_counters.busy;
            const int idle = int(m_slots.size()) - m_counters.busy.load();
            next.job.threads = threadsForPage(m_cores, threadsInUse(), int(m_queue.size()), idle);
            slot.threads = next.job.threads;
            takeBackCores(slot);
        }
        m_counters.queueWait.observe(Clock::now() - next.queuedAt);
        std::string ending;
        if (!slot.process->alive(&ending))
            noteLoss(ending, "between pages");
        Recognition result = Recognition::ended(Recognition::Outcome::Cancelled);
        try {
            if ((!slot.process->lost() || replaceWorker(slot)) && !(next.cancelled && next.cancelled->load()))
                result = run(slot, next);
        } catch (...) {
            result = failed(slot, "reading a page");
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            slot.threads = 0;
        }
        --m_counters.busy;
        try {
            next.done(std::move(result));
        } catch (...) {
            // The answer could not be made of what the worker sent.
            Recognition failure = failed(slot, "answering a page");
            try {
                next.done(std::move(failure));
            } catch (...) {
            }
        }
    }
}

int OcrEngine::threadsInUse() const
{
    int inUse = 0;
    for (const auto &slot : m_slots)
        inUse += slot->threads;
    return inUse;
}

// A page started on the idle cores gives some back when another page
// comes, so that busy threads stay within the cores.
void OcrEngine::takeBackCores(const Slot &newest)
{
    std::vector<int> threads;
    std::size_t newestIndex = 0;
    for (const auto &slot : m_slots) {
        if (slot.get() == &newest)
            newestIndex = threads.size();
        threads.push_back(slot->threads);
    }
    takeBackThreads(m_cores, threads, newestIndex);
    for (std::size_t i = 0; i < threads.size(); ++i)
        m_slots[i]->threads = threads[i];
}

// Whatever went wrong, it costs this request (error 282000) and the worker
// process that read it, never the service.
Recognition OcrEngine::failed(Slot &slot, const char *when)
{
    std::string what = "unknown exception";
    try {
        throw;
    } catch (const std::exception &e) {
        what = e.what();
    } catch (...) {
    }
    std::fprintf(stderr, "virelto-ocr-server: %s failed in the service: %s; its worker process is replaced\n", when,
                 what.c_str());
    std::fflush(stderr);
    if (slot.process && !slot.process->lost()) {
        slot.process->kill();
        ++m_counters.restarts;
    }
    return Recognition::ended(Recognition::Outcome::Failed);
}

Recognition OcrEngine::run(Slot &slot, const Queued &queued)
{
    const RecognitionJob &job = queued.job;
    const ReadingStop stop{queued.cancelled.get(), &m_abort, Clock::now() + m_options.deadline, &slot.threads};
    std::string ending;
    bool untouched = false;
    Recognition result = slot.process->read(job, stop, &ending, &untouched);
    if (slot.process->lost())
        noteLoss(ending, untouched ? "before it took a page" : "while reading a page");
    // Once: a second process that ends before it takes the page is the
    // page's doing after all.
    if (untouched && replaceWorker(slot)) {
        result = slot.process->read(job, stop, &ending, &untouched);
        if (slot.process->lost())
            noteLoss(ending, "while reading a page");
    }
    // Stopped under it, not given up by its client: the page did not fail,
    // but it has no answer.
    if (result.outcome == Recognition::Outcome::Cancelled && m_abort.load()
        && !(queued.cancelled && queued.cancelled->load())) {
        result.outcome = Recognition::Outcome::Failed;
    }
    if (!result.timing.reader.empty()) {
        const std::string reader = "engine=\"" + result.timing.reader + "\"";
        const bool pdf = job.source == RecognitionJob::Source::Pdf;
        m_counters.steps.at(reader + (pdf ? ",step=\"render\"" : ",step=\"decode\"")).observe(result.timing.prepare);
        m_counters.steps.at(reader + ",step=\"read\"").observe(result.timing.read);
    }
    return result;
}

} // namespace ocrserver
