// SPDX-License-Identifier: MIT
#include "engine/ocrengine.h"

#include "engine/linemodelreader.h"
#include "engine/pdfpage.h"
#include "engine/tesseractreader.h"

#include <leptonica/allheaders.h>

#include <algorithm>
#include <future>
#include <sstream>

namespace ocrserver {

struct OcrEngine::Worker
{
    std::unique_ptr<TesseractReader> tesseract;
    std::unique_ptr<LineModelReader> lineModels; // null when not used
};

namespace {

// The languages the line models read, by Tesseract's names.
bool lineModelsRead(const std::string &language)
{
    return language == "chi_sim+eng" || language == "eng";
}

} // namespace

OcrEngine::OcrEngine(const std::string &language, EngineOptions options)
    : m_defaultLanguage(language)
    , m_options(options)
{
    // Leptonica's warnings (a JPEG it could not read, say) would break the
    // service's one line per request on stderr; failures come back as results.
    setMsgSeverity(L_SEVERITY_NONE);
    const bool withLineModels = options.reader == ReaderChoice::Auto && !options.lineModels.empty();
    if (withLineModels)
        LineModelReader::useOneThread();
    for (int i = 0; i < std::max(1, options.workers); ++i) {
        auto worker = std::make_unique<Worker>();
        worker->tesseract = std::make_unique<TesseractReader>(language);
        if (withLineModels)
            worker->lineModels = std::make_unique<LineModelReader>(options.lineModels);
        m_workers.push_back(std::move(worker));
    }
    const std::vector<std::string> available = m_workers.front()->tesseract->installedLanguages();
    m_installed.insert(available.begin(), available.end());
    for (auto &worker : m_workers)
        m_threads.emplace_back([this, w = worker.get()] { work(*w); });
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
        // A job a free worker is about to take does not wait: the queue
        // length counts only those that must (with --queue 0, none).
        const size_t idle = size_t(std::max(0, int(m_workers.size()) - m_counters.busy.load()));
        if (!m_stopping && m_queue.size() < m_options.queueLength + idle) {
            m_queue.push_back({std::move(job), std::move(cancelled), std::move(done), std::chrono::steady_clock::now()});
            m_counters.queued = int(m_queue.size());
            queued = true;
        }
    }
    if (queued)
        m_wake.notify_one();
    for (auto &q : gone)
        q.done({Recognition::Outcome::Cancelled, {}});
    return queued;
}

Recognition OcrEngine::recognize(RecognitionJob job)
{
    auto promise = std::make_shared<std::promise<Recognition>>();
    auto result = promise->get_future();
    if (!submit(std::move(job), nullptr, [promise](Recognition r) { promise->set_value(std::move(r)); }))
        return {Recognition::Outcome::Cancelled, {}};
    return result.get();
}

void OcrEngine::stop()
{
    std::deque<Queued> left;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping && m_threads.empty())
            return;
        m_stopping = true;
        left.swap(m_queue);
        m_counters.queued = 0;
    }
    m_abort = true;
    m_wake.notify_all();
    for (auto &q : left)
        q.done({Recognition::Outcome::Cancelled, {}});
    for (auto &thread : m_threads)
        thread.join();
    m_threads.clear();
}

void OcrEngine::work(Worker &worker)
{
    for (;;) {
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
        }
        m_counters.queueWait.observe(std::chrono::steady_clock::now() - next.queuedAt);
        Recognition result = next.cancelled && next.cancelled->load()
                ? Recognition{Recognition::Outcome::Cancelled, {}}
                : run(worker, next);
        --m_counters.busy;
        next.done(std::move(result));
    }
}

namespace {

using Outcome = Recognition::Outcome;

// The page as sent, decoded (or its PDF page drawn) inside the worker's
// slot; null, with the outcome set, when there is none.
PixHandle decodePage(const RecognitionJob &job, const EngineOptions &options,
                     std::chrono::steady_clock::time_point started, Recognition *result, bool *drawnText)
{
    if (job.source != RecognitionJob::Source::Pdf) {
        PixHandle pix(pixReadMem(reinterpret_cast<const l_uint8 *>(job.image.data()), job.image.size()));
        if (!pix)
            result->outcome = Outcome::Undecodable;
        return pix;
    }
    PdfPage rendered = renderPdfPage(job.image, job.pdfPage, options.minPageSide, options.maxPageSide);
    result->pdfPages = rendered.pageCount;
    *drawnText = rendered.drawnText;
    switch (rendered.status) {
    case PdfPage::Status::Rendered:
        break;
    case PdfPage::Status::Unreadable:
        result->outcome = Outcome::Undecodable;
        return nullptr;
    case PdfPage::Status::NoSuchPage:
        result->outcome = Outcome::NoSuchPage;
        return nullptr;
    case PdfPage::Status::Size:
        result->outcome = Outcome::PageSize;
        return nullptr;
    }
    // Poppler cannot be interrupted while it draws; what it took counts
    // against the deadline all the same.
    if (std::chrono::steady_clock::now() - started >= options.deadline) {
        result->outcome = Outcome::TimedOut;
        return nullptr;
    }
    if (!rendered.pix)
        result->outcome = Outcome::Undecodable;
    return std::move(rendered.pix);
}

} // namespace

Recognition OcrEngine::run(Worker &worker, const Queued &queued)
{
    const auto started = std::chrono::steady_clock::now();
    const RecognitionJob &job = queued.job;
    Recognition result;
    bool drawnText = false;
    PixHandle page = decodePage(job, m_options, started, &result, &drawnText);
    const auto decoded = std::chrono::steady_clock::now();
    const bool pdf = job.source == RecognitionJob::Source::Pdf;
    if (!page)
        return result;
    const ReadingStop stop{queued.cancelled.get(), &m_abort, started + m_options.deadline};
    // Type drawn from a PDF's text is what Tesseract reads best, and five
    // times faster than the line models; pictures go to the line models.
    PageReader &reader = worker.lineModels && lineModelsRead(job.language) && !drawnText
            ? static_cast<PageReader &>(*worker.lineModels)
            : *worker.tesseract;
    const char *readerName = &reader == worker.tesseract.get() ? "tesseract" : "lines";
    m_counters.steps.at(std::string("engine=\"") + readerName + (pdf ? "\",step=\"render\"" : "\",step=\"decode\""))
            .observe(decoded - started);
    struct ReadTimer
    {
        stats::Histogram &histogram;
        std::chrono::steady_clock::time_point from;
        ~ReadTimer() { histogram.observe(std::chrono::steady_clock::now() - from); }
    } readTimer{m_counters.steps.at(std::string("engine=\"") + readerName + "\",step=\"read\""), decoded};
    try {
        reader.read(page.get(), job, stop, &result);
    } catch (const std::exception &) {
        // A page a library refuses deep inside (OpenCV asserts on what it
        // cannot handle, memory runs out): this request fails, the worker lives.
        result = Recognition{};
        result.outcome = Recognition::Outcome::Failed;
    }
    return result;
}

} // namespace ocrserver
