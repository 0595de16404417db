// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_TESSERACTREADER_H
#define VIRELTO_SERVER_TESSERACTREADER_H

#include "engine/pagereader.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tesseract {
class TessBaseAPI;
}

namespace ocrserver {

class OrientationDetector;

// Tesseract's page layout analysis and LSTM line reader: made for scanned
// pages and pages drawn from PDF text, and the reader of every language the
// line models do not know.
class TesseractReader : public PageReader
{
public:
    // Loads the models of `language` at once; throws std::runtime_error
    // when they cannot be loaded.
    explicit TesseractReader(const std::string &language);
    ~TesseractReader() override;

    void read(Pix *page, const RecognitionJob &job, const ReadingStop &stop, Recognition *result) override;

    // Tesseract's names of the languages installed.
    const std::vector<std::string> &installedLanguages() const { return m_installed; }

    // Gives the loaded models' memory back; they are loaded again by the
    // next page that needs them.
    void release();

private:
    tesseract::TessBaseAPI &api(const std::string &language);

    std::map<std::string, std::unique_ptr<tesseract::TessBaseAPI>> m_apis; // by language
    std::unique_ptr<OrientationDetector> m_orientation;                     // made on first use
    std::vector<std::string> m_installed;
};

} // namespace ocrserver

#endif
