// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_OCRSERVICE_H
#define VIRELTO_SERVER_OCRSERVICE_H

#include "api/errors.h"
#include "auth/tokens.h"
#include "http/httpserver.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace ocrserver {

class OcrEngine;
struct Endpoint;
struct RecognitionJob;

struct ServiceLimits
{
    size_t maxImageField = 10 * 1024 * 1024; // the image field, URL-encoded
    size_t maxBody = 11 * 1024 * 1024;       // a recognition request's body
    size_t maxTokenBody = 64 * 1024;         // a token request's body (and any other)
    long minSide = 15;
    long maxSide = 8192;
    int qps = 0;                              // 0: no limit
};

struct Credentials
{
    std::string apiKey;
    std::string secretKey;
};

// The token endpoint and the general OCR family (accurate_basic,
// general_basic, accurate, general), answered the way the cloud service answers
// them: token errors with HTTP 4xx and error/error_description, OCR errors
// with HTTP 200 and error_code/error_msg.
class OcrService : public http::Handler
{
public:
    OcrService(Credentials credentials, TokenSigner signer, OcrEngine &engine, ServiceLimits limits);

    std::size_t bodyLimit(const http::RequestHead &head) const override;
    void handle(http::Request request, http::CancelFlag clientGone, http::Reply reply) override;
    http::Answer refuse(http::Refusal why, const http::RequestHead *head) override;

private:
    using Fields = std::map<std::string, std::string>;

    http::Answer grantToken(const http::Request &request) const;
    void recognize(const http::Request &request, const Endpoint &endpoint, http::CancelFlag clientGone,
                   http::Reply reply);
    ServiceError authenticate(const http::Request &request) const;
    ServiceError checkSignature(const http::Request &request) const;
    // The job's page (image or PDF) from the form, in the cloud's order of sources.
    ServiceError readSource(const http::Request &request, RecognitionJob *job, Fields *fields) const;
    ServiceError chooseLanguage(const Fields &fields, std::string *language) const;
    bool takeQpsSlot();

    const Credentials m_credentials;
    const TokenSigner m_signer;
    OcrEngine &m_engine;
    const ServiceLimits m_limits;

    std::mutex m_qpsMutex;
    std::int64_t m_qpsSecond = 0;
    int m_qpsCount = 0;
};

} // namespace ocrserver

#endif
