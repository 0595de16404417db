// SPDX-License-Identifier: MIT
#include "api/ocrservice.h"

#include "parse/form.h"
#include "parse/imageprobe.h"
#include "engine/ocrengine.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

using nlohmann::json;

namespace ocrserver {

namespace {

// What the request log needs from a handler; handlers run on the thread
// that logs their request.
struct RequestRecord
{
    std::chrono::steady_clock::time_point start;
    int errorCode = 0;
    size_t bodyBytes = 0;
};
thread_local RequestRecord record;

std::int64_t unixNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
}

std::uint64_t newLogId()
{
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return generator();
}

void sendJson(httplib::Response &res, int status, const json &body)
{
    res.status = status;
    res.set_content(body.dump(), "application/json;charset=utf-8");
}

void sendOcrError(httplib::Response &res, int code, const char *message, int status = 200)
{
    record.errorCode = code;
    sendJson(res, status, {{"error_code", code}, {"error_msg", message}, {"log_id", newLogId()}});
}

void sendTokenError(httplib::Response &res, int status, const char *error, const char *description)
{
    sendJson(res, status, {{"error", error}, {"error_description", description}});
}

// The cloud service's language_type values and the Tesseract models for them.
const std::map<std::string, std::string> &languageTypes()
{
    static const std::map<std::string, std::string> types = {
        {"ENG", "eng"}, {"CHN_ENG", "chi_sim+eng"}, {"JAP", "jpn"}, {"KOR", "kor"},
        {"FRE", "fra"}, {"SPA", "spa"}, {"POR", "por"}, {"GER", "deu"}, {"ITA", "ita"},
        {"RUS", "rus"}, {"DAN", "dan"}, {"DUT", "nld"}, {"MAL", "msa"}, {"SWE", "swe"},
        {"IND", "ind"}, {"POL", "pol"}, {"ROM", "ron"}, {"TUR", "tur"}, {"GRE", "ell"},
        {"THA", "tha"}, {"VIE", "vie"}, {"ARA", "ara"}, {"HIN", "hin"}, {"HUN", "hun"},
    };
    return types;
}

bool isConnection(int fd, int localPort, int remotePort)
{
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLength) != 0
        || getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) != 0) {
        return false;
    }
    const auto port = [](const sockaddr_storage &a) {
        return a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 &>(a).sin6_port)
                                       : ntohs(reinterpret_cast<const sockaddr_in &>(a).sin_port);
    };
    return port(local) == localPort && port(peer) == remotePort;
}

// A client that sends its headers and body in separate writes (Qt does)
// waits for the ACK of what it sent before the rest goes out, and on a
// kept-alive connection the kernel delays that ACK by 40 ms. So acknowledge
// at once, again while a body is read: quick-ACK mode does not last.
// cpp-httplib does not hand out the socket; find it by its two ports, once
// per connection (a connection stays on one HTTP thread).
thread_local int connectionFd = -1;

void acknowledgeNow()
{
    if (connectionFd >= 0) {
        const int on = 1;
        setsockopt(connectionFd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
}

void findConnection(const httplib::Request &req)
{
    if (connectionFd >= 0 && isConnection(connectionFd, req.local_port, req.remote_port))
        return;
    connectionFd = -1;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    for (int fd = 3; fd < int(std::min<rlim_t>(limit.rlim_cur, 65536)); ++fd) {
        if (isConnection(fd, req.local_port, req.remote_port)) {
            connectionFd = fd;
            return;
        }
    }
}

void logRequest(const httplib::Request &req, const httplib::Response &res)
{
    const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - record.start);
    const size_t body = record.bodyBytes ? record.bodyBytes : req.body.size();
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    // Path only: the query carries credentials and tokens.
    std::fprintf(stderr, "%s %s %s %d error=%d %.1fms body=%zu\n", stamp, req.method.c_str(),
                 req.path.c_str(), res.status, record.errorCode, elapsed.count(), body);
}

} // namespace

OcrService::OcrService(std::string apiKey, std::string secretKey, TokenSigner signer, OcrEngine &engine,
                       ServiceLimits limits)
    : m_apiKey(std::move(apiKey))
    , m_secretKey(std::move(secretKey))
    , m_signer(std::move(signer))
    , m_engine(engine)
    , m_limits(limits)
{
}

bool OcrService::takeQpsSlot()
{
    if (m_limits.qps <= 0)
        return true;
    std::lock_guard<std::mutex> lock(m_qpsMutex);
    const std::int64_t second = std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count();
    if (second != m_qpsSecond) {
        m_qpsSecond = second;
        m_qpsCount = 0;
    }
    return ++m_qpsCount <= m_limits.qps;
}

void OcrService::install(httplib::Server &server)
{
    server.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &) {
        record = RequestRecord{std::chrono::steady_clock::now(), 0, 0};
        findConnection(req);
        acknowledgeNow();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_logger(logRequest);
    // Beyond this the connection is dropped unread; up to it, an oversized
    // body is drained so the client still gets its JSON answer.
    server.set_payload_max_length(m_limits.maxBody * 4);

    server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.status == 404 || res.status == 405)
            sendOcrError(res, 3, "Unsupported openapi method", 404);
        else if (res.status == 413)
            sendOcrError(res, 216202, "image size error", 413);
    });

    const auto token = [this](const httplib::Request &req, httplib::Response &res) {
        const std::string grantType = req.get_param_value("grant_type");
        const std::string clientId = req.get_param_value("client_id");
        const std::string clientSecret = req.get_param_value("client_secret");
        if (grantType.empty() || clientId.empty() || clientSecret.empty())
            return sendTokenError(res, 400, "invalid_request", "The request is missing a required parameter");
        if (grantType != "client_credentials") {
            return sendTokenError(res, 400, "unsupported_grant_type",
                                  "The authorization grant type is not supported");
        }
        if (!constantTimeEquals(clientId, m_apiKey))
            return sendTokenError(res, 401, "invalid_client", "unknown client id");
        if (!constantTimeEquals(clientSecret, m_secretKey))
            return sendTokenError(res, 401, "invalid_client", "Client authentication failed");
        sendJson(res, 200, {{"access_token", m_signer.issue(clientId, unixNow())},
                            {"expires_in", m_signer.ttl()},
                            {"scope", "public vis-ocr_ocr brain_ocr_accurate_basic"}});
    };
    server.Post("/oauth/2.0/token", token);
    server.Get("/oauth/2.0/token", token);

    server.Post("/rest/2.0/ocr/v1/accurate_basic",
                [this](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &read) {
        // Read the body within the limit, draining what goes beyond it.
        std::string body;
        bool tooLarge = false;
        read([&](const char *data, size_t length) {
            acknowledgeNow();
            record.bodyBytes += length;
            if (!tooLarge && body.size() + length > m_limits.maxBody) {
                tooLarge = true;
                std::string().swap(body);
            }
            if (!tooLarge)
                body.append(data, length);
            return true;
        });

        const std::string accessToken = req.get_param_value("access_token");
        if (accessToken.empty())
            return sendOcrError(res, 100, "Invalid parameter");
        switch (m_signer.check(accessToken, m_apiKey, unixNow())) {
        case TokenSigner::Verdict::Invalid:
            return sendOcrError(res, 110, "Access token invalid or no longer valid");
        case TokenSigner::Verdict::Expired:
            return sendOcrError(res, 111, "Access token expired");
        case TokenSigner::Verdict::Valid:
            break;
        }
        if (!takeQpsSlot())
            return sendOcrError(res, 18, "Open api qps request limit reached");
        if (tooLarge)
            return sendOcrError(res, 216202, "image size error");

        const auto rawImage = rawFormField(body, "image");
        if (!rawImage)
            return sendOcrError(res, 216101, "not enough param");
        if (rawImage->size() > m_limits.maxImageField)
            return sendOcrError(res, 216202, "image size error");
        const auto fields = parseForm(body);

        std::string language = m_engine.defaultLanguage();
        const auto languageType = fields.find("language_type");
        if (languageType != fields.end() && languageType->second != "auto_detect") {
            const auto known = languageTypes().find(languageType->second);
            if (known == languageTypes().end() || !m_engine.isInstalled(known->second))
                return sendOcrError(res, 216100, "invalid param");
            language = known->second;
        }

        const auto image = fields.find("image");
        if (image == fields.end())
            return sendOcrError(res, 216201, "image format error"); // a malformed escape
        std::string_view base64 = image->second;
        if (base64.empty())
            return sendOcrError(res, 216200, "empty image");
        if (base64.compare(0, 5, "data:") == 0) {
            const size_t comma = base64.find(',');
            base64 = comma == std::string_view::npos ? std::string_view() : base64.substr(comma + 1);
        }
        const auto bytes = decodeBase64(base64);
        if (!bytes || bytes->empty())
            return sendOcrError(res, bytes ? 216200 : 216201, bytes ? "empty image" : "image format error");
        const auto header = probeImage(*bytes);
        if (!header)
            return sendOcrError(res, 216201, "image format error");
        if (std::min(header->width, header->height) < m_limits.minSide
            || std::max(header->width, header->height) > m_limits.maxSide) {
            return sendOcrError(res, 216202, "image size error");
        }

        std::vector<RecognizedLine> lines;
        try {
            lines = m_engine.recognize(*bytes, language);
        } catch (const std::invalid_argument &) {
            return sendOcrError(res, 216201, "image format error");
        } catch (const std::exception &) {
            return sendOcrError(res, 282000, "internal error");
        }

        const auto flag = [&fields](const char *name) {
            const auto f = fields.find(name);
            return f != fields.end() && f->second == "true";
        };
        const bool withProbability = flag("probability");
        json words = json::array();
        for (const RecognizedLine &line : lines) {
            json entry = {{"words", line.text}};
            if (withProbability)
                entry["probability"] = {{"average", line.average}, {"min", line.min}, {"variance", line.variance}};
            words.push_back(std::move(entry));
        }
        json reply = {{"log_id", newLogId()}, {"words_result_num", lines.size()}, {"words_result", std::move(words)}};
        if (flag("paragraph")) {
            json paragraphs = json::array();
            for (size_t i = 0; i < lines.size(); ++i) {
                if (i == 0 || lines[i].paragraph != lines[i - 1].paragraph)
                    paragraphs.push_back({{"words_result_idx", json::array()}});
                paragraphs.back()["words_result_idx"].push_back(i);
            }
            reply["paragraphs_result_num"] = paragraphs.size();
            reply["paragraphs_result"] = std::move(paragraphs);
        }
        sendJson(res, 200, reply);
    });
}

} // namespace ocrserver
