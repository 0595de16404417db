// SPDX-License-Identifier: MIT
#include "engine/tesseractreader.h"

#include "engine/orientation.h"

#include <leptonica/allheaders.h>
#include <malloc.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>

namespace ocrserver {

namespace {

// The line without surrounding white space, and runs of spaces (kept by
// preserve_interword_spaces, wide at table columns) as one.
std::string trimmed(const char *text)
{
    std::string s;
    bool space = false;
    for (const char *c = text ? text : ""; *c; ++c) {
        if (std::isspace(static_cast<unsigned char>(*c))) {
            space = !s.empty();
            continue;
        }
        if (space)
            s += ' ';
        space = false;
        s += *c;
    }
    return s;
}

bool containsHan(std::string_view utf8)
{
    for (size_t i = 0; i + 2 < utf8.size(); ++i) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        if ((b0 & 0xf0) != 0xe0)
            continue;
        const char32_t cp = char32_t(b0 & 0x0f) << 12 | char32_t(static_cast<unsigned char>(utf8[i + 1]) & 0x3f) << 6
                | char32_t(static_cast<unsigned char>(utf8[i + 2]) & 0x3f);
        if ((cp >= 0x4e00 && cp <= 0x9fff) || (cp >= 0x3400 && cp <= 0x4dbf) || (cp >= 0xf900 && cp <= 0xfaff))
            return true;
    }
    return false;
}

// How a language is read. Chinese with English is read English-first,
// which keeps Latin pages as fast and as exact as English alone; a line with
// any Han in it, or read poorly, is read again Chinese-first (English-first
// turns Chinese beside digits into Latin letters, and a title of plain
// Chinese can pass for Latin altogether), and the better reading is kept.
struct Reading
{
    std::string first;
    std::string reread; // empty: one pass
};

Reading readingFor(const std::string &language)
{
    if (language == "chi_sim+eng")
        return {"eng+chi_sim", "chi_sim+eng"};
    return {language, {}};
}

constexpr double RereadBelow = 0.75;

// Tesseract's cancel hook: the client left or the engine stops.
bool interrupted(void *stop, int)
{
    return static_cast<const ReadingStop *>(stop)->interrupted();
}

Box boxAt(const tesseract::ResultIterator &it, tesseract::PageIteratorLevel level)
{
    int left = 0, top = 0, right = 0, bottom = 0;
    it.BoundingBox(level, &left, &top, &right, &bottom);
    return {left, top, right - left, bottom - top};
}

// Lines, with their boxes and each symbol's, from one walk over the result.
std::vector<RecognizedLine> readLines(tesseract::TessBaseAPI &api)
{
    std::vector<RecognizedLine> lines;
    std::vector<double> confidences;
    int paragraph = -1;
    RecognizedLine current;
    const auto finishLine = [&] {
        if (current.text.empty())
            return;
        current.paragraph = paragraph;
        for (RecognizedChar &c : current.chars)
            c.box = within(c.box, current.box);
        setConfidences(current, confidences);
        lines.push_back(std::move(current));
    };

    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it && !it->Empty(tesseract::RIL_SYMBOL)) {
        do {
            if (it->IsAtBeginningOf(tesseract::RIL_TEXTLINE)) {
                finishLine();
                current = RecognizedLine();
                confidences.clear();
                if (it->IsAtBeginningOf(tesseract::RIL_PARA))
                    ++paragraph;
                std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
                current.text = trimmed(text.get());
                current.box = boxAt(*it, tesseract::RIL_TEXTLINE);
            }
            if (it->IsAtBeginningOf(tesseract::RIL_WORD))
                confidences.push_back(std::clamp(it->Confidence(tesseract::RIL_WORD) / 100.0, 0.0, 1.0));
            std::unique_ptr<char[]> symbol(it->GetUTF8Text(tesseract::RIL_SYMBOL));
            if (symbol && symbol[0])
                current.chars.push_back({symbol.get(), boxAt(*it, tesseract::RIL_SYMBOL)});
        } while (it->Next(tesseract::RIL_SYMBOL));
        finishLine();
    }
    return lines;
}

// A box on the upright page (width x height) as it lies in the image as
// sent, which was that page turned `direction` quarter turns counter-clockwise.
Box asSent(const Box &b, int direction, int width, int height)
{
    switch (direction) {
    case 1:
        return {b.top, width - b.left - b.width, b.height, b.width};
    case 2:
        return {width - b.left - b.width, height - b.top - b.height, b.width, b.height};
    case 3:
        return {height - b.top - b.height, b.left, b.height, b.width};
    default:
        return b;
    }
}

// One line read again in its own rectangle (padded, as Tesseract wants some
// margin) as a single line; nothing when it reads no better.
std::optional<RecognizedLine> reread(tesseract::TessBaseAPI &api, Pix *page, const RecognizedLine &line)
{
    const Box &box = line.box;
    const int pad = std::max(2, box.height / 4);
    const int left = std::max(0, box.left - pad), top = std::max(0, box.top - pad);
    const int right = std::min(int(pixGetWidth(page)), box.left + box.width + pad);
    const int bottom = std::min(int(pixGetHeight(page)), box.top + box.height + pad);
    if (right <= left || bottom <= top)
        return std::nullopt;
    api.SetPageSegMode(tesseract::PSM_SINGLE_LINE);
    api.SetRectangle(left, top, right - left, bottom - top);
    std::vector<RecognizedLine> again;
    if (api.Recognize(nullptr) == 0)
        again = readLines(api);
    api.SetPageSegMode(tesseract::PSM_AUTO);
    if (again.empty() || again.front().average <= line.average)
        return std::nullopt;
    RecognizedLine better = line;
    better.text.clear();
    better.chars.clear();
    for (RecognizedLine &part : again) {
        better.text += (better.text.empty() ? "" : " ") + part.text;
        for (RecognizedChar &c : part.chars)
            better.chars.push_back({std::move(c.text), within(c.box, line.box)});
    }
    better.average = again.front().average;
    better.min = again.front().min;
    better.variance = again.front().variance;
    return better;
}

std::unique_ptr<tesseract::TessBaseAPI> createApi(const std::string &language)
{
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    api->SetVariable("debug_file", "/dev/null"); // no resolution warnings per request
    if (api->Init(nullptr, language.c_str(), tesseract::OEM_LSTM_ONLY) != 0)
        throw std::runtime_error("cannot load Tesseract language '" + language + "'");
    api->SetPageSegMode(tesseract::PSM_AUTO);
    // Sauvola copes with the uneven light of camera stills far better than Otsu.
    api->SetVariable("thresholding_method", "2");
    // Read English-first, Chinese would otherwise come out with a space
    // between every two characters; runs of spaces are folded afterwards.
    api->SetVariable("preserve_interword_spaces", "1");
    return api;
}

// Lines that the first pass may have read as the wrong script, read again
// with the other model; stops early once interrupted or out of time.
void rereadLines(tesseract::TessBaseAPI &api, Pix *page, std::vector<RecognizedLine> &lines,
                 const std::function<bool()> &stop)
{
    bool imageSet = false;
    for (RecognizedLine &line : lines) {
        if (line.average >= RereadBelow && !containsHan(line.text))
            continue;
        if (stop())
            break; // what the first pass read stands
        if (!imageSet)
            api.SetImage(page);
        imageSet = true;
        if (auto better = reread(api, page, line))
            line = std::move(*better);
    }
    api.Clear();
}

// Positions are given in the image as it was sent, as the cloud gives them.
void turnBoxesBack(std::vector<RecognizedLine> &lines, int direction, Pix *upright)
{
    if (direction <= 0)
        return;
    const int width = int(pixGetWidth(upright)), height = int(pixGetHeight(upright));
    for (RecognizedLine &line : lines) {
        line.box = asSent(line.box, direction, width, height);
        for (RecognizedChar &c : line.chars)
            c.box = asSent(c.box, direction, width, height);
    }
}

} // namespace

TesseractReader::TesseractReader(const std::string &language)
{
    const Reading reading = readingFor(language);
    m_apis.emplace(reading.first, createApi(reading.first));
    if (!reading.reread.empty())
        m_apis.emplace(reading.reread, createApi(reading.reread));
    m_apis.begin()->second->GetAvailableLanguagesAsVector(&m_installed);
}

void TesseractReader::release()
{
    m_apis.clear();
    m_orientation.reset();
    malloc_trim(0); // most of it is in small blocks, which free() keeps
}

TesseractReader::~TesseractReader() = default;

tesseract::TessBaseAPI &TesseractReader::api(const std::string &language)
{
    auto &api = m_apis[language];
    if (!api)
        api = createApi(language); // a language other than the default: once per worker
    return *api;
}

void TesseractReader::read(Pix *decoded, const RecognitionJob &job, const ReadingStop &stop, Recognition *result)
{
    using Outcome = Recognition::Outcome;
    const Reading reading = readingFor(job.language);
    tesseract::TessBaseAPI *first = nullptr;
    tesseract::TessBaseAPI *second = nullptr;
    PixHandle page;
    try {
        // Grey, evenly lit and, when asked, upright: a quarter of a colour
        // page's memory, and camera stills read far better without their shadows.
        if (job.detectDirection && !m_orientation)
            m_orientation = std::make_unique<OrientationDetector>();
        PreparedPage prepared = preparePage(decoded, job.detectDirection ? m_orientation.get() : nullptr);
        if (job.detectDirection)
            result->direction = prepared.orientation.direction;
        page = std::move(prepared.pix);
        first = &api(reading.first);
        if (!reading.reread.empty())
            second = &api(reading.reread);
    } catch (const std::exception &) { // a model that cannot be loaded
        result->outcome = Outcome::Failed;
        return;
    }
    if (!page) {
        result->outcome = Outcome::Undecodable;
        return;
    }

    tesseract::ETEXT_DESC monitor;
    monitor.cancel = &interrupted;
    monitor.cancel_this = const_cast<ReadingStop *>(&stop);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(stop.deadline - std::chrono::steady_clock::now());
    monitor.set_deadline_msecs(int(std::max<std::int64_t>(1, left.count())));

    first->SetImage(page.get());
    if (first->Recognize(&monitor) != 0) {
        result->outcome = stop.interrupted() ? Outcome::Cancelled
                : monitor.deadline_exceeded() ? Outcome::TimedOut
                                              : Outcome::Failed;
        first->Clear();
        return;
    }
    result->outcome = Outcome::Done;
    result->lines = readLines(*first);
    first->Clear();
    if (second)
        rereadLines(*second, page.get(), result->lines, [&] { return stop.now() || monitor.deadline_exceeded(); });
    turnBoxesBack(result->lines, result->direction, page.get());
}

} // namespace ocrserver
