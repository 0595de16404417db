// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_OCRSERVICE_H
#define VIRELTO_SERVER_OCRSERVICE_H

#include "api/errors.h"
#include "auth/clients.h"
#include "http/httpserver.h"
#include "stats/metrics.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

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

// What the routes count beside the core's figures. Labels: the client of
// each token granted; the reason of each refusal.
struct ServiceCounters
{
    stats::CounterFamily tokensIssued;
    stats::CounterFamily refusals;
};

// The token endpoint and the general OCR family (accurate_basic,
// general_basic, accurate, general), answered the way the cloud service answers
// them: token errors with HTTP 4xx and error/error_description, OCR errors
// with HTTP 200 and error_code/error_msg.
class OcrService : public http::Handler
{
public:
    OcrService(std::shared_ptr<const Keyring> keyring, OcrEngine &engine, ServiceLimits limits);

    // The clients and token keys from now on; requests under way finish
    // with those they started with. Safe from any thread.
    void setKeyring(std::shared_ptr<const Keyring> keyring);
    std::shared_ptr<const Keyring> keyring() const;
    const ServiceCounters &counters() const { return m_counters; }

    std::size_t bodyLimit(const http::RequestHead &head) const override;
    // Credentials are in the head (the token in the query, or a signature
    // over the head): a recognition without good ones is answered unread.
    std::optional<http::Answer> admit(const http::RequestHead &head) override;
    void handle(http::Request request, http::CancelFlag clientGone, http::Reply reply) override;
    http::Answer refuse(http::Refusal why, const http::RequestHead *head) override;
    const char *route(const http::RequestHead &head) const override;

private:
    using Fields = std::map<std::string, std::string>;

    http::Answer grantToken(const http::Request &request);
    void recognize(const http::Request &request, const Endpoint &endpoint, http::CancelFlag clientGone,
                   http::Reply reply);
    // The error, or none and the client the request comes from.
    ServiceError authenticate(const http::RequestHead &head, const Keyring &keyring, const Client **client) const;
    ServiceError checkSignature(const http::RequestHead &head, const Keyring &keyring, const Client **client) const;
    // The job's page (image or PDF) from the form, in the cloud's order of sources.
    ServiceError readSource(const http::Request &request, RecognitionJob *job, Fields *fields) const;
    ServiceError chooseLanguage(const Fields &fields, std::string *language) const;
    // The service's limit, then the client's own; the reason when over one.
    const char *takeQpsSlot(const Client &client);

    mutable std::mutex m_keyringMutex;
    std::shared_ptr<const Keyring> m_keyring;
    OcrEngine &m_engine;
    const ServiceLimits m_limits;
    ServiceCounters m_counters;

    struct Window
    {
        std::int64_t second = 0;
        int count = 0;
    };
    std::mutex m_qpsMutex;
    Window m_qps;
    std::unordered_map<std::string, Window> m_clientQps; // by client name
};

} // namespace ocrserver

#endif
