// SPDX-License-Identifier: MIT
#include "engine/ocrengine.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cctype>
#include <future>
#include <map>
#include <sstream>
#include <stdexcept>

namespace ocrserver {

struct OcrEngine::Worker
{
    std::map<std::string, std::unique_ptr<tesseract::TessBaseAPI>> apis; // by language
};

namespace {

struct PixDeleter
{
    void operator()(Pix *pix) const { pixDestroy(&pix); }
};

std::string trimmed(const char *text)
{
    std::string s = text ? text : "";
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

// What Tesseract's cancel hook looks at while it recognises.
struct Interrupt
{
    const std::atomic<bool> *cancelled;
    const std::atomic<bool> *abort;

    bool now() const { return (cancelled && cancelled->load()) || abort->load(); }
    static bool check(void *self, int) { return static_cast<Interrupt *>(self)->now(); }
};

std::vector<RecognizedLine> readLines(tesseract::TessBaseAPI &api)
{
    std::vector<RecognizedLine> lines;
    std::vector<double> confidences;
    int paragraph = -1;
    const auto finishLine = [&](std::string text) {
        if (text.empty())
            return;
        RecognizedLine line;
        line.text = std::move(text);
        line.paragraph = paragraph;
        if (!confidences.empty()) {
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
        lines.push_back(std::move(line));
    };

    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    std::string lineText;
    if (it && !it->Empty(tesseract::RIL_WORD)) {
        do {
            if (it->IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
                finishLine(std::move(lineText));
                confidences.clear();
                if (it->IsAtBeginningOf(tesseract::RIL_PARA))
                    ++paragraph;
                std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
                lineText = trimmed(text.get());
            }
            confidences.push_back(std::clamp(it->Confidence(tesseract::RIL_WORD) / 100.0, 0.0, 1.0));
        } while (it->Next(tesseract::RIL_WORD));
        finishLine(std::move(lineText));
    }
    return lines;
}

} // namespace

std::unique_ptr<tesseract::TessBaseAPI> OcrEngine::createApi(const std::string &language)
{
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    api->SetVariable("debug_file", "/dev/null"); // no resolution warnings per request
    if (api->Init(nullptr, language.c_str(), tesseract::OEM_LSTM_ONLY) != 0)
        throw std::runtime_error("cannot load Tesseract language '" + language + "'");
    api->SetPageSegMode(tesseract::PSM_AUTO);
    // Sauvola copes with the uneven light of camera stills far better than Otsu.
    api->SetVariable("thresholding_method", "2");
    return api;
}

OcrEngine::OcrEngine(const std::string &language, EngineOptions options)
    : m_defaultLanguage(language)
    , m_options(options)
{
    for (int i = 0; i < std::max(1, options.workers); ++i) {
        auto worker = std::make_unique<Worker>();
        worker->apis.emplace(language, createApi(language));
        m_workers.push_back(std::move(worker));
    }
    std::vector<std::string> available;
    m_workers.front()->apis.begin()->second->GetAvailableLanguagesAsVector(&available);
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
        if (!m_stopping && m_queue.size() < m_options.queueLength) {
            m_queue.push_back({std::move(job), std::move(cancelled), std::move(done)});
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
        }
        Recognition result = next.cancelled && next.cancelled->load()
                ? Recognition{Recognition::Outcome::Cancelled, {}}
                : run(worker, next);
        next.done(std::move(result));
    }
}

Recognition OcrEngine::run(Worker &worker, const Queued &queued)
{
    const auto started = std::chrono::steady_clock::now();
    const RecognitionJob &job = queued.job;
    std::unique_ptr<Pix, PixDeleter> pix(
            pixReadMem(reinterpret_cast<const l_uint8 *>(job.image.data()), job.image.size()));
    if (!pix)
        return {Recognition::Outcome::Undecodable, {}};
    // Tesseract reads grey levels only; a colour page would be kept four
    // times as large (an 8192 x 8192 photo: 256 MiB instead of 64).
    const int depth = pixGetDepth(pix.get());
    if (depth == 32 || depth == 16 || pixGetColormap(pix.get())) {
        pix.reset(depth == 32 ? pixConvertRGBToLuminance(pix.get()) : pixConvertTo8(pix.get(), 0));
        if (!pix)
            return {Recognition::Outcome::Undecodable, {}};
    }

    auto &api = worker.apis[job.language];
    if (!api)
        api = createApi(job.language); // a language other than the default: once per worker
    api->SetImage(pix.get());
    pix.reset(); // Tesseract keeps its own copy

    Interrupt interrupt{queued.cancelled.get(), &m_abort};
    tesseract::ETEXT_DESC monitor;
    monitor.cancel = &Interrupt::check;
    monitor.cancel_this = &interrupt;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    monitor.set_deadline_msecs(int(std::max<std::int64_t>(1, (m_options.deadline - spent).count())));

    Recognition result;
    if (api->Recognize(&monitor) != 0) {
        result.outcome = interrupt.now() ? Recognition::Outcome::Cancelled
                : monitor.deadline_exceeded() ? Recognition::Outcome::TimedOut
                                              : Recognition::Outcome::Failed;
    } else {
        result.outcome = Recognition::Outcome::Done;
        result.lines = readLines(*api);
    }
    api->Clear();
    return result;
}

} // namespace ocrserver
