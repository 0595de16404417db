// SPDX-License-Identifier: MIT
#include "engine/ocrengine.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cctype>
#include <cmath>
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

OcrEngine::OcrEngine(const std::string &language, int workers)
    : m_defaultLanguage(language)
{
    for (int i = 0; i < std::max(1, workers); ++i) {
        auto worker = std::make_unique<Worker>();
        worker->apis.emplace(language, createApi(language));
        m_idle.push_back(worker.get());
        m_workers.push_back(std::move(worker));
    }
    std::vector<std::string> available;
    m_workers.front()->apis.begin()->second->GetAvailableLanguagesAsVector(&available);
    m_installed.insert(available.begin(), available.end());
}

OcrEngine::~OcrEngine() = default;

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

OcrEngine::Worker *OcrEngine::acquire()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_available.wait(lock, [this] { return !m_idle.empty(); });
    Worker *worker = m_idle.back();
    m_idle.pop_back();
    return worker;
}

void OcrEngine::release(Worker *worker)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(worker);
    }
    m_available.notify_one();
}

std::vector<RecognizedLine> OcrEngine::recognize(std::string_view image, const std::string &language)
{
    std::unique_ptr<Pix, PixDeleter> pix(
            pixReadMem(reinterpret_cast<const l_uint8 *>(image.data()), image.size()));
    if (!pix)
        throw std::invalid_argument("undecodable image");

    Worker *worker = acquire();
    struct Release
    {
        OcrEngine *engine;
        Worker *worker;
        ~Release() { engine->release(worker); }
    } releaseOnExit{this, worker};

    auto &api = worker->apis[language];
    if (!api)
        api = createApi(language); // a language other than the default: once per worker

    api->SetImage(pix.get());
    if (api->Recognize(nullptr) != 0) {
        api->Clear();
        throw std::runtime_error("recognition failed");
    }

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
            line.average = sum / confidences.size();
            double squares = 0;
            for (double c : confidences)
                squares += (c - line.average) * (c - line.average);
            line.variance = squares / confidences.size();
        }
        lines.push_back(std::move(line));
    };

    std::unique_ptr<tesseract::ResultIterator> it(api->GetIterator());
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
    it.reset();
    api->Clear();
    return lines;
}

} // namespace ocrserver
