// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_ORIENTATION_H
#define VIRELTO_SERVER_ORIENTATION_H

#include <memory>
#include <string>

struct Pix;

namespace tesseract {
class TessBaseAPI;
}

namespace ocrserver {

struct PixFree
{
    void operator()(Pix *pix) const;
};
using PixHandle = std::unique_ptr<Pix, PixFree>;

// A grey copy of the page with its background lifted to white, so that a
// lamp's falloff or a shadow does not reach the threshold: camera stills read
// far better, and clean scans read the same. A page too small to map, or one
// that is mostly dark (light text on black), comes back grey but otherwise as
// it was. Null only when the page itself is null.
PixHandle evenlyLit(Pix *page);

// How a page lies, in the cloud's terms: `direction` is the number of quarter
// turns counter-clockwise the page has been given from upright (0 upright,
// 1 = 90°, 2 = 180°, 3 = 270°), or -1 when it cannot be told.
struct PageOrientation
{
    int direction = -1;
    float confidence = 0; // Tesseract's orientation confidence; 0 when unknown
    std::string script;   // "Latin", "Han", ... as Tesseract names it; empty when unknown
};

// The page turned upright: rotated back by `direction` quarter turns. An
// new reference to the page as it is for 0, -1 (unknown) and any other value.
PixHandle upright(Pix *page, int direction);

// Tesseract's orientation and script detection with its `osd` model. Holds
// one Tesseract instance, so it is not thread-safe: one detector per worker,
// like the recognisers.
class OrientationDetector
{
public:
    // Below this, OSD guessed a wrong side only on badly thresholded pages;
    // right answers on our fixtures were all above 1.3.
    static constexpr float MinConfidence = 1.0f;

    // Throws std::runtime_error when the `osd` model cannot be loaded.
    // An empty dataPath uses Tesseract's default tessdata folder.
    explicit OrientationDetector(const std::string &dataPath = {});
    ~OrientationDetector();
    OrientationDetector(const OrientationDetector &) = delete;
    OrientationDetector &operator=(const OrientationDetector &) = delete;

    // Works best on the evenly lit page (it thresholds with Otsu, which
    // uneven light defeats). Pages with too little text, or an answer below
    // MinConfidence, give direction -1.
    PageOrientation detect(Pix *page);

private:
    std::unique_ptr<tesseract::TessBaseAPI> m_api;
};

// The decoded page as the recogniser should get it: evenly lit and, when a
// detector is given, turned upright. `orientation` is what the detector
// found (direction -1 without a detector).
struct PreparedPage
{
    PixHandle pix;
    PageOrientation orientation;
};
PreparedPage preparePage(Pix *decoded, OrientationDetector *detector);

} // namespace ocrserver

#endif
