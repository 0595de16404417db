// SPDX-License-Identifier: MIT
#include "engine/textlines.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cctype>
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

// Mean of the map over the region's own pixels, not its bounding box: a
// slanted line's box holds much paper.
float meanInside(const cv::Mat &probability, const std::vector<cv::Point> &contour)
{
    const cv::Rect bounds = cv::boundingRect(contour) & cv::Rect(0, 0, probability.cols, probability.rows);
    if (bounds.empty())
        return 0;
    cv::Mat mask = cv::Mat::zeros(bounds.size(), CV_8U);
    std::vector<cv::Point> shifted(contour.size());
    std::transform(contour.begin(), contour.end(), shifted.begin(), [&](cv::Point p) { return p - bounds.tl(); });
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{shifted}, cv::Scalar(1));
    return float(cv::mean(probability(bounds), mask)[0]);
}

} // namespace

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
        lines.push_back({orderedCorners(line, angle), score});
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

bool latin(const DecodedSymbol &s)
{
    return s.text.size() == 1 && std::isgraph(static_cast<unsigned char>(s.text[0]));
}

} // namespace

void spaceWords(std::vector<DecodedSymbol> &symbols, const cv::Mat &grey, float stepWidth)
{
    CV_Assert(grey.type() == CV_8U);
    if (symbols.size() < 2 || grey.cols < 4 || grey.rows < 4)
        return;
    cv::Mat ink;
    cv::threshold(grey, ink, 0, 1, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
    if (size_t(cv::countNonZero(ink)) * 2 > grey.total()) // light text on a dark ground
        ink = 1 - ink;
    // The band where the letters stand, and how much ink each column of it holds.
    cv::Mat rows, columns;
    cv::reduce(ink, rows, 1, cv::REDUCE_SUM, CV_32S);
    int top = 0, bottom = ink.rows - 1;
    const int minRowInk = std::max(1, ink.cols / 50);
    while (top < bottom && rows.at<int>(top) < minRowInk)
        ++top;
    while (bottom > top && rows.at<int>(bottom) < minRowInk)
        --bottom;
    const int inkHeight = bottom - top + 1;
    if (inkHeight < 4)
        return;
    cv::reduce(ink.rowRange(top, bottom + 1), columns, 0, cv::REDUCE_SUM, CV_32S);

    std::vector<cv::Range> gaps;
    int first = 0;
    while (first < ink.cols && columns.at<int>(first) == 0)
        ++first;
    for (int x = first; x < ink.cols;) {
        if (columns.at<int>(x) != 0) {
            ++x;
            continue;
        }
        const int start = x;
        while (x < ink.cols && columns.at<int>(x) == 0)
            ++x;
        if (x < ink.cols) // not the margin after the last letter
            gaps.push_back({start, x});
    }
    if (gaps.empty())
        return;
    std::vector<int> widths;
    for (const cv::Range &g : gaps)
        widths.push_back(g.size());
    std::nth_element(widths.begin(), widths.begin() + long(widths.size() / 2), widths.end());
    const float letterGap = float(widths[widths.size() / 2]);
    const float wordGap = std::max(0.25f * float(inkHeight), 2.0f * letterGap);

    const auto middle = [stepWidth](const DecodedSymbol &s) { return float(s.firstStep + s.lastStep + 1) / 2 * stepWidth; };
    std::vector<DecodedSymbol> spaced;
    for (size_t i = 0; i < symbols.size(); ++i) {
        if (i > 0 && latin(spaced.back()) && latin(symbols[i])) {
            const float from = middle(spaced.back()), to = middle(symbols[i]);
            for (const cv::Range &g : gaps) {
                if (float(g.size()) >= wordGap && float(g.start) >= from && float(g.end) <= to) {
                    spaced.push_back({" ", symbols[i].firstStep, symbols[i].firstStep, symbols[i].probability});
                    break;
                }
            }
        }
        spaced.push_back(std::move(symbols[i]));
    }
    symbols = std::move(spaced);
}

std::vector<int> readingOrder(const std::vector<Quad> &quads, float angle)
{
    // Coordinates along the lines (x) and across them (y).
    const cv::Point2f u = unitAt(angle), v(-u.y, u.x);
    struct Placed
    {
        int index;
        float x, y, height;
    };
    std::vector<Placed> placed;
    for (size_t i = 0; i < quads.size(); ++i) {
        const Quad &q = quads[i];
        const cv::Point2f centre = (q[0] + q[1] + q[2] + q[3]) / 4;
        const float height = (length(q[3] - q[0]) + length(q[2] - q[1])) / 2;
        placed.push_back({int(i), std::min(q[0].dot(u), q[3].dot(u)), centre.dot(v), std::max(height, 1.0f)});
    }
    std::sort(placed.begin(), placed.end(), [](const Placed &a, const Placed &b) { return a.y < b.y; });

    struct Row
    {
        std::vector<Placed> lines;
        float y = 0, height = 0; // of the row's first line
    };
    std::vector<Row> rows;
    for (const Placed &p : placed) {
        Row *home = nullptr;
        // Only the last rows can still take a line: they are sorted by height on the page.
        for (auto row = rows.rbegin(); row != rows.rend() && row - rows.rbegin() < 4; ++row) {
            if (std::abs(p.y - row->y) <= 0.5f * std::min(p.height, row->height)) {
                home = &*row;
                break;
            }
        }
        if (!home) {
            rows.push_back({{}, p.y, p.height});
            home = &rows.back();
        }
        home->lines.push_back(p);
    }
    std::vector<int> order;
    for (Row &row : rows) {
        std::sort(row.lines.begin(), row.lines.end(), [](const Placed &a, const Placed &b) { return a.x < b.x; });
        for (const Placed &p : row.lines)
            order.push_back(p.index);
    }
    return order;
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
