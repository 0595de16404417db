// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_LINEMODELREADER_H
#define VIRELTO_SERVER_LINEMODELREADER_H

#include "engine/pagereader.h"
#include "engine/textlines.h"

#include <opencv2/dnn.hpp>

#include <functional>
#include <string>
#include <vector>

namespace ocrserver {

// Runs body(index, thread) once for every index below count, on up to
// `threads` threads numbered from 0, until `stop`; a thread the pool takes
// back leaves after its index. Rethrows the first exception a body throws.
void forEachIndex(std::size_t count, int threads, const ReadingStop &stop,
                  const std::function<void(std::size_t, int)> &body);

// Camera pictures: a text detector that finds lines anywhere and at any
// angle, a classifier that tells upright lines from upside-down ones, and a
// recogniser that reads each line's crop (Chinese and English), all run on
// OpenCV's DNN module from the prepared model files.
class LineModelReader : public PageReader
{
public:
    // Loads every model in `folder` (det.onnx, cls.onnx, rec.onnx,
    // keys.txt); throws std::runtime_error naming what is missing or broken.
    explicit LineModelReader(const std::string &folder);

    // How many threads OpenCV's layers and the page's lines share; one runs
    // everything on the calling thread. Process-wide.
    static void useThreads(int threads);

    void read(Pix *page, const RecognitionJob &job, const ReadingStop &stop, Recognition *result) override;

private:
    struct Line;
    // A net serves one thread at a time: each thread reading lines has its own.
    struct LineNets
    {
        cv::dnn::Net classifier;
        cv::dnn::Net recogniser;
    };
    LineNets lineNets(const std::string &folder) const; // from the models in memory; folder names them
    std::vector<Line> detect(const cv::Mat &image, float angle);
    // Runs body(index, nets) for every index below count, on up to
    // `threads` threads, until `stop`.
    void forEachLine(size_t count, int threads, const ReadingStop &stop,
                     const std::function<void(size_t, LineNets &)> &body);
    // Whether the crop reads upside down, and how sure the classifier is.
    static bool classify(LineNets &nets, const cv::Mat &crop, float *confidence);
    void recognise(LineNets &nets, const cv::Mat &crop, Line &line) const;
    // One run of the recogniser over a crop no wider than its widest input.
    std::vector<DecodedSymbol> recognisePiece(LineNets &nets, const cv::Mat &crop, int *inputWidth, int *steps) const;
    // Part of a line's crop (x from left to right, its full height) as a
    // box in the picture as sent.
    static Box boxAsSent(float left, float right, const Line &line, const cv::Matx23f &toSent, cv::Size sent);

    std::vector<uchar> m_detectorModel;
    cv::dnn::Net m_detector;
    cv::Size m_detectorInput; // the input size m_detector was made for
    std::vector<uchar> m_classifierModel;
    std::vector<uchar> m_recogniserModel;
    std::vector<LineNets> m_lineNets; // made as more threads are given
    std::vector<std::string> m_dictionary;
};

} // namespace ocrserver

#endif
