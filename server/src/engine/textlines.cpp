// SPDX-License-Identifier: MIT
#include "engine/textlines.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cctype>
#include <cstring>
#include <numeric>

namespace ocrserver {

namespace {

constexpr float Pi = 3.14159265358979f;

cv::Point2f unitAt(float degrees)
{
    return {std::cos(degrees * Pi / 180), std::sin(degrees * Pi / 180)};
}

float length(cv::Point2f v)
{
    return std::hypot(v.x, v.y);
}

// The region's own pixels (1) within `bounds`.
cv::Mat regionMask(const std::vector<cv::Point> &contour, const cv::Rect &bounds)
{
    cv::Mat mask = cv::Mat::zeros(bounds.size(), CV_8U);
    std::vector<cv::Point> shifted(contour.size());
    std::transform(contour.begin(), contour.end(), shifted.begin(), [&](cv::Point p) { return p - bounds.tl(); });
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{shifted}, cv::Scalar(1));
    return mask;
}

// Mean of the map over the region's own pixels, not its bounding box: a
// slanted line's box holds much paper.
float meanInside(const cv::Mat &probability, const std::vector<cv::Point> &contour)
{
    const cv::Rect bounds = cv::boundingRect(contour) & cv::Rect(0, 0, probability.cols, probability.rows);
    if (bounds.empty())
        return 0;
    return float(cv::mean(probability(bounds), regionMask(contour, bounds))[0]);
}

cv::Point2f lerp(cv::Point2f a, cv::Point2f b, float f)
{
    return a + (b - a) * f;
}

float median(std::vector<float> values)
{
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// The outline of a line whose core (`contour`, the map's pixels) bends
// within `quad`, the rectangle around the grown line: the core's upper and
// lower edges in slices along the line, grown as the core is, its ends as
// the rectangle's. Empty when the core lies straight enough for `quad`.
LineOutline bentOutline(const std::vector<cv::Point> &contour, const Quad &quad, float coreHeight,
                        const DetectorSettings &settings)
{
    const float run = length(quad[1] - quad[0]), across = length(quad[3] - quad[0]);
    if (run < 3 * across || coreHeight < 1)
        return {};
    const cv::Point2f u = (quad[1] - quad[0]) / run, v = (quad[3] - quad[0]) / across;
    const cv::Rect bounds = cv::boundingRect(contour);
    const cv::Mat mask = regionMask(contour, bounds);
    const float area = float(cv::contourArea(contour)), perimeter = float(cv::arcLength(contour, true));

    // Slices about as wide as the core is thick (its area over half its
    // perimeter: the rectangle of a bent core is taller), at most 48 of them.
    const float thickness = area / std::max(1.0f, perimeter / 2);
    const float sliceWidth = std::max({thickness, 2.0f, run / 48});
    const int slices = std::max(1, int(std::ceil(run / sliceWidth)));
    struct Slice
    {
        float sumS = 0, low = 1e9f, high = -1e9f;
        int pixels = 0;
    };
    std::vector<Slice> sliced(size_t(slices) + 1);
    for (int y = 0; y < mask.rows; ++y) {
        const uchar *row = mask.ptr<uchar>(y);
        for (int x = 0; x < mask.cols; ++x) {
            if (!row[x])
                continue;
            const cv::Point2f d = cv::Point2f(float(x + bounds.x), float(y + bounds.y)) - quad[0];
            const float along = d.dot(u), t = d.dot(v);
            Slice &slice = sliced[size_t(std::clamp(int(along / sliceWidth), 0, slices))];
            slice.sumS += along;
            slice.low = std::min(slice.low, t);
            slice.high = std::max(slice.high, t + 1);
            ++slice.pixels;
        }
    }
    std::vector<float> at, low, high, half;
    for (const Slice &slice : sliced) {
        if (slice.pixels == 0)
            continue;
        at.push_back(slice.sumS / float(slice.pixels));
        low.push_back(slice.low);
        high.push_back(slice.high);
        half.push_back((slice.high - slice.low) / 2);
    }
    const size_t n = at.size();
    if (n < 4)
        return {};
    // Each edge against a straight line through it. A bend moves both edges
    // the same way; an ascender or a descender only one of them, so the
    // smaller move of the two, where they agree, is the line's own.
    const auto fitted = [&](const std::vector<float> &edge) {
        double sa = 0, se = 0, saa = 0, sae = 0;
        for (size_t i = 0; i < n; ++i) {
            sa += at[i];
            se += edge[i];
            saa += double(at[i]) * at[i];
            sae += double(at[i]) * edge[i];
        }
        const double slope = (n * sae - sa * se) / std::max(1e-6, n * saa - sa * sa);
        const double offset = (se - slope * sa) / double(n);
        std::vector<float> line(n);
        for (size_t i = 0; i < n; ++i)
            line[i] = float(offset + slope * at[i]);
        return line;
    };
    const std::vector<float> lowLine = fitted(low), highLine = fitted(high);
    std::vector<float> middle(n);
    float worst = 0;
    for (size_t i = 0; i < n; ++i) {
        const float up = low[i] - lowLine[i], down = high[i] - highLine[i];
        const float shift = (up > 0) == (down > 0) ? (std::abs(up) < std::abs(down) ? up : down) : 0;
        worst = std::max(worst, std::abs(shift));
        middle[i] = (lowLine[i] + highLine[i]) / 2 + shift;
    }
    // A line that keeps within a fifth of its height of straight is straight.
    if (worst < 0.2f * coreHeight)
        return {};

    // Grown as the detector's rule grows the core: area x ratio / perimeter,
    // of the core itself (its rectangle holds the bend).
    const float grow = area * settings.unclipRatio / std::max(1.0f, perimeter);
    const float typical = median(half);
    std::vector<float> smooth(middle);
    for (size_t i = 1; i + 1 < n; ++i)
        smooth[i] = (middle[i - 1] + 2 * middle[i] + middle[i + 1]) / 4;
    const float lineHeight = 2 * (typical + grow);
    const float reach = grow + settings.lineEnds * lineHeight;
    LineOutline outline;
    const auto add = [&](float along, float centre, float halfHeight) {
        const cv::Point2f base = quad[0] + u * along;
        outline.top.push_back(base + v * (centre - halfHeight));
        outline.bottom.push_back(base + v * (centre + halfHeight));
    };
    const auto extended = [&](size_t from, size_t next, float along) { // the end's slope carried on
        const float ds = at[next] - at[from];
        return smooth[from] + (std::abs(ds) > 1e-3f ? (smooth[next] - smooth[from]) / ds * (along - at[from]) : 0);
    };
    const float first = at.front() - sliceWidth / 2 - reach, last = at.back() + sliceWidth / 2 + reach;
    add(first, extended(0, 1, first), typical + grow);
    for (size_t i = 0; i < n; ++i)
        add(at[i], smooth[i], std::clamp(half[i], 0.75f * typical, 1.25f * typical) + grow);
    add(last, extended(n - 1, n - 2, last), typical + grow);
    return outline;
}

} // namespace

LineOutline outlineOf(const Quad &quad)
{
    return {{quad[0], quad[1]}, {quad[3], quad[2]}};
}

LineStrip::LineStrip(LineOutline outline)
    : m_outline(std::move(outline))
{
    CV_Assert(m_outline.top.size() >= 2 && m_outline.top.size() == m_outline.bottom.size());
    float along = 0, across = 0;
    m_at.push_back(0);
    for (size_t i = 0; i < m_outline.top.size(); ++i) {
        across += length(m_outline.bottom[i] - m_outline.top[i]);
        if (i > 0) {
            const cv::Point2f a = (m_outline.top[i - 1] + m_outline.bottom[i - 1]) / 2;
            const cv::Point2f b = (m_outline.top[i] + m_outline.bottom[i]) / 2;
            along += length(b - a);
            m_at.push_back(along);
        }
    }
    m_width = std::max(1, int(std::lround(along)));
    m_height = std::max(1, int(std::lround(across / float(m_outline.top.size()))));
    for (float &at : m_at) // in the strip's whole pixels
        at *= float(m_width) / std::max(along, 1e-3f);
}

cv::Point2f LineStrip::toPicture(cv::Point2f p) const
{
    const size_t last = m_at.size() - 1;
    size_t i = size_t(std::upper_bound(m_at.begin(), m_at.end(), p.x) - m_at.begin());
    i = std::clamp<size_t>(i, 1, last) - 1;
    const float span = m_at[i + 1] - m_at[i];
    const float f = span > 0 ? (p.x - m_at[i]) / span : 0;
    const cv::Point2f top = lerp(m_outline.top[i], m_outline.top[i + 1], f);
    const cv::Point2f bottom = lerp(m_outline.bottom[i], m_outline.bottom[i + 1], f);
    return lerp(top, bottom, p.y / float(m_height));
}

cv::Mat LineStrip::cut(const cv::Mat &picture) const
{
    cv::Mat mapX(m_height, m_width, CV_32F), mapY(m_height, m_width, CV_32F);
    for (int x = 0; x < m_width; ++x) {
        const cv::Point2f top = toPicture({float(x), 0});
        const cv::Point2f down = (toPicture({float(x), float(m_height)}) - top) / float(m_height);
        for (int y = 0; y < m_height; ++y) {
            mapX.at<float>(y, x) = top.x + down.x * float(y);
            mapY.at<float>(y, x) = top.y + down.y * float(y);
        }
    }
    cv::Mat strip;
    cv::remap(picture, strip, mapX, mapY, cv::INTER_CUBIC, cv::BORDER_REPLICATE);
    return strip;
}

Quad orderedCorners(const cv::RotatedRect &rect, float angle)
{
    const cv::Point2f page = unitAt(angle);
    const cv::Point2f alongWidth = unitAt(rect.angle);
    const cv::Point2f alongHeight(-alongWidth.y, alongWidth.x);
    const bool widthRuns = std::abs(alongWidth.dot(page)) >= std::abs(alongHeight.dot(page));
    cv::Point2f u = widthRuns ? alongWidth : alongHeight;
    if (u.dot(page) < 0)
        u = -u;
    const cv::Point2f v(-u.y, u.x); // towards the text's bottom (image y grows downwards)
    const float run = widthRuns ? rect.size.width : rect.size.height;
    const float across = widthRuns ? rect.size.height : rect.size.width;
    const cv::Point2f c = rect.center, halfRun = u * (run / 2), halfAcross = v * (across / 2);
    return {c - halfRun - halfAcross, c + halfRun - halfAcross, c + halfRun + halfAcross, c - halfRun + halfAcross};
}

std::vector<DetectedLine> linesInProbabilityMap(const cv::Mat &probability, const DetectorSettings &settings,
                                                float angle)
{
    CV_Assert(probability.type() == CV_32F);
    cv::Mat text = probability > settings.threshold;
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(text, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
    std::vector<DetectedLine> lines;
    for (const auto &contour : contours) {
        if (int(lines.size()) >= settings.maxLines)
            break;
        if (contour.size() < 3)
            continue;
        const cv::RotatedRect core = cv::minAreaRect(contour);
        if (std::min(core.size.width, core.size.height) < settings.minSide)
            continue;
        const float score = meanInside(probability, contour);
        if (score < settings.boxThreshold)
            continue;
        // The detector marks a line's shrunk core; grow it back by the same
        // rule it was trained with: area x ratio / perimeter on every side.
        const float area = core.size.area();
        const float perimeter = 2 * (core.size.width + core.size.height);
        const float grow = area * settings.unclipRatio / perimeter;
        cv::Size2f size(core.size.width + 2 * grow, core.size.height + 2 * grow);
        if (size.width >= size.height)
            size.width += 2 * settings.lineEnds * size.height;
        else
            size.height += 2 * settings.lineEnds * size.width;
        const cv::RotatedRect line(core.center, size, core.angle);
        if (std::min(line.size.width, line.size.height) < settings.minSide + 2)
            continue;
        const Quad quad = orderedCorners(line, angle);
        LineOutline outline = bentOutline(contour, quad, std::min(core.size.width, core.size.height), settings);
        lines.push_back({quad, outline.top.empty() ? outlineOf(quad) : std::move(outline), score});
    }
    return lines;
}

std::vector<DecodedSymbol> decodeCtc(const cv::Mat &scores, const std::vector<std::string> &dictionary)
{
    CV_Assert(scores.type() == CV_32F && scores.dims == 2);
    const int space = int(dictionary.size()) + 1;
    std::vector<DecodedSymbol> symbols;
    std::vector<int> runLength;
    int previous = 0;
    for (int step = 0; step < scores.rows; ++step) {
        cv::Point best;
        double probability = 0;
        cv::minMaxLoc(scores.row(step), nullptr, &probability, nullptr, &best);
        const int cls = best.x;
        if (cls != 0 && cls == previous) {
            DecodedSymbol &last = symbols.back();
            last.lastStep = step;
            last.probability += (float(probability) - last.probability) / float(++runLength.back());
        } else if (cls != 0 && cls <= space) {
            symbols.push_back({cls == space ? std::string(" ") : dictionary[size_t(cls - 1)], step, step,
                               float(probability)});
            runLength.push_back(1);
        }
        previous = cls;
    }
    // One space between words, none at the ends.
    std::vector<DecodedSymbol> kept;
    for (DecodedSymbol &s : symbols) {
        if (s.text == " " && (kept.empty() || kept.back().text == " "))
            continue;
        kept.push_back(std::move(s));
    }
    if (!kept.empty() && kept.back().text == " ")
        kept.pop_back();
    return kept;
}

namespace {

// Typographic quotes, dashes and the ellipsis, which Latin text sets
// between its words like ASCII punctuation.
bool typographic(const std::string &t)
{
    return t.size() == 3 && static_cast<unsigned char>(t[0]) == 0xE2 && static_cast<unsigned char>(t[1]) == 0x80
            && ((static_cast<unsigned char>(t[2]) >= 0x93 && static_cast<unsigned char>(t[2]) <= 0x9D)
                || static_cast<unsigned char>(t[2]) == 0xA6);
}

bool latin(const DecodedSymbol &s)
{
    return (s.text.size() == 1 && std::isgraph(static_cast<unsigned char>(s.text[0]))) || typographic(s.text);
}

// Punctuation that closes a word: the recogniser often reads it a step
// late, on the gap after it.
bool closing(const std::string &t)
{
    return (t.size() == 1 && std::strchr(",.;:!?)]}\"'", t[0])) || typographic(t);
}

bool opening(const std::string &t)
{
    return (t.size() == 1 && std::strchr("([{", t[0])) || t == "\xE2\x80\x9C" || t == "\xE2\x80\x98"; // “ ‘
}

// Punctuation set against the word before it.
bool trailing(const std::string &t)
{
    return (t.size() == 1 && std::strchr(",.;:!?)]}'", t[0])) || t == "\xE2\x80\x9D" || t == "\xE2\x80\x99"; // ” ’
}

bool digit(const DecodedSymbol &s)
{
    return s.text.size() == 1 && std::isdigit(static_cast<unsigned char>(s.text[0]));
}

} // namespace

namespace {

// How much ink each column of a line's crop (8-bit grey, the text upright)
// holds within the band where its letters stand; `inkHeight` is that
// band's height (under 4: no text to speak of).
cv::Mat inkColumns(const cv::Mat &grey, int *inkHeight)
{
    *inkHeight = 0;
    cv::Mat ink;
    cv::threshold(grey, ink, 0, 1, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
    const bool lightOnDark = size_t(cv::countNonZero(ink)) * 2 > grey.total();
    // Each column against the paper around it, wider than a letter: a lamp
    // to one side darkens the paper there below the ink elsewhere.
    cv::Mat dark = lightOnDark ? 255 - grey : grey, paper, flat;
    cv::dilate(dark, paper, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * grey.rows + 1, 1)));
    cv::divide(dark, paper, flat, 255.0);
    cv::threshold(flat, ink, 0, 1, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
    cv::Mat rows, columns;
    cv::reduce(ink, rows, 1, cv::REDUCE_SUM, CV_32S);
    int top = 0, bottom = ink.rows - 1;
    const int minRowInk = std::max(1, ink.cols / 50);
    while (top < bottom && rows.at<int>(top) < minRowInk)
        ++top;
    while (bottom > top && rows.at<int>(bottom) < minRowInk)
        --bottom;
    *inkHeight = bottom - top + 1;
    cv::reduce(ink.rowRange(top, bottom + 1), columns, 0, cv::REDUCE_SUM, CV_32S);
    return columns;
}

} // namespace

std::vector<int> cutsAtInkGaps(const cv::Mat &grey, int widest)
{
    CV_Assert(grey.type() == CV_8U && widest >= 4);
    std::vector<int> cuts;
    if (grey.cols <= widest)
        return cuts;
    int inkHeight = 0;
    const cv::Mat columns = inkColumns(grey, &inkHeight);
    const auto ink = [&](int x) { return columns.at<int>(x); };
    for (int start = 0; grey.cols - start > widest;) {
        // The widest gap in the piece's later half, else its faintest column.
        const int from = start + widest / 2, to = start + widest;
        int best = -1, bestWidth = 0, faintest = to;
        for (int x = from; x < to;) {
            if (ink(x) < ink(faintest) || (ink(x) == ink(faintest) && x > faintest))
                faintest = x;
            if (ink(x) != 0) {
                ++x;
                continue;
            }
            const int gapStart = x;
            while (x < to && ink(x) == 0)
                ++x;
            if (x - gapStart >= bestWidth) {
                bestWidth = x - gapStart;
                best = (gapStart + x) / 2;
            }
        }
        const int cut = best > start ? best : faintest;
        cuts.push_back(cut);
        start = cut;
    }
    return cuts;
}

void spaceWords(std::vector<DecodedSymbol> &symbols, const cv::Mat &grey, float stepWidth)
{
    CV_Assert(grey.type() == CV_8U);
    if (symbols.size() < 2 || grey.cols < 4 || grey.rows < 4)
        return;
    int inkHeight = 0;
    const cv::Mat columns = inkColumns(grey, &inkHeight);
    if (inkHeight < 4)
        return;
    std::vector<cv::Range> gaps;
    int first = 0;
    while (first < columns.cols && columns.at<int>(first) == 0)
        ++first;
    for (int x = first; x < columns.cols;) {
        if (columns.at<int>(x) != 0) {
            ++x;
            continue;
        }
        const int start = x;
        while (x < columns.cols && columns.at<int>(x) == 0)
            ++x;
        if (x < columns.cols) // not the margin after the last letter
            gaps.push_back({start, x});
    }
    if (gaps.empty())
        return;
    std::vector<int> widths;
    for (const cv::Range &g : gaps)
        widths.push_back(g.size());
    std::nth_element(widths.begin(), widths.begin() + long(widths.size() / 2), widths.end());
    const float letterGap = float(widths[widths.size() / 2]);
    const float wordGap = std::max(0.2f * float(inkHeight), 2.0f * letterGap);
    // Figures are set with wide gaps around a narrow one ("2012"): a
    // number is split only where the gap is plainly wider.
    const float numberGap = std::max(wordGap, 0.4f * float(inkHeight));

    const auto middle = [stepWidth](const DecodedSymbol &s) { return float(s.firstStep + s.lastStep + 1) / 2 * stepWidth; };
    std::vector<DecodedSymbol> spaced;
    for (size_t i = 0; i < symbols.size(); ++i) {
        if (i > 0 && latin(spaced.back()) && latin(symbols[i]) && !opening(spaced.back().text)
            && !trailing(symbols[i].text)) {
            const size_t n = spaced.size();
            const bool late = closing(spaced.back().text) && n >= 2 && spaced[n - 2].text != " ";
            const float from = middle(spaced[late ? n - 2 : n - 1]), to = middle(symbols[i]);
            const float wanted = digit(spaced.back()) && digit(symbols[i]) ? numberGap : wordGap;
            for (const cv::Range &g : gaps) {
                if (float(g.size()) >= wanted && float(g.start) >= from && float(g.end) <= to) {
                    spaced.push_back({" ", symbols[i].firstStep, symbols[i].firstStep, symbols[i].probability});
                    break;
                }
            }
        }
        spaced.push_back(std::move(symbols[i]));
    }
    symbols = std::move(spaced);
}

namespace {

// A line as reading order sees it, in coordinates along the page's lines
// (x) and across them (y).
struct Placed
{
    int index;
    float left, right;       // its extent along the lines
    float leftY, rightY;     // the height of its middle at either end
    float y;                 // its middle's mean height
    float height;
    float slope = 0; // of the page where it lies: its own when it is long, else its long neighbours'

    float ownSlope() const { return right > left ? (rightY - leftY) / (right - left) : 0; }
    float yAt(float x) const // its middle carried on beyond its ends
    {
        return x <= left ? leftY + slope * (x - left) : x >= right ? rightY + slope * (x - right) : leftY + ownSlope() * (x - left);
    }
};

// A short line's own slant says little (a price, a single word): it takes
// that of the nearest long lines above and below it, as a bent receipt's
// columns follow the paper.
void setSlopes(std::vector<Placed> &lines)
{
    std::vector<const Placed *> long_;
    for (const Placed &p : lines)
        if (p.right - p.left >= 6 * p.height)
            long_.push_back(&p);
    std::vector<float> slopes(lines.size(), 0);
    for (size_t i = 0; i < lines.size(); ++i) {
        const Placed &p = lines[i];
        if (p.right - p.left >= 6 * p.height) {
            slopes[i] = p.ownSlope();
            continue;
        }
        const Placed *above = nullptr, *below = nullptr;
        for (const Placed *q : long_) {
            if (q->y <= p.y && (!above || q->y > above->y))
                above = q;
            if (q->y > p.y && (!below || q->y < below->y))
                below = q;
        }
        if (above && below)
            slopes[i] = (above->ownSlope() + below->ownSlope()) / 2;
        else if (above || below)
            slopes[i] = (above ? above : below)->ownSlope();
    }
    for (size_t i = 0; i < lines.size(); ++i)
        lines[i].slope = slopes[i];
}

Placed placed(int index, const LineOutline &outline, cv::Point2f u, cv::Point2f v)
{
    Placed p{index, 1e9f, -1e9f, 0, 0, 0, 0};
    const size_t n = outline.top.size();
    float across = 0;
    for (size_t i = 0; i < n; ++i) {
        for (cv::Point2f q : {outline.top[i], outline.bottom[i]}) {
            p.left = std::min(p.left, q.dot(u));
            p.right = std::max(p.right, q.dot(u));
        }
        p.y += ((outline.top[i] + outline.bottom[i]) / 2).dot(v) / float(n);
        across += length(outline.bottom[i] - outline.top[i]) / float(n);
    }
    p.leftY = ((outline.top.front() + outline.bottom.front()) / 2).dot(v);
    p.rightY = ((outline.top.back() + outline.bottom.back()) / 2).dot(v);
    p.height = std::max(across, 1.0f);
    return p;
}

// Rows top to bottom, each left to right. Lines share a row when they lie
// side by side (apart along the row) and the nearer one's middle, carried
// on along its own slant, meets the other's within half a line.
std::vector<int> inRows(std::vector<Placed> lines)
{
    std::sort(lines.begin(), lines.end(), [](const Placed &a, const Placed &b) { return a.y < b.y; });
    std::vector<std::vector<Placed>> rows;
    for (const Placed &p : lines) {
        std::vector<Placed> *home = nullptr;
        // Only the last rows can still take a line: they are sorted by height on the page.
        for (auto row = rows.rbegin(); row != rows.rend() && row - rows.rbegin() < 4 && !home; ++row) {
            const Placed *nearest = nullptr;
            float gap = 1e9f;
            bool apart = true;
            for (const Placed &q : *row) {
                const float overlap = std::min(p.right, q.right) - std::max(p.left, q.left);
                if (overlap > 0.5f * std::min(p.height, q.height)) {
                    apart = false;
                    break;
                }
                const float g = std::max(p.left - q.right, q.left - p.right);
                if (g < gap) {
                    gap = g;
                    nearest = &q;
                }
            }
            if (!apart || !nearest)
                continue;
            // Level, or each carried on along its own slant to the middle of the gap.
            const float x = p.left >= nearest->right ? (p.left + nearest->right) / 2 : (p.right + nearest->left) / 2;
            const float near = 0.5f * std::min(p.height, nearest->height);
            if (std::abs(p.y - nearest->y) <= near || std::abs(p.yAt(x) - nearest->yAt(x)) <= near)
                home = &*row;
        }
        if (!home) {
            rows.emplace_back();
            home = &rows.back();
        }
        home->push_back(p);
    }
    std::vector<int> order;
    for (std::vector<Placed> &row : rows) {
        std::sort(row.begin(), row.end(), [](const Placed &a, const Placed &b) { return a.left < b.left; });
        for (const Placed &p : row)
            order.push_back(p.index);
    }
    return order;
}

// Running text set in a column: a few lines, wide for their height, most
// of them filling the column (a table's cells are short or ragged).
bool runningText(const std::vector<Placed> &lines)
{
    if (lines.size() < 3)
        return false;
    float left = 1e9f, right = -1e9f;
    std::vector<float> heights;
    for (const Placed &p : lines) {
        left = std::min(left, p.left);
        right = std::max(right, p.right);
        heights.push_back(p.height);
    }
    const float width = right - left;
    if (width < 8 * median(heights))
        return false;
    const auto full = std::count_if(lines.begin(), lines.end(), [&](const Placed &p) { return p.right - p.left >= 0.7f * width; });
    return 2 * size_t(full) >= lines.size();
}

// `depth`: how many column splits lie above; a page of hundreds of narrow
// columns costs a bounded number of passes.
std::vector<int> ordered(const std::vector<Placed> &lines, int depth = 0)
{
    if (depth >= 6)
        return inRows(lines);
    // Columns of running text are read one after the other, between the
    // lines that span them above and below (a heading, a running foot).
    // The gutter tried is where the fewest lines cross.
    float bestCrossing = 1e9f;
    std::vector<Placed> bestAbove, bestLeft, bestRight, bestBelow;
    for (const Placed &edge : lines) {
        const float gutter = edge.right + 1;
        std::vector<Placed> left, right, crossing;
        for (const Placed &p : lines)
            (p.right < gutter ? left : p.left > gutter ? right : crossing).push_back(p);
        if (left.size() < 3 || right.size() < 3 || crossing.size() >= bestCrossing)
            continue;
        float top = 1e9f, bottom = -1e9f;
        for (const auto *side : {&left, &right})
            for (const Placed &p : *side) {
                top = std::min(top, p.y);
                bottom = std::max(bottom, p.y);
            }
        std::vector<Placed> above, below;
        bool between = false;
        for (const Placed &p : crossing) {
            between = between || (p.y > top && p.y < bottom);
            (p.y <= top ? above : below).push_back(p);
        }
        if (between || !runningText(left) || !runningText(right))
            continue;
        bestCrossing = float(crossing.size());
        bestAbove = std::move(above);
        bestLeft = std::move(left);
        bestRight = std::move(right);
        bestBelow = std::move(below);
    }
    if (bestLeft.empty())
        return inRows(lines);
    std::vector<int> order;
    const std::vector<int> parts[] = {inRows(bestAbove), ordered(bestLeft, depth + 1), ordered(bestRight, depth + 1),
                                      inRows(bestBelow)};
    for (const std::vector<int> &part : parts)
        order.insert(order.end(), part.begin(), part.end());
    return order;
}

} // namespace

std::vector<int> readingOrder(const std::vector<LineOutline> &outlines, float angle)
{
    const cv::Point2f u = unitAt(angle), v(-u.y, u.x);
    std::vector<Placed> lines;
    for (size_t i = 0; i < outlines.size(); ++i)
        lines.push_back(placed(int(i), outlines[i], u, v));
    setSlopes(lines);
    return ordered(lines);
}

LineDirection dominantDirection(const std::vector<Quad> &quads)
{
    double c = 0, s = 0;
    LineDirection direction;
    for (const Quad &q : quads) {
        // Whichever way the corners were ordered, a line runs along its longer side.
        cv::Point2f run = q[1] - q[0], side = q[3] - q[0];
        if (length(side) > length(run))
            std::swap(run, side);
        const float along = length(run), across = length(side);
        if (along < 2 * across)
            continue;
        // Doubled angles: a line and the same line turned half round agree.
        const double theta = 2 * std::atan2(double(run.y), double(run.x));
        c += along * std::cos(theta);
        s += along * std::sin(theta);
        ++direction.lines;
    }
    if (direction.lines == 0)
        return direction;
    direction.angle = float(std::atan2(s, c) / 2 * 180 / Pi);
    if (direction.angle <= -90)
        direction.angle += 180;
    return direction;
}

} // namespace ocrserver
