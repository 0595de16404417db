// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_TEXTLINES_H
#define VIRELTO_SERVER_TEXTLINES_H

// The arithmetic around the text-line models, apart from the models
// themselves: what the detector's probability map says about where lines
// are, what the recogniser's scores spell, and in which order lines read.

#include <opencv2/core.hpp>

#include <array>
#include <string>
#include <vector>

namespace ocrserver {

// A line's four corners, clockwise from the top left of its text.
using Quad = std::array<cv::Point2f, 4>;

// A line's upper and lower edges, sampled at the same places from its start
// to its end: top[i] faces bottom[i] across the line. A straight line has
// two samples, its quadrilateral's corners; a bent one (a book page near
// the spine) follows its own outline.
struct LineOutline
{
    std::vector<cv::Point2f> top, bottom;
};

LineOutline outlineOf(const Quad &quad);

struct DetectedLine
{
    Quad quad;
    LineOutline outline;
    float score = 0; // mean probability inside the line's core
};

struct DetectorSettings
{
    float threshold = 0.3f;      // a pixel with more probability is text
    float boxThreshold = 0.5f;   // a region with less mean probability is dropped
    float unclipRatio = 1.6f;    // how far the shrunk core grows back into the line
    float lineEnds = 0.15f;      // and a line's ends beyond that, in line heights (a full stop lies apart)
    float minSide = 3;           // regions thinner than this, in map pixels, are noise
    int maxLines = 1000;
};

// Lines in the detector's probability map (CV_32F, one value per pixel),
// their corners in the map's pixels, ordered for lines along `angle`.
std::vector<DetectedLine> linesInProbabilityMap(const cv::Mat &probability, const DetectorSettings &settings = {},
                                                float angle = 0);

// A line's outline laid straight: a strip as tall as the line, as long as
// its middle, each piece between two samples mapped onto its own part of
// the strip.
class LineStrip
{
public:
    explicit LineStrip(LineOutline outline);

    const LineOutline &outline() const { return m_outline; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    // A point of the strip (x along, y down across) in the picture.
    cv::Point2f toPicture(cv::Point2f p) const;
    // The picture's pixels along the strip (BORDER_REPLICATE beyond it).
    cv::Mat cut(const cv::Mat &picture) const;

private:
    LineOutline m_outline;
    std::vector<float> m_at; // where each sample lies along the strip
    int m_width = 1, m_height = 1;
};

// The corners of a rotated rectangle, clockwise from the top left of a line
// that runs along whichever side of it lies closer to `angle` degrees (the
// page's lines), its text upright when the page's is.
Quad orderedCorners(const cv::RotatedRect &rect, float angle = 0);

struct DecodedSymbol
{
    std::string text;  // UTF-8
    int firstStep = 0; // the time steps it was read at
    int lastStep = 0;
    float probability = 0;
};

// Best-path CTC decoding of the recogniser's scores (steps x classes,
// CV_32F, a probability per class): class 0 is the blank, class i the
// dictionary's entry i - 1, the class after the dictionary a space.
// Repeats not split by a blank are one symbol; spaces at either end are
// dropped.
std::vector<DecodedSymbol> decodeCtc(const cv::Mat &scores, const std::vector<std::string> &dictionary);

// Spaces the recogniser missed between Latin words (it runs words of small,
// tightly set type together): columns of the line's crop (8-bit grey, the
// text upright) without ink, wider than its letters' gaps, part two symbols
// whose middles lie on either side. `stepWidth` is a time step's width in
// the crop's pixels.
void spaceWords(std::vector<DecodedSymbol> &symbols, const cv::Mat &grey, float stepWidth);

// Where to cut a line's crop (8-bit grey, the text upright) that is wider
// than `widest` pixels into pieces no wider: at the middle of the widest
// gap in its ink in each piece's later half, else at its faintest column.
// Empty when the crop is narrow enough.
std::vector<int> cutsAtInkGaps(const cv::Mat &grey, int widest);

// Reading order of lines lying along `angle` degrees: top to bottom, and
// left to right along the lines that share a row (side by side, each one's
// middle carried on along its slant meeting the next's within half a
// line); running text set in columns column by column. Indices into
// `outlines`.
std::vector<int> readingOrder(const std::vector<LineOutline> &outlines, float angle = 0);

// The dominant direction in degrees (-90, 90] of the lines' long sides,
// weighted by length; lines that are not clearly longer than tall say
// nothing. `lines` is 0 when none did.
struct LineDirection
{
    float angle = 0;
    int lines = 0;
};
LineDirection dominantDirection(const std::vector<Quad> &quads);

} // namespace ocrserver

#endif
