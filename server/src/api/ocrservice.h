// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_OCRSERVICE_H
#define VIRELTO_SERVER_OCRSERVICE_H

#include "auth/tokens.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace httplib {
class Server;
}

namespace ocrserver {

class OcrEngine;

struct ServiceLimits
{
    size_t maxImageField = 10 * 1024 * 1024; // the image field, URL-encoded
    size_t maxBody = 11 * 1024 * 1024;       // a whole request body kept in memory
    long minSide = 15;
    long maxSide = 8192;
    int qps = 0;                              // 0: no limit
};

// The token and OCR endpoints, answered the way the cloud service answers
// them: token errors with HTTP 4xx and error/error_description, OCR errors
// with HTTP 200 and error_code/error_msg.
class OcrService
{
public:
    OcrService(std::string apiKey, std::string secretKey, TokenSigner signer, OcrEngine &engine,
               ServiceLimits limits);

    // Routes, error pages and the one-line-per-request log.
    void install(httplib::Server &server);

private:
    bool takeQpsSlot();

    std::string m_apiKey;
    std::string m_secretKey;
    TokenSigner m_signer;
    OcrEngine &m_engine;
    ServiceLimits m_limits;

    std::mutex m_qpsMutex;
    std::int64_t m_qpsSecond = 0;
    int m_qpsCount = 0;
};

} // namespace ocrserver

#endif
