// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_PDFPAGE_H
#define VIRELTO_SERVER_PDFPAGE_H

#include "engine/orientation.h"

#include <string_view>

namespace ocrserver {

struct PdfPage
{
    // Unreadable: not a PDF, damaged, or encrypted with a password we do
    // not have. NoSuchPage: pageNumber is not one of its pages. Size: the
    // page would be narrower than minSide pixels.
    enum class Status { Rendered, Unreadable, NoSuchPage, Size };
    Status status = Status::Unreadable;
    PixHandle pix;     // 8-bit grey, white paper
    int pageCount = 0; // known once the document opened
    bool drawnText = false; // the page holds text as type, not only pictures of it
};

// One page (1-based) of a PDF held in memory, rendered at 300 dpi, or lower
// when that would make its longer side exceed maxSide pixels.
PdfPage renderPdfPage(std::string_view pdf, int pageNumber, long minSide, long maxSide);

} // namespace ocrserver

#endif
