// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_OCRENGINE_H
#define VIRELTO_SERVER_OCRENGINE_H

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tesseract {
class TessBaseAPI;
}

namespace ocrserver {

struct RecognizedLine
{
    std::string text;
    int paragraph = 0;
    // Word confidences of the line, scaled to 0..1.
    double average = 0;
    double min = 0;
    double variance = 0;
};

// A fixed set of Tesseract instances, initialised once at start-up; each
// request borrows one for the duration of its recognition, so concurrency
// is bounded by the number of workers.
class OcrEngine
{
public:
    // Throws std::runtime_error when the language cannot be loaded.
    OcrEngine(const std::string &language, int workers);
    ~OcrEngine();

    bool isInstalled(const std::string &language) const;
    const std::string &defaultLanguage() const { return m_defaultLanguage; }
    int workers() const { return int(m_workers.size()); }

    // Decodes a PNG, JPEG or BMP and returns its text lines in reading order,
    // without empty lines. Throws std::invalid_argument for undecodable
    // data and std::runtime_error when recognition fails.
    std::vector<RecognizedLine> recognize(std::string_view image, const std::string &language);

private:
    struct Worker;
    Worker *acquire();
    void release(Worker *worker);
    static std::unique_ptr<tesseract::TessBaseAPI> createApi(const std::string &language);

    std::string m_defaultLanguage;
    std::set<std::string> m_installed;
    std::vector<std::unique_ptr<Worker>> m_workers;
    std::vector<Worker *> m_idle;
    std::mutex m_mutex;
    std::condition_variable m_available;
};

} // namespace ocrserver

#endif
