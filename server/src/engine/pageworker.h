// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_PAGEWORKER_H
#define VIRELTO_SERVER_PAGEWORKER_H

#include "engine/ocrengine.h"

#include <memory>
#include <string>
#include <vector>

namespace ocrserver {

class LineModelReader;
class TesseractReader;
struct ReadingStop;

// One page at a time, from the bytes sent to the lines read: decoding,
// PDF rendering and the readers. A worker process holds one; it need not be
// thread-safe.
class PageWorker
{
public:
    // Throws std::runtime_error when the language or the line models
    // cannot be loaded.
    PageWorker(const std::string &language, const EngineOptions &options);
    ~PageWorker();
    PageWorker(const PageWorker &) = delete;
    PageWorker &operator=(const PageWorker &) = delete;

    std::vector<std::string> installedLanguages();

    // Once warmed up: where the line models read the pictures, Tesseract's
    // models (a hundred MiB) are let go until a page needs them.
    void settle();

    Recognition read(const RecognitionJob &job, const ReadingStop &stop);

private:
    const EngineOptions m_options;
    std::unique_ptr<TesseractReader> m_tesseract;
    std::unique_ptr<LineModelReader> m_lineModels; // null when not used
};

} // namespace ocrserver

#endif
