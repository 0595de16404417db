// SPDX-License-Identifier: MIT
#include "engine/pdfpage.h"

#include <leptonica/allheaders.h>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace ocrserver {

namespace {

constexpr double PreferredDpi = 300; // what Tesseract reads best at for body text

void quiet(const std::string &, void *)
{
}

} // namespace

PdfPage renderPdfPage(std::string_view pdf, int pageNumber, long minSide, long maxSide)
{
    // Poppler reports damaged files on stderr, which would break the
    // service's one line per request; failures come back as a status.
    static std::once_flag silenced;
    std::call_once(silenced, [] { poppler::set_debug_error_function(quiet, nullptr); });

    PdfPage result;
    if (pdf.empty() || pdf.size() > size_t(INT_MAX))
        return result;
    std::unique_ptr<poppler::document> document(poppler::document::load_from_raw_data(pdf.data(), int(pdf.size())));
    if (!document || document->is_locked())
        return result;
    result.pageCount = document->pages();
    if (pageNumber < 1 || pageNumber > result.pageCount) {
        result.status = PdfPage::Status::NoSuchPage;
        return result;
    }
    std::unique_ptr<poppler::page> page(document->create_page(pageNumber - 1));
    if (!page)
        return result;

    const poppler::rectf box = page->page_rect(poppler::crop_box);
    const double longest = std::max(std::abs(box.width()), std::abs(box.height())); // points, 1/72 in
    if (!(longest > 0) || !std::isfinite(longest))
        return result;
    // One pixel to spare: Poppler rounds the page's size up.
    const double dpi = std::min(PreferredDpi, double(maxSide - 1) * 72.0 / longest);
    if (std::min(std::abs(box.width()), std::abs(box.height())) * dpi / 72.0 < double(minSide)) {
        result.status = PdfPage::Status::Size;
        return result;
    }

    poppler::page_renderer renderer;
    renderer.set_render_hints(poppler::page_renderer::antialiasing | poppler::page_renderer::text_antialiasing);
    renderer.set_image_format(poppler::image::format_gray8);
    const poppler::image image = renderer.render_page(page.get(), dpi, dpi);
    if (!image.is_valid() || image.width() <= 0 || image.height() <= 0)
        return result;
    if (std::min(image.width(), image.height()) < minSide || std::max(image.width(), image.height()) > maxSide) {
        result.status = PdfPage::Status::Size;
        return result;
    }

    PixHandle pix(pixCreate(image.width(), image.height(), 8));
    if (!pix)
        return result;
    const int rowBytes = image.width();
    const int wpl = pixGetWpl(pix.get());
    l_uint32 *rows = pixGetData(pix.get());
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(rows + size_t(y) * size_t(wpl), image.const_data() + size_t(y) * size_t(image.bytes_per_row()),
                    size_t(rowBytes));
    pixEndianByteSwap(pix.get()); // Leptonica keeps bytes in 32-bit words, most significant first
    result.pix = std::move(pix);
    const std::vector<char> text = page->text().to_utf8();
    result.drawnText = std::any_of(text.begin(), text.end(), [](char c) { return !std::isspace(static_cast<unsigned char>(c)); });
    result.status = PdfPage::Status::Rendered;
    return result;
}

} // namespace ocrserver
