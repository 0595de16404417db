// SPDX-License-Identifier: MIT
#include "api/ocrservice.h"

#include "auth/bceauth.h"
#include "engine/ocrengine.h"
#include "parse/form.h"
#include "parse/imageprobe.h"

#include <boost/beast/core/string.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>

using nlohmann::json;
namespace bhttp = boost::beast::http;

namespace ocrserver {

// The cloud's general OCR family: one reading of the page, replies that
// differ in what they carry.
struct Endpoint
{
    std::string_view path;
    bool positions; // location per line, chars with recognize_granularity=small
};

namespace {

const char TokenPath[] = "/oauth/2.0/token";

// Fields of a recognition form: the vendor's SDKs send under ten.
constexpr std::size_t MaxFormFields = 1000;

enum class Route { Token, Ocr, Unknown };

constexpr Endpoint Endpoints[] = {
    {"/rest/2.0/ocr/v1/accurate_basic", false},
    {"/rest/2.0/ocr/v1/general_basic", false},
    {"/rest/2.0/ocr/v1/accurate", true},
    {"/rest/2.0/ocr/v1/general", true},
};

std::string_view pathOf(std::string_view target)
{
    return target.substr(0, target.find('?'));
}

std::string_view queryOf(std::string_view target)
{
    const size_t mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

const Endpoint *endpointOf(const http::RequestHead &head)
{
    if (head.method() != bhttp::verb::post)
        return nullptr;
    const std::string_view path = pathOf(head.target());
    for (const Endpoint &endpoint : Endpoints)
        if (endpoint.path == path)
            return &endpoint;
    return nullptr;
}

Route routeOf(const http::RequestHead &head)
{
    const std::string_view path = pathOf(head.target());
    if (path == TokenPath
        && (head.method() == bhttp::verb::get || head.method() == bhttp::verb::head
            || head.method() == bhttp::verb::post)) {
        return Route::Token; // HEAD as GET, without the body
    }
    if (endpointOf(head))
        return Route::Ocr;
    return Route::Unknown;
}

std::int64_t unixNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
}

std::uint64_t newLogId()
{
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return generator();
}

http::Answer jsonAnswer(bhttp::status status, const json &body, ServiceError code = ServiceError::None)
{
    http::Answer answer;
    answer.message.result(status);
    answer.message.set(bhttp::field::content_type, "application/json;charset=utf-8");
    answer.message.body() = body.dump();
    answer.logCode = int(code);
    const auto logId = body.find("log_id");
    if (logId != body.end() && logId->is_number_unsigned())
        answer.logId = logId->get<std::uint64_t>();
    return answer;
}

http::Answer fromClient(http::Answer answer, const Client *client)
{
    if (client)
        answer.client = client->name;
    return answer;
}

http::Answer ocrError(ServiceError code, bhttp::status status = bhttp::status::ok)
{
    return jsonAnswer(status, {{"error_code", int(code)}, {"error_msg", errorMessage(code)}, {"log_id", newLogId()}},
                      code);
}

http::Answer tokenError(bhttp::status status, const char *error, const char *description)
{
    return jsonAnswer(status, {{"error", error}, {"error_description", description}});
}

// A form body is what the cloud service reads; anything else (multipart
// above all) cannot carry the fields it looks for.
bool isFormBody(const http::Request &request)
{
    const auto type = request[bhttp::field::content_type];
    if (type.empty())
        return true;
    const auto media = type.substr(0, type.find(';'));
    return boost::beast::iequals(boost::beast::string_view(media.data(), media.find_last_not_of(' ') + 1),
                                 "application/x-www-form-urlencoded");
}

// The cloud's language_type values and the Tesseract models for them.
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

bool flag(const std::map<std::string, std::string> &fields, const char *name)
{
    const auto f = fields.find(name);
    return f != fields.end() && f->second == "true";
}

json location(const Box &box)
{
    return {{"left", box.left}, {"top", box.top}, {"width", box.width}, {"height", box.height}};
}

// The line's corners clockwise from its top left, as the cloud gives a
// line's polygon: its tilted quadrilateral where the reader found one.
json vertexes(const RecognizedLine &line)
{
    if (line.vertexes.size() == 4) {
        json corners = json::array();
        for (const Point &p : line.vertexes)
            corners.push_back({{"x", p.x}, {"y", p.y}});
        return corners;
    }
    const Box &box = line.box;
    const int right = box.left + box.width, bottom = box.top + box.height;
    return json::array({{{"x", box.left}, {"y", box.top}},
                        {{"x", right}, {"y", box.top}},
                        {{"x", right}, {"y", bottom}},
                        {{"x", box.left}, {"y", bottom}}});
}

json ocrReply(const Recognition &result, const Endpoint &endpoint, const std::map<std::string, std::string> &fields)
{
    const std::vector<RecognizedLine> &lines = result.lines;
    const bool withProbability = flag(fields, "probability");
    const auto granularity = fields.find("recognize_granularity");
    const bool withChars = endpoint.positions && granularity != fields.end() && granularity->second == "small";
    const bool withVertexes = endpoint.positions && flag(fields, "vertexes_location");
    json words = json::array();
    for (const RecognizedLine &line : lines) {
        json entry = {{"words", line.text}};
        if (endpoint.positions)
            entry["location"] = location(line.box);
        if (withVertexes)
            entry["vertexes_location"] = vertexes(line);
        if (withChars) {
            json chars = json::array();
            for (const RecognizedChar &c : line.chars)
                chars.push_back({{"char", c.text}, {"location", location(c.box)}});
            entry["chars"] = std::move(chars);
        }
        if (withProbability)
            entry["probability"] = {{"average", line.average}, {"min", line.min}, {"variance", line.variance}};
        words.push_back(std::move(entry));
    }
    json reply = {{"log_id", newLogId()}, {"words_result_num", lines.size()}, {"words_result", std::move(words)}};
    if (flag(fields, "paragraph")) {
        json paragraphs = json::array();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i == 0 || lines[i].paragraph != lines[i - 1].paragraph)
                paragraphs.push_back({{"words_result_idx", json::array()}});
            paragraphs.back()["words_result_idx"].push_back(i);
        }
        reply["paragraphs_result_num"] = paragraphs.size();
        reply["paragraphs_result"] = std::move(paragraphs);
    }
    if (flag(fields, "detect_direction"))
        reply["direction"] = result.direction;
    if (result.pdfPages > 0)
        reply["pdf_file_size"] = std::to_string(result.pdfPages); // a string in the cloud's replies
    return reply;
}

http::Answer answerFor(const Recognition &result, const Endpoint &endpoint,
                       const std::map<std::string, std::string> &fields)
{
    switch (result.outcome) {
    case Recognition::Outcome::Done:
        return jsonAnswer(bhttp::status::ok, ocrReply(result, endpoint, fields));
    case Recognition::Outcome::Undecodable:
        return ocrError(ServiceError::ImageFormat);
    case Recognition::Outcome::NoSuchPage:
        return ocrError(ServiceError::InvalidParam);
    case Recognition::Outcome::PageSize:
        return ocrError(ServiceError::ImageSize);
    case Recognition::Outcome::Cancelled:
        return ocrError(ServiceError::Unavailable);
    case Recognition::Outcome::TimedOut:
    case Recognition::Outcome::Failed:
        break;
    }
    return ocrError(ServiceError::Internal);
}

} // namespace

OcrService::OcrService(std::shared_ptr<const Keyring> keyring, OcrEngine &engine, ServiceLimits limits)
    : m_keyring(std::move(keyring))
    , m_engine(engine)
    , m_limits(limits)
{
}

void OcrService::setKeyring(std::shared_ptr<const Keyring> keyring)
{
    std::lock_guard<std::mutex> lock(m_keyringMutex);
    m_keyring = std::move(keyring);
}

std::shared_ptr<const Keyring> OcrService::keyring() const
{
    std::lock_guard<std::mutex> lock(m_keyringMutex);
    return m_keyring;
}

const char *OcrService::route(const http::RequestHead &head) const
{
    switch (routeOf(head)) {
    case Route::Token:
        return "token";
    case Route::Ocr:
        return endpointOf(head)->path.data() + sizeof "/rest/2.0/ocr/v1/" - 1;
    case Route::Unknown:
        break;
    }
    return "other";
}

std::size_t OcrService::bodyLimit(const http::RequestHead &head) const
{
    return routeOf(head) == Route::Ocr ? m_limits.maxBody : m_limits.maxTokenBody;
}

std::optional<http::Answer> OcrService::admit(const http::RequestHead &head)
{
    if (routeOf(head) != Route::Ocr)
        return std::nullopt;
    const Client *client = nullptr;
    const ServiceError error = authenticate(head, *keyring(), &client);
    if (error == ServiceError::None)
        return std::nullopt;
    return fromClient(ocrError(error), client);
}

void OcrService::handle(http::Request request, http::CancelFlag clientGone, http::Reply reply)
{
    switch (routeOf(request)) {
    case Route::Token:
        return reply(grantToken(request));
    case Route::Ocr:
        return recognize(request, *endpointOf(request), std::move(clientGone), std::move(reply));
    case Route::Unknown:
        break;
    }
    reply(ocrError(ServiceError::UnsupportedMethod, bhttp::status::not_found));
}

http::Answer OcrService::refuse(http::Refusal why, const http::RequestHead *head)
{
    const Route route = head ? routeOf(*head) : Route::Unknown;
    switch (why) {
    case http::Refusal::BodyTooLarge:
        if (route == Route::Ocr)
            return ocrError(ServiceError::ImageSize);
        if (route == Route::Token)
            return tokenError(bhttp::status::payload_too_large, "invalid_request", "The request body is too large");
        return ocrError(ServiceError::UnsupportedMethod, bhttp::status::not_found);
    case http::Refusal::HeaderTooLarge:
        return ocrError(ServiceError::ParamTooLong, bhttp::status::request_header_fields_too_large);
    case http::Refusal::Overloaded:
    case http::Refusal::BodiesBuffered:
        return ocrError(ServiceError::QpsLimit, bhttp::status::service_unavailable);
    case http::Refusal::BadRequest:
    case http::Refusal::Timeout:
        break;
    }
    if (route == Route::Token)
        return tokenError(bhttp::status::bad_request, "invalid_request", "The request is malformed");
    return ocrError(ServiceError::InvalidParam, bhttp::status::bad_request);
}

http::Answer OcrService::grantToken(const http::Request &request)
{
    const Fields query = parseForm(queryOf(request.target()));
    const Fields form = isFormBody(request) ? parseForm(request.body()) : Fields();
    const auto param = [&](const char *name) {
        auto it = query.find(name);
        if (it != query.end())
            return it->second;
        it = form.find(name);
        return it != form.end() ? it->second : std::string();
    };
    const std::string grantType = param("grant_type");
    const std::string clientId = param("client_id");
    const std::string clientSecret = param("client_secret");
    if (grantType.empty() || clientId.empty() || clientSecret.empty())
        return tokenError(bhttp::status::bad_request, "invalid_request", "The request is missing a required parameter");
    if (grantType != "client_credentials") {
        return tokenError(bhttp::status::bad_request, "unsupported_grant_type",
                          "The authorization grant type is not supported");
    }
    const std::shared_ptr<const Keyring> keys = keyring();
    const Client *client = keys->byApiKey(clientId);
    if (!client)
        return tokenError(bhttp::status::unauthorized, "invalid_client", "unknown client id");
    if (!constantTimeEquals(clientSecret, client->secretKey))
        return fromClient(tokenError(bhttp::status::unauthorized, "invalid_client", "Client authentication failed"),
                          client);
    m_counters.tokensIssued.at("client=\"" + client->name + '"')++;
    // brain_all_scope: the vendor's SDKs keep using a token only when they see it.
    return fromClient(jsonAnswer(bhttp::status::ok,
                                 {{"access_token", keys->issue(*client, unixNow())},
                                  {"expires_in", keys->signer().ttl()},
                                  {"scope", "public brain_all_scope vis-ocr_ocr brain_ocr_accurate_basic"}}),
                      client);
}

// Signature mode: no token, an Authorization header signed with the
// Secret Key over the request as sent.
ServiceError OcrService::checkSignature(const http::RequestHead &request, const Keyring &keyring,
                                        const Client **client) const
{
    const std::string_view authorization = request[bhttp::field::authorization];
    const Client *named = keyring.byApiKey(bceAccessKey(authorization));
    if (!named)
        return ServiceError::IamCertificationFailed;
    BceRequest signedRequest;
    signedRequest.method = request.method_string();
    signedRequest.path = pathOf(request.target());
    signedRequest.query = queryOf(request.target());
    for (const auto &field : request)
        signedRequest.headers.push_back({field.name_string(), field.value()});
    const BceVerdict verdict
            = verifyBceAuthorization(signedRequest, authorization, {named->apiKey, named->secretKey}, unixNow());
    if (verdict != BceVerdict::Valid)
        return ServiceError::IamCertificationFailed;
    *client = named;
    return ServiceError::None;
}

ServiceError OcrService::authenticate(const http::RequestHead &request, const Keyring &keyring,
                                      const Client **client) const
{
    const Fields query = parseForm(queryOf(request.target()));
    const auto token = query.find("access_token");
    if ((token == query.end() || token->second.empty())
        && isBceAuthorization(request[bhttp::field::authorization])) {
        return checkSignature(request, keyring, client);
    }
    if (token == query.end() || token->second.empty())
        return ServiceError::InvalidParameter;
    // The vendor's SDKs append "?aipSdk=..." to the token; the cloud reads
    // the token up to that mark.
    const std::string_view accessToken = std::string_view(token->second).substr(0, token->second.find('?'));
    switch (keyring.check(accessToken, unixNow(), client)) {
    case TokenSigner::Verdict::Invalid:
        return ServiceError::TokenInvalid;
    case TokenSigner::Verdict::Expired:
        return ServiceError::TokenExpired;
    case TokenSigner::Verdict::Valid:
        break;
    }
    return ServiceError::None;
}

namespace {

// Base64 with an optional data: prefix, decoded; nothing when malformed.
std::optional<std::string> decodeUpload(std::string_view base64)
{
    if (base64.compare(0, 5, "data:") == 0) {
        const size_t comma = base64.find(',');
        base64 = comma == std::string_view::npos ? std::string_view() : base64.substr(comma + 1);
    }
    return decodeBase64(base64);
}

// A positive page number in plain decimal digits.
std::optional<int> pageNumber(std::string_view text)
{
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), digit))
        return std::nullopt;
    const int page = std::stoi(std::string(text));
    return page >= 1 ? std::optional<int>(page) : std::nullopt;
}

} // namespace

ServiceError OcrService::readSource(const http::Request &request, RecognitionJob *job, Fields *fields) const
{
    if (!isFormBody(request))
        return ServiceError::InvalidParam;
    const std::string &body = request.body();
    // The cloud takes the first of these that is present and ignores the rest.
    const char *source = nullptr;
    std::optional<std::string_view> raw;
    for (const char *name : {"image", "url", "pdf_file", "ofd_file"}) {
        if ((raw = rawFormField(body, name))) {
            source = name;
            break;
        }
    }
    if (!source)
        return ServiceError::NotEnoughParam;
    // Fetching addresses for callers has no place in an offline service; OFD
    // has no renderer here.
    const bool pdf = std::string_view(source) == "pdf_file";
    if (!pdf && std::string_view(source) != "image")
        return ServiceError::ServiceNotSupported;
    if (raw->size() > m_limits.maxImageField)
        return ServiceError::ImageSize;
    auto parsed = parseFormAtMost(body, MaxFormFields);
    if (!parsed)
        return ServiceError::InvalidParam;
    *fields = std::move(*parsed);

    const auto field = fields->find(source);
    if (field == fields->end())
        return ServiceError::ImageFormat; // a malformed escape
    if (field->second.empty())
        return ServiceError::EmptyImage;
    auto bytes = decodeUpload(field->second);
    if (!bytes)
        return ServiceError::ImageFormat;
    if (bytes->empty())
        return ServiceError::EmptyImage;
    if (pdf) {
        // The page is rendered, and its size checked, by the engine.
        const auto number = fields->find("pdf_file_num");
        const auto page = number == fields->end() ? std::optional<int>(1) : pageNumber(number->second);
        if (!page)
            return ServiceError::InvalidParam;
        job->source = RecognitionJob::Source::Pdf;
        job->pdfPage = *page;
    } else {
        const auto header = probeImage(*bytes);
        if (!header)
            return ServiceError::ImageFormat;
        if (std::min(header->width, header->height) < m_limits.minSide
            || std::max(header->width, header->height) > m_limits.maxSide) {
            return ServiceError::ImageSize;
        }
        job->source = RecognitionJob::Source::Image;
    }
    fields->erase(field); // the decoded copy is what goes on
    job->image = std::move(*bytes);
    return ServiceError::None;
}

ServiceError OcrService::chooseLanguage(const Fields &fields, std::string *language) const
{
    *language = m_engine.defaultLanguage();
    const auto languageType = fields.find("language_type");
    if (languageType == fields.end() || languageType->second == "auto_detect")
        return ServiceError::None;
    const auto known = languageTypes().find(languageType->second);
    if (known == languageTypes().end() || !m_engine.isInstalled(known->second))
        return ServiceError::InvalidParam;
    *language = known->second;
    return ServiceError::None;
}

void OcrService::recognize(const http::Request &request, const Endpoint &endpoint, http::CancelFlag clientGone,
                           http::Reply reply)
{
    RecognitionJob job;
    auto fields = std::make_shared<Fields>();
    const std::shared_ptr<const Keyring> keys = keyring();
    const Client *client = nullptr;
    ServiceError error = authenticate(request, *keys, &client);
    if (error == ServiceError::None) {
        if (const char *over = takeQpsSlot(*client)) {
            m_counters.refusals.at(std::string("reason=\"") + over + '"')++;
            error = ServiceError::QpsLimit;
        }
    }
    if (error == ServiceError::None)
        error = readSource(request, &job, fields.get());
    if (error == ServiceError::None)
        error = chooseLanguage(*fields, &job.language);
    job.detectDirection = flag(*fields, "detect_direction");
    if (error != ServiceError::None)
        return reply(fromClient(ocrError(error), client));

    // The name outlives the keyring it came from.
    const std::string name = client->name;
    auto done = [reply, fields, &endpoint, name](Recognition result) {
        http::Answer answer = answerFor(result, endpoint, *fields);
        answer.client = name;
        answer.note = std::move(result.libraryOutput);
        reply(std::move(answer));
    };
    if (!m_engine.submit(std::move(job), std::move(clientGone), done)) {
        // Shutting down: as the cloud answers a service that is going away.
        if (m_engine.queueClosed())
            return reply(fromClient(ocrError(ServiceError::Unavailable), client));
        // every worker busy and the queue full
        m_counters.refusals.at("reason=\"queue_full\"")++;
        reply(fromClient(ocrError(ServiceError::QpsLimit), client));
    }
}

const char *OcrService::takeQpsSlot(const Client &client)
{
    if (m_limits.qps <= 0 && client.qps <= 0)
        return nullptr;
    const std::int64_t second
            = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    const auto current = [second](Window &window) -> Window & {
        if (window.second != second)
            window = {second, 0};
        return window;
    };
    // A refused request spends no budget, and a client over its own limit
    // is refused before it can spend the service's: one client's flood
    // cannot starve the others.
    std::lock_guard<std::mutex> lock(m_qpsMutex);
    Window &service = current(m_qps);
    Window *own = client.qps > 0 ? &current(m_clientQps[client.name]) : nullptr;
    if (own && own->count >= client.qps)
        return "client_qps_limit";
    if (m_limits.qps > 0 && service.count >= m_limits.qps)
        return "qps_limit";
    ++service.count;
    if (own)
        ++own->count;
    return nullptr;
}

} // namespace ocrserver
