// SPDX-License-Identifier: MIT
#include "engine/orientation.h"

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>

#include <stdexcept>

namespace ocrserver {

namespace {

// Leptonica's background map: tiles of 10 x 15 pixels, pixels darker than
// 100 count as ink, a tile needs 50 paper pixels to say where the paper is.
constexpr int TileWidth = 10;
constexpr int TileHeight = 15;
constexpr int InkThreshold = 100;
constexpr int MinPaperPixels = 50;
// Leptonica cannot smooth a map of fewer than 5 x 5 tiles.
constexpr int MinMapTiles = 5;

bool mostlyDark(Pix *grey)
{
    l_float32 median = 255;
    if (pixGetRankValueMasked(grey, nullptr, 0, 0, 4, 0.5f, &median, nullptr) != 0)
        return false;
    return median < InkThreshold;
}

} // namespace

void PixFree::operator()(Pix *pix) const
{
    pixDestroy(&pix);
}

PixHandle evenlyLit(Pix *page)
{
    if (!page)
        return nullptr;
    PixHandle grey(pixConvertTo8(page, 0));
    if (!grey)
        return PixHandle(pixClone(page));
    // Light text on a dark ground has no paper to map: Tesseract inverts such
    // lines itself, so leave them to it.
    if (pixGetWidth(grey.get()) < MinMapTiles * TileWidth || pixGetHeight(grey.get()) < MinMapTiles * TileHeight
        || mostlyDark(grey.get()))
        return grey;
    // White, not Leptonica's usual grey 200: Sauvola then keeps every stroke
    // of a clean page, while the photo's shadows still vanish.
    PixHandle lit(pixBackgroundNorm(grey.get(), nullptr, nullptr, TileWidth, TileHeight, InkThreshold,
                                    MinPaperPixels, 255, 2, 1));
    return lit ? std::move(lit) : std::move(grey);
}

PixHandle upright(Pix *page, int direction)
{
    if (!page)
        return nullptr;
    if (direction < 1 || direction > 3)
        return PixHandle(pixClone(page));
    // pixRotateOrth turns clockwise, undoing that many counter-clockwise turns.
    return PixHandle(pixRotateOrth(page, direction));
}

OrientationDetector::OrientationDetector(const std::string &dataPath)
    : m_api(std::make_unique<tesseract::TessBaseAPI>())
{
    m_api->SetVariable("debug_file", "/dev/null"); // "too few characters" on every blank page
    if (m_api->Init(dataPath.empty() ? nullptr : dataPath.c_str(), "osd", tesseract::OEM_TESSERACT_ONLY) != 0)
        throw std::runtime_error("cannot load Tesseract's orientation model 'osd'");
    m_api->SetPageSegMode(tesseract::PSM_OSD_ONLY);
    // Otsu: on an evenly lit page as right as Sauvola, and cheaper.
    m_api->SetVariable("thresholding_method", "0");
}

OrientationDetector::~OrientationDetector() = default;

PageOrientation OrientationDetector::detect(Pix *page)
{
    PageOrientation result;
    if (!page)
        return result;
    int degrees = 0;
    float confidence = 0;
    float scriptConfidence = 0;
    const char *script = nullptr;
    m_api->SetImage(page);
    const bool found = m_api->DetectOrientationScript(&degrees, &confidence, &script, &scriptConfidence);
    if (found && script)
        result.script = script;
    m_api->Clear();
    if (!found)
        return result;
    result.confidence = confidence;
    if (confidence < MinConfidence || degrees < 0 || degrees >= 360 || degrees % 90 != 0)
        return result;
    // Tesseract says how far the page has been turned clockwise.
    result.direction = ((360 - degrees) / 90) % 4;
    return result;
}

PreparedPage preparePage(Pix *decoded, OrientationDetector *detector)
{
    PreparedPage prepared;
    prepared.pix = evenlyLit(decoded);
    if (detector && prepared.pix) {
        prepared.orientation = detector->detect(prepared.pix.get());
        if (prepared.orientation.direction > 0)
            prepared.pix = upright(prepared.pix.get(), prepared.orientation.direction);
    }
    return prepared;
}

} // namespace ocrserver
