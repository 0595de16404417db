// SPDX-License-Identifier: MIT
#include "engine/linemodelreader.h"

#include "engine/orientation.h"
#include "engine/textlines.h"

#include <leptonica/allheaders.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <fstream>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>

namespace ocrserver {

namespace {

constexpr int LineHeight = 48;         // the recogniser's and the classifier's input height
constexpr int ClassifierWidth = 192;
// The recogniser reads each line at its own width, padded with blank by
// LinePadding of it (without, the ends of Latin lines read worse: 0.120
// against 0.099 on the English camera photos), rounded up to a step of
// LineWidthStep pixels: a new width costs the net a new set of buffers.
constexpr float LinePadding = 0.1f;
constexpr int LineWidthStep = 32;
constexpr int MaxLineWidth = 1920; // longer lines are squeezed to this
constexpr int DetectorStride = 32;     // the detector's input sides are multiples of this
constexpr int DetectorMaxSide = 1280;  // larger pictures are scaled down to this for detection
constexpr int DetectorMinSide = 960;   // smaller ones are scaled up, so that small text is found
constexpr float StraightenFrom = 20;   // degrees; lines leaning less are cropped as they lie
constexpr float UpsideDownFrom = 0.9f; // the classifier's confidence before a line is turned
constexpr float DropBelow = 0.5f;      // mean symbol probability of a line worth returning
// Larger pictures are read scaled down to this: at 48 pixels a line, text
// needs no more, and an 8192-pixel square would cost 192 MiB as BGR alone.
constexpr int WorkingMaxSide = 4096;

struct AffineMaps
{
    cv::Matx23f toWorking = cv::Matx23f(1, 0, 0, 0, 1, 0); // picture as sent -> picture as read
    cv::Matx23f toSent = cv::Matx23f(1, 0, 0, 0, 1, 0);
};

cv::Point2f apply(const cv::Matx23f &m, cv::Point2f p)
{
    return {m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2), m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)};
}

// `first`, then `second`.
cv::Matx23f then(const cv::Matx23f &first, const cv::Matx23f &second)
{
    const cv::Matx33f a(first(0, 0), first(0, 1), first(0, 2), first(1, 0), first(1, 1), first(1, 2), 0, 0, 1);
    const cv::Matx33f b(second(0, 0), second(0, 1), second(0, 2), second(1, 0), second(1, 1), second(1, 2), 0, 0, 1);
    const cv::Matx33f c = b * a;
    return {c(0, 0), c(0, 1), c(0, 2), c(1, 0), c(1, 1), c(1, 2)};
}

cv::Matx23f inverted(const cv::Matx23f &m)
{
    cv::Matx23f out;
    cv::invertAffineTransform(m, out);
    return out;
}

float distance(cv::Point2f a, cv::Point2f b)
{
    return std::hypot(a.x - b.x, a.y - b.y);
}

// The page as OpenCV's 8-bit BGR, whatever depth Leptonica decoded it at.
cv::Mat bgrOf(Pix *page)
{
    // A colour page is read in place: a copy of an 8192-pixel square is 256 MiB.
    PixHandle converted(pixGetDepth(page) == 32 ? nullptr : pixConvertTo32(page));
    Pix *rgb = converted ? converted.get() : page;
    if (pixGetDepth(rgb) != 32)
        return {};
    const int width = int(pixGetWidth(rgb)), height = int(pixGetHeight(rgb));
    const int wordsPerLine = int(pixGetWpl(rgb));
    const l_uint32 *data = pixGetData(rgb);
    cv::Mat bgr(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
        const l_uint32 *line = data + y * wordsPerLine;
        auto *out = bgr.ptr<cv::Vec3b>(y);
        for (int x = 0; x < width; ++x) {
            const l_uint32 v = line[x];
            out[x] = cv::Vec3b(uchar(v >> L_BLUE_SHIFT), uchar(v >> L_GREEN_SHIFT), uchar(v >> L_RED_SHIFT));
        }
    }
    return bgr;
}

// The picture turned counter-clockwise by `degrees` on a canvas that holds
// all of it; the turn is added to the maps.
cv::Mat turned(const cv::Mat &image, float degrees, AffineMaps *maps)
{
    const cv::Point2f centre(float(image.cols) / 2, float(image.rows) / 2);
    cv::Mat m = cv::getRotationMatrix2D(centre, double(degrees), 1.0);
    const cv::Rect2f bounds = cv::RotatedRect(centre, cv::Size2f(image.size()), -degrees).boundingRect2f();
    m.at<double>(0, 2) += bounds.width / 2 - centre.x;
    m.at<double>(1, 2) += bounds.height / 2 - centre.y;
    cv::Mat out;
    cv::warpAffine(image, out, m, cv::Size(int(std::ceil(bounds.width)), int(std::ceil(bounds.height))),
                   cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    maps->toWorking = then(maps->toWorking, cv::Matx23f(m));
    maps->toSent = inverted(maps->toWorking);
    return out;
}

std::vector<std::string> readDictionary(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<std::string> entries;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        entries.push_back(line);
    }
    return entries;
}

std::vector<uchar> readModel(const std::string &path)
{
    // In blocks, not byte by byte (ten times slower at start-up), and to its
    // end whatever kind of file it is.
    std::ifstream in(path, std::ios::binary);
    std::vector<uchar> bytes;
    constexpr size_t Block = 1 << 20;
    while (in) {
        const size_t used = bytes.size();
        bytes.resize(used + Block);
        in.read(reinterpret_cast<char *>(bytes.data() + used), std::streamsize(Block));
        bytes.resize(used + size_t(in.gcount()));
    }
    if (!in.eof() || bytes.empty())
        throw std::runtime_error("cannot read the model " + path);
    return bytes;
}

cv::dnn::Net netFrom(const std::vector<uchar> &model, const std::string &path)
{
    try {
        return cv::dnn::readNetFromONNX(model);
    } catch (const cv::Exception &e) {
        throw std::runtime_error("cannot load the model " + path + ": " + e.what());
    }
}

// A line's crop laid straight along its outline, as tall as the line; a
// line standing on end (a column of Chinese, say) is laid down, its top to
// the left.
cv::Mat cropLine(const cv::Mat &image, const LineStrip &strip, bool *laidDown)
{
    cv::Mat crop = strip.cut(image);
    *laidDown = strip.height() >= 1.5 * strip.width();
    if (*laidDown)
        cv::rotate(crop, crop, cv::ROTATE_90_COUNTERCLOCKWISE);
    return crop;
}

// The crop's width when scaled to the models' line height.
int scaledWidth(const cv::Mat &crop)
{
    return std::max(1, int(std::ceil(double(LineHeight) * crop.cols / std::max(1, crop.rows))));
}

// The crop as the line models take it: LineHeight tall, values in [-1, 1],
// padded with 0 to `width`.
cv::Mat lineBlob(const cv::Mat &crop, int width)
{
    cv::Mat resized;
    cv::resize(crop, resized, cv::Size(std::min(width, scaledWidth(crop)), LineHeight), 0, 0, cv::INTER_LINEAR);
    cv::Mat values;
    resized.convertTo(values, CV_32F, 1.0 / 127.5, -1.0);
    cv::copyMakeBorder(values, values, 0, 0, 0, width - values.cols, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    return cv::dnn::blobFromImage(values);
}

// Each row's scores made probabilities, in place. The prepared recogniser
// leaves this step out: OpenCV's layer takes five times as long.
void softmaxRows(const cv::Mat &scores)
{
    for (int r = 0; r < scores.rows; ++r) {
        cv::Mat row = scores.row(r);
        double top = 0;
        cv::minMaxLoc(row, nullptr, &top);
        cv::subtract(row, cv::Scalar::all(top), row);
        cv::exp(row, row);
        row *= 1.0 / cv::sum(row)[0];
    }
}

// The threads worth starting for `count` indexes.
int threadsFor(std::size_t count, int threads, const ReadingStop &stop)
{
    return int(std::min<std::size_t>(std::size_t(stop.threadsAllowed(std::max(1, threads))), count));
}

} // namespace

struct LineModelReader::Line
{
    Quad quad; // in the picture as read
    LineOutline outline;          // likewise
    std::optional<LineStrip> strip; // the outline as cut
    bool turnedOver = false; // the classifier's answer, before the page's turn
    float confidence = 0;    // and how sure it was
    bool upsideDown = false; // relative to the page
    bool laidDown = false;   // the crop was turned a quarter
    int cropWidth = 0, cropHeight = 0; // after laying down
    int scaledWidth = 0;               // the crop's width at LineHeight, as recognised
    int inputWidth = 0;                // the recogniser's input width
    int steps = 0;                     // its time steps
    std::vector<DecodedSymbol> symbols;
};

void forEachIndex(std::size_t count, int threads, const ReadingStop &stop,
                  const std::function<void(std::size_t, int)> &body)
{
    threads = threadsFor(count, threads, stop);
    if (threads <= 1) {
        for (std::size_t i = 0; i < count && !stop.now(); ++i)
            body(i, 0);
        return;
    }
    // Lines, not layers, go to the threads: a line's layers are too small to
    // share out well. OpenCV runs the layers inside on the thread that calls.
    // A thread the pool takes back leaves before it claims another index;
    // thread 0 always stays, so none is left out.
    std::atomic<std::size_t> next{0};
    std::mutex failing;
    std::exception_ptr failure;
    const auto mayGoOn = [&](int t) { return !stop.now() && (t == 0 || t < stop.threadsAllowed(threads)); };
    cv::parallel_for_(cv::Range(0, threads), [&](const cv::Range &range) {
        for (int t = range.start; t < range.end; ++t) {
            try {
                for (std::size_t i = 0; mayGoOn(t) && (i = next++) < count;)
                    body(i, t);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failing);
                if (!failure)
                    failure = std::current_exception();
                next = count;
            }
        }
    }, threads);
    if (failure)
        std::rethrow_exception(failure);
}

LineModelReader::LineModelReader(const std::string &folder)
    : m_detectorModel(readModel(folder + "/det.onnx"))
    , m_detector(netFrom(m_detectorModel, folder + "/det.onnx"))
    , m_classifierModel(readModel(folder + "/cls.onnx"))
    , m_recogniserModel(readModel(folder + "/rec.onnx"))
    , m_lineNets{lineNets(folder)} // made now, so that a broken model is found at start-up
    , m_dictionary(readDictionary(folder + "/keys.txt"))
{
}

LineModelReader::LineNets LineModelReader::lineNets(const std::string &folder) const
{
    return {netFrom(m_classifierModel, folder + "/cls.onnx"), netFrom(m_recogniserModel, folder + "/rec.onnx")};
}

void LineModelReader::useThreads(int threads)
{
    if (cv::getNumThreads() != threads)
        cv::setNumThreads(threads);
}

std::vector<LineModelReader::Line> LineModelReader::detect(const cv::Mat &image, float angle)
{
    const int longSide = std::max(image.cols, image.rows);
    const double scale = longSide > DetectorMaxSide ? double(DetectorMaxSide) / longSide
            : longSide < DetectorMinSide            ? double(DetectorMinSide) / longSide
                                                    : 1.0;
    const auto side = [scale](int pixels) {
        return std::max(DetectorStride, int(std::lround(pixels * scale / DetectorStride)) * DetectorStride);
    };
    const cv::Size size(side(image.cols), side(image.rows));
    cv::Mat input;
    cv::resize(image, input, size, 0, 0, cv::INTER_LINEAR);
    input.convertTo(input, CV_32F, 1.0 / 255);
    // The detector learnt on ImageNet's normalisation, applied to BGR pictures.
    cv::subtract(input, cv::Scalar(0.485, 0.456, 0.406), input);
    cv::divide(input, cv::Scalar(0.229, 0.224, 0.225), input);
    // OpenCV 4.6 keeps some layers' output sizes from the first input a net
    // saw: a picture of another size gets a net of its own.
    if (size != m_detectorInput) {
        m_detector = netFrom(m_detectorModel, "det.onnx");
        m_detectorInput = size;
    }
    m_detector.setInput(cv::dnn::blobFromImage(input));
    cv::Mat out = m_detector.forward();
    const cv::Mat probability(size.height, size.width, CV_32F, out.ptr<float>());

    const float sx = float(image.cols) / float(size.width), sy = float(image.rows) / float(size.height);
    std::vector<Line> lines;
    for (const DetectedLine &found : linesInProbabilityMap(probability, {}, angle)) {
        const auto toImage = [&](cv::Point2f p) {
            return cv::Point2f(std::clamp(p.x * sx, 0.0f, float(image.cols - 1)),
                               std::clamp(p.y * sy, 0.0f, float(image.rows - 1)));
        };
        Line line;
        std::transform(found.quad.begin(), found.quad.end(), line.quad.begin(), toImage);
        for (size_t i = 0; i < found.outline.top.size(); ++i) {
            line.outline.top.push_back(toImage(found.outline.top[i]));
            line.outline.bottom.push_back(toImage(found.outline.bottom[i]));
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

void LineModelReader::forEachLine(size_t count, int threads, const ReadingStop &stop,
                                  const std::function<void(size_t, LineNets &)> &body)
{
    threads = threadsFor(count, threads, stop);
    while (m_lineNets.size() < size_t(threads))
        m_lineNets.push_back(lineNets("."));
    forEachIndex(count, threads, stop, [&](size_t i, int t) { body(i, m_lineNets[size_t(t)]); });
}

bool LineModelReader::classify(LineNets &nets, const cv::Mat &crop, float *confidence)
{
    nets.classifier.setInput(lineBlob(crop, ClassifierWidth));
    const cv::Mat out = nets.classifier.forward();
    const float upright = out.ptr<float>()[0], turned = out.ptr<float>()[1];
    *confidence = std::max(upright, turned);
    return turned > upright;
}

std::vector<DecodedSymbol> LineModelReader::recognisePiece(LineNets &nets, const cv::Mat &crop, int *inputWidth,
                                                           int *steps) const
{
    const int padded = int(std::ceil(float(scaledWidth(crop)) * (1 + LinePadding)));
    *inputWidth = std::min(MaxLineWidth, (padded + LineWidthStep - 1) / LineWidthStep * LineWidthStep);
    nets.recogniser.setInput(lineBlob(crop, *inputWidth));
    cv::Mat out = nets.recogniser.forward(); // 1 x steps x classes
    *steps = out.size[1];
    const cv::Mat scores(out.size[1], out.size[2], CV_32F, out.ptr<float>());
    softmaxRows(scores);
    return decodeCtc(scores, m_dictionary);
}

void LineModelReader::recognise(LineNets &nets, const cv::Mat &crop, Line &line) const
{
    line.cropWidth = crop.cols;
    line.cropHeight = crop.rows;
    const int wanted = scaledWidth(crop);
    cv::Mat grey, scaled;
    cv::cvtColor(crop, grey, cv::COLOR_BGR2GRAY);
    // Gaps measured at the recogniser's scale, where a time step is a whole number of pixels.
    cv::resize(grey, scaled, cv::Size(wanted, LineHeight), 0, 0, cv::INTER_AREA);
    // A line wider than the recogniser's widest input is read in pieces
    // cut at gaps in its ink, each at its own width with its blank; their
    // time steps are laid end to end, as if one run had read the whole
    // line. One that fits with less blank is read whole.
    const int widestPiece = int(float(MaxLineWidth) / (1 + LinePadding)) / LineWidthStep * LineWidthStep;
    std::vector<int> cuts = wanted > MaxLineWidth ? cutsAtInkGaps(scaled, widestPiece) : std::vector<int>();
    cuts.insert(cuts.begin(), 0);
    cuts.push_back(wanted);
    line.symbols.clear();
    float stepWidth = 0;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        const int from = int(std::lround(double(cuts[i]) * crop.cols / wanted));
        const int to = std::max(from + 1, int(std::lround(double(cuts[i + 1]) * crop.cols / wanted)));
        int inputWidth = 0, steps = 0;
        std::vector<DecodedSymbol> piece
                = recognisePiece(nets, crop.colRange(from, std::min(to, crop.cols)), &inputWidth, &steps);
        if (i == 0) {
            stepWidth = float(inputWidth) / float(std::max(1, steps));
            line.inputWidth = inputWidth;
            line.steps = steps;
        }
        const int offset = int(std::lround(float(cuts[i]) / std::max(stepWidth, 1.0f)));
        for (DecodedSymbol &symbol : piece) {
            symbol.firstStep += offset;
            symbol.lastStep += offset;
            line.symbols.push_back(std::move(symbol));
        }
    }
    if (cuts.size() > 2) {
        line.steps = int(std::ceil(float(wanted) / stepWidth));
        line.inputWidth = int(std::lround(float(line.steps) * stepWidth));
    }
    line.scaledWidth = std::min(wanted, line.inputWidth);
    spaceWords(line.symbols, scaled.colRange(0, line.scaledWidth), stepWidth);
}

void LineModelReader::read(Pix *page, const RecognitionJob &job, const ReadingStop &stop, Recognition *result)
{
    using Outcome = Recognition::Outcome;
    const cv::Size sentSize(int(pixGetWidth(page)), int(pixGetHeight(page)));
    AffineMaps maps;
    PixHandle scaled;
    const int longest = std::max(sentSize.width, sentSize.height);
    if (longest > WorkingMaxSide) {
        const float f = float(WorkingMaxSide) / float(longest);
        scaled.reset(pixScale(page, f, f));
        maps.toWorking = cv::Matx23f(float(pixGetWidth(scaled.get())) / float(sentSize.width), 0, 0, 0,
                                     float(pixGetHeight(scaled.get())) / float(sentSize.height), 0);
        maps.toSent = inverted(maps.toWorking);
    }
    const cv::Mat sent = bgrOf(scaled ? scaled.get() : page);
    scaled.reset();
    if (sent.empty()) {
        result->outcome = Outcome::Undecodable;
        return;
    }
    const auto stopped = [&] {
        if (!stop.now())
            return false;
        result->outcome = stop.interrupted() ? Outcome::Cancelled : Outcome::TimedOut;
        result->lines.clear();
        return true;
    };

    // Find the lines; a picture turned far from upright is turned back and
    // its lines found again, as the detector finds level lines best.
    cv::Mat image = sent;
    std::vector<Line> lines = detect(image, 0);
    auto quadsOf = [](const std::vector<Line> &ls) {
        std::vector<Quad> quads;
        for (const Line &l : ls)
            quads.push_back(l.quad);
        return quads;
    };
    float turn = 0;
    LineDirection direction = dominantDirection(quadsOf(lines));
    if (direction.lines > 0 && std::abs(direction.angle) >= StraightenFrom) {
        turn = direction.angle;
        if (stopped())
            return;
        image = turned(sent, turn, &maps);
        useThreads(stop.threadsAllowed(job.threads));
        lines = detect(image, 0);
        direction = dominantDirection(quadsOf(lines));
    }
    const float lean = direction.lines > 0 ? direction.angle : 0;
    if (direction.lines > 0 && std::abs(lean) > 1) {
        for (Line &line : lines) { // corners ordered along the page's own lines; a bent line's follow it already
            if (line.outline.top.size() > 2)
                continue;
            line.quad = orderedCorners(cv::minAreaRect(std::vector<cv::Point2f>(line.quad.begin(), line.quad.end())), lean);
            line.outline = outlineOf(line.quad);
        }
    }

    // Which way up each line lies; a page whose lines mostly read upside
    // down is turned half round.
    std::vector<cv::Mat> crops(lines.size());
    forEachLine(lines.size(), job.threads, stop, [&](size_t i, LineNets &nets) {
        lines[i].strip.emplace(lines[i].outline);
        crops[i] = cropLine(image, *lines[i].strip, &lines[i].laidDown);
        lines[i].turnedOver = classify(nets, crops[i], &lines[i].confidence);
    });
    if (stopped())
        return;
    float upsideDownWeight = 0, totalWeight = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const float weight = float(crops[i].cols);
        totalWeight += weight;
        if (lines[i].turnedOver)
            upsideDownWeight += weight;
    }
    const bool pageUpsideDown = totalWeight > 0 && upsideDownWeight > totalWeight / 2;
    if (pageUpsideDown) {
        turn += 180;
        const cv::Matx23f half = cv::getRotationMatrix2D(
                cv::Point2f(float(image.cols - 1) / 2, float(image.rows - 1) / 2), 180, 1);
        cv::Mat halfTurned; // a new buffer: image may still be the picture as sent
        cv::rotate(image, halfTurned, cv::ROTATE_180);
        image = halfTurned;
        maps.toWorking = then(maps.toWorking, half);
        maps.toSent = inverted(maps.toWorking);
        for (size_t i = 0; i < lines.size(); ++i) {
            Quad q;
            for (size_t k = 0; k < 4; ++k) // the old bottom right is the new top left
                q[k] = apply(half, lines[i].quad[(k + 2) % 4]);
            lines[i].quad = q;
            // The old lower edge, from its end, is the new upper edge.
            LineOutline &o = lines[i].outline;
            std::swap(o.top, o.bottom);
            for (std::vector<cv::Point2f> *edge : {&o.top, &o.bottom}) {
                std::reverse(edge->begin(), edge->end());
                for (cv::Point2f &p : *edge)
                    p = apply(half, p);
            }
            lines[i].strip.emplace(o);
            crops[i] = cropLine(image, *lines[i].strip, &lines[i].laidDown);
        }
    }
    for (Line &line : lines)
        line.upsideDown = line.turnedOver != pageUpsideDown && line.confidence >= UpsideDownFrom;

    // Recognised narrowest first, so that the recogniser changes its width
    // once per width rather than once per line.
    std::vector<int> byWidth(lines.size());
    std::iota(byWidth.begin(), byWidth.end(), 0);
    std::stable_sort(byWidth.begin(), byWidth.end(),
                     [&](int a, int b) { return scaledWidth(crops[size_t(a)]) < scaledWidth(crops[size_t(b)]); });
    forEachLine(byWidth.size(), job.threads, stop, [&](size_t i, LineNets &nets) {
        Line &line = lines[size_t(byWidth[i])];
        cv::Mat &crop = crops[size_t(byWidth[i])];
        if (line.upsideDown)
            cv::rotate(crop, crop, cv::ROTATE_180);
        recognise(nets, crop, line);
    });
    if (stopped())
        return;

    // Lines in reading order; lines upside down on an upright page (labels
    // printed the other way round) come last. Only the lines worth
    // returning are placed: a speck read as nothing must not keep two
    // halves of a row apart.
    std::vector<int> kept;
    std::vector<LineOutline> outlines;
    for (size_t i = 0; i < lines.size(); ++i) {
        double sum = 0;
        int counted = 0;
        for (const DecodedSymbol &symbol : lines[i].symbols) {
            if (symbol.text != " ") {
                sum += symbol.probability;
                ++counted;
            }
        }
        if (counted == 0 || sum / counted < DropBelow)
            continue;
        kept.push_back(int(i));
        outlines.push_back(lines[i].outline);
    }
    std::vector<int> order = readingOrder(outlines, lean);
    for (int &index : order)
        index = kept[size_t(index)];
    std::stable_partition(order.begin(), order.end(), [&](int i) { return !lines[size_t(i)].upsideDown; });
    int paragraph = -1;
    const Line *previous = nullptr;
    for (int index : order) {
        const Line &line = lines[size_t(index)];
        RecognizedLine out;
        std::vector<double> probabilities;
        for (size_t s = 0; s < line.symbols.size(); ++s) {
            const DecodedSymbol &symbol = line.symbols[s];
            out.text += symbol.text;
            if (symbol.text == " ")
                continue;
            probabilities.push_back(symbol.probability);
            // A symbol reaches halfway to its neighbours, in the crop's pixels.
            const float step = float(line.inputWidth) / float(std::max(1, line.steps));
            const float toCrop = float(line.cropWidth) / float(std::max(1, line.scaledWidth));
            const float start = float(symbol.firstStep) * step, end = float(symbol.lastStep + 1) * step;
            const float left = s > 0 ? (float(line.symbols[s - 1].lastStep + 1) * step + start) / 2 : start - step;
            const float right = s + 1 < line.symbols.size() ? (end + float(line.symbols[s + 1].firstStep) * step) / 2
                                                             : end + step;
            out.chars.push_back({symbol.text, boxAsSent(std::max(0.0f, left * toCrop),
                                                        std::min(float(line.cropWidth), right * toCrop), line,
                                                        maps.toSent, sentSize)});
        }
        setConfidences(out, probabilities);

        // The box holds the line's quadrilateral too: a bent line's strip
        // keeps within it, its corners do not.
        out.box = boxAsSent(0, float(line.cropWidth), line, maps.toSent, sentSize);
        int right = out.box.left + out.box.width, bottom = out.box.top + out.box.height;
        for (const cv::Point2f &corner : line.quad) {
            const cv::Point2f p = apply(maps.toSent, corner);
            const Point vertex{int(std::lround(p.x)), int(std::lround(p.y))};
            out.vertexes.push_back(vertex);
            out.box.left = std::clamp(std::min(out.box.left, vertex.x), 0, sentSize.width);
            out.box.top = std::clamp(std::min(out.box.top, vertex.y), 0, sentSize.height);
            right = std::clamp(std::max(right, vertex.x), 0, sentSize.width);
            bottom = std::clamp(std::max(bottom, vertex.y), 0, sentSize.height);
        }
        out.box.width = right - out.box.left;
        out.box.height = bottom - out.box.top;
        if (line.upsideDown) // its own top left is the page's bottom right
            std::rotate(out.vertexes.begin(), out.vertexes.begin() + 2, out.vertexes.end());
        for (RecognizedChar &c : out.chars)
            c.box = within(c.box, out.box);
        // A new paragraph where a gap wider than a line opens below the last one.
        const float height = distance(line.quad[0], line.quad[3]);
        if (!previous || previous->upsideDown != line.upsideDown
            || (line.quad[0].y - previous->quad[3].y) > std::max(height, distance(previous->quad[0], previous->quad[3])))
            ++paragraph;
        out.paragraph = paragraph;
        previous = &line;
        result->lines.push_back(std::move(out));
    }
    result->outcome = Outcome::Done;
    if (job.detectDirection) {
        const int quarters = int(std::lround(turn / 90));
        result->direction = ((-quarters) % 4 + 4) % 4;
    }
}

Box LineModelReader::boxAsSent(float left, float right, const Line &line, const cv::Matx23f &toSent, cv::Size sent)
{
    // Corners in the crop as recognised, back through its half turn (a line
    // upside down on its page) and its quarter turn (a line laid down) to the
    // crop as cut, then into the picture.
    const float w = float(line.cropWidth), h = float(line.cropHeight);
    const cv::Point2f corners[4] = {{left, 0}, {right, 0}, {right, h}, {left, h}};
    float x0 = float(sent.width), y0 = float(sent.height), x1 = 0, y1 = 0;
    for (cv::Point2f p : corners) {
        if (line.upsideDown)
            p = {w - p.x, h - p.y};
        if (line.laidDown)
            p = {h - p.y, p.x};
        const cv::Point2f s = apply(toSent, line.strip->toPicture(p));
        x0 = std::min(x0, s.x);
        y0 = std::min(y0, s.y);
        x1 = std::max(x1, s.x);
        y1 = std::max(y1, s.y);
    }
    const int x = std::clamp(int(std::floor(x0)), 0, sent.width), y = std::clamp(int(std::floor(y0)), 0, sent.height);
    const int right_ = std::clamp(int(std::ceil(x1)), x, sent.width);
    const int bottom = std::clamp(int(std::ceil(y1)), y, sent.height);
    return {x, y, right_ - x, bottom - y};
}

} // namespace ocrserver
