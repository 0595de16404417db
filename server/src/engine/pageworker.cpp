// SPDX-License-Identifier: MIT
#include "engine/pageworker.h"

#include "engine/linemodelreader.h"
#include "engine/pagereader.h"
#include "engine/pdfpage.h"
#include "engine/tesseractreader.h"

#include <leptonica/allheaders.h>

#include <cerrno>

namespace ocrserver {

namespace {

using Outcome = Recognition::Outcome;
using Clock = std::chrono::steady_clock;

// The languages the line models read, by Tesseract's names.
bool lineModelsRead(const std::string &language)
{
    return language == "chi_sim+eng" || language == "eng";
}

// The page as sent, decoded (or its PDF page drawn); null, with the outcome
// set, when there is none.
PixHandle decodePage(const RecognitionJob &job, const EngineOptions &options, const ReadingStop &stop,
                     Recognition *result, bool *drawnText)
{
    if (job.source != RecognitionJob::Source::Pdf) {
        errno = 0;
        PixHandle pix(pixReadMem(reinterpret_cast<const l_uint8 *>(job.image.data()), job.image.size()));
        // A page that needs more than --worker-memory is too big for this
        // service (282000), not a broken image.
        if (!pix)
            result->outcome = errno == ENOMEM ? Outcome::Failed : Outcome::Undecodable;
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
    if (stop.timedOut()) {
        result->outcome = Outcome::TimedOut;
        return nullptr;
    }
    if (!rendered.pix)
        result->outcome = Outcome::Undecodable;
    return std::move(rendered.pix);
}

} // namespace

PageWorker::PageWorker(const std::string &language, const EngineOptions &options)
    : m_options(options)
{
    // Leptonica's warnings (a JPEG it could not read, say) are no use to
    // anyone: failures come back as results.
    setMsgSeverity(L_SEVERITY_NONE);
    m_tesseract = std::make_unique<TesseractReader>(language);
    if (options.reader == ReaderChoice::Auto && !options.lineModels.empty()) {
        LineModelReader::useThreads(1);
        m_lineModels = std::make_unique<LineModelReader>(options.lineModels);
    }
}

PageWorker::~PageWorker() = default;

void PageWorker::settle()
{
    if (m_lineModels)
        m_tesseract->release();
}

std::vector<std::string> PageWorker::installedLanguages()
{
    return m_tesseract->installedLanguages();
}

Recognition PageWorker::read(const RecognitionJob &job, const ReadingStop &stop)
{
    const auto started = Clock::now();
    Recognition result;
    bool drawnText = false;
    PixHandle page = decodePage(job, m_options, stop, &result, &drawnText);
    const auto decoded = Clock::now();
    result.timing.prepare = decoded - started;
    if (!page)
        return result;
    // Type drawn from a PDF's text is what Tesseract reads best, and five
    // times faster than the line models; pictures go to the line models.
    PageReader &reader = m_lineModels && lineModelsRead(job.language) && !drawnText
            ? static_cast<PageReader &>(*m_lineModels)
            : *m_tesseract;
    try {
        // Tesseract stays on one thread: OpenMP's threads spin between
        // parallel regions, costing other pages their cores.
        if (&reader == m_lineModels.get())
            LineModelReader::useThreads(job.threads);
        reader.read(page.get(), job, stop, &result);
    } catch (const std::exception &) {
        // A page a library refuses deep inside (OpenCV asserts on what it
        // cannot handle, memory runs out): this request fails, the worker lives.
        result = Recognition{};
        result.outcome = Outcome::Failed;
    }
    result.timing.reader = &reader == m_tesseract.get() ? "tesseract" : "lines";
    result.timing.prepare = decoded - started; // a reading that failed started the result afresh
    result.timing.read = Clock::now() - decoded;
    return result;
}

} // namespace ocrserver
