// SPDX-License-Identifier: MIT
// In-process tests of the service's pure parts: signature verification, form
// decoding, and the arithmetic around the text-line models.
#include "auth/bceauth.h"
#include "auth/clients.h"
#include "auth/tokens.h"
#include "engine/linemodelreader.h"
#include "engine/ocrengine.h"
#include "engine/textlines.h"
#include "parse/form.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace ocrserver;

namespace {

// Every table's rows carry a name: the test's name and what a failure prints.
template<typename Row>
std::string rowName(const testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

template<typename Row>
auto operator<<(std::ostream &out, const Row &row) -> decltype(out << row.name)
{
    return out << row.name;
}

// A request and what to verify it with, owning its text so rows can change any of it.
struct Signed
{
    std::string method, path, query;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string authorization, apiKey, secretKey;
    std::int64_t now = 0;

    BceVerdict verify() const
    {
        BceRequest request{method, path, query, {}};
        for (const auto &[name, value] : headers)
            request.headers.push_back({name, value});
        return verifyBceAuthorization(request, authorization, {apiKey, secretKey}, now);
    }

    std::string *header(const std::string &name)
    {
        for (auto &[key, value] : headers) {
            if (key == name)
                return &value;
        }
        return nullptr;
    }
};

// Both vectors were signed by the vendor's Node.js SDK (baidu-aip-sdk 4.16.16,
// its own bce-auth-v1 signer) at a fixed time, not by the code under test.
constexpr std::int64_t SdkSignedAt = 1796642918; // 2026-12-07T11:28:38Z

// The SDK's recognition request in signature mode, headers as they came off the wire.
Signed sdkRequest()
{
    return {"POST",
            "/rest/2.0/ocr/v1/accurate_basic",
            "aipSdk=node",
            {{"Host", "aip.baidubce.com"},
             {"Content-Type", "application/x-www-form-urlencoded"},
             {"x-bce-date", "2026-12-07T11:28:38Z"},
             {"authorization", "(see below)"},
             {"content-length", "65"},
             {"Connection", "keep-alive"}},
            "bce-auth-v1/AK-test/2026-12-07T11:28:38Z/1800/content-type;host;x-bce-date/"
            "22045c34751d55a5e9e0d3022d6d9d953a3e6b1a398ce7e4b83a98f89393aeb2",
            "AK-test",
            "SK-test",
            SdkSignedAt + 5};
}

// More to canonicalise: query fields out of order, one without a value, UTF-8,
// sub-delimiters, a query "Authorization" that is not signed; header values
// with spaces around them, extra x-bce- headers, an unsigned header; 600 s.
constexpr std::int64_t RichSignedAt = SdkSignedAt + 3600;
Signed richRequest()
{
    return {"GET",
            "/rest/2.0/ocr/v1/accurate_basic",
            "zeta=x%20y&alpha&mid=%E6%B5%8B%E8%AF%95&star=*~!'()&Authorization=ignored",
            {{"Host", "ocr.example.com:8443"},
             {"Content-Type", " text/plain; charset=utf-8 "},
             {"Content-MD5", "abc=="},
             {"X-Bce-Request-Id", "r-1"},
             {"User-Agent", "unsigned"},
             {"x-bce-date", "2026-12-07T11:28:38Z"}},
            "bce-auth-v1/a0Fk3Zx/2026-12-07T12:28:38Z/600/content-md5;content-type;host;x-bce-date;x-bce-request-id/"
            "e1c71eafb28ad14e4b4acb3d56481033eeb711cd7bf4ed43a31bdf26cc794000",
            "a0Fk3Zx",
            "s3cr3t/Key+with=chars",
            RichSignedAt + 60};
}

void replace(std::string &text, const std::string &from, const std::string &to)
{
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from << " in " << text;
    text.replace(at, from.size(), to);
}

struct VerifyRow
{
    const char *name;
    Signed (*base)();
    std::function<void(Signed &)> change;
    BceVerdict expected;
};

class BceVerify : public testing::TestWithParam<VerifyRow>
{
};

TEST_P(BceVerify, Verdict)
{
    Signed request = GetParam().base();
    GetParam().change(request);
    EXPECT_EQ(bceVerdictName(request.verify()), std::string(bceVerdictName(GetParam().expected)));
}

const auto nothing = [](Signed &) {};
const auto authorizationPart = [](int index, std::string to) {
    return [index, to](Signed &s) {
        size_t start = 0;
        for (int i = 0; i < index; ++i)
            start = s.authorization.find('/', start) + 1;
        const size_t end = s.authorization.find('/', start);
        s.authorization.replace(start, end == std::string::npos ? std::string::npos : end - start, to);
    };
};

INSTANTIATE_TEST_SUITE_P(SignedAsSent, BceVerify, testing::Values(
    VerifyRow{"sdk_request", sdkRequest, nothing, BceVerdict::Valid},
    VerifyRow{"rich_request", richRequest, nothing, BceVerdict::Valid},
    // Spellings of the same request: still valid.
    VerifyRow{"header_names_in_any_case", sdkRequest, [](Signed &s) {
        s.headers[0].first = "HOST"; s.headers[1].first = "content-type"; }, BceVerdict::Valid},
    VerifyRow{"unsigned_headers_changed", sdkRequest, [](Signed &s) {
        *s.header("content-length") = "999"; s.headers.push_back({"X-Forwarded-For", "10.0.0.1"}); },
        BceVerdict::Valid},
    VerifyRow{"path_escapes_unreserved", sdkRequest, [](Signed &s) {
        replace(s.path, "accurate_basic", "accurate%5Fbasic"); }, BceVerdict::Valid},
    VerifyRow{"query_lowercase_escapes_and_order", richRequest, [](Signed &s) {
        s.query = "Authorization=x&star=%2a%7E%21%27%28%29&mid=%e6%b5%8b%e8%af%95&alpha=&zeta=x%20y"; },
        BceVerdict::Valid},
    VerifyRow{"last_second_of_validity", richRequest, [](Signed &s) { s.now = RichSignedAt + 600; },
        BceVerdict::Valid},
    VerifyRow{"client_clock_ahead_within_skew", richRequest, [](Signed &s) {
        s.now = RichSignedAt - BceLimits::clockSkew; }, BceVerdict::Valid},
    VerifyRow{"method_lower_case_on_the_wire", sdkRequest, [](Signed &s) { s.method = "post"; },
        BceVerdict::Valid},
    // The list names the signed headers; their canonical lines are sorted whatever its order.
    VerifyRow{"signed_header_list_in_any_order", sdkRequest, authorizationPart(4, "x-bce-date;host;content-type"),
        BceVerdict::Valid},

    // Anything signed changed after signing.
    VerifyRow{"method", sdkRequest, [](Signed &s) { s.method = "PUT"; }, BceVerdict::BadSignature},
    VerifyRow{"path", sdkRequest, [](Signed &s) { replace(s.path, "v1", "v2"); }, BceVerdict::BadSignature},
    VerifyRow{"path_trailing_slash", sdkRequest, [](Signed &s) { s.path += '/'; }, BceVerdict::BadSignature},
    VerifyRow{"query_value", sdkRequest, [](Signed &s) { s.query = "aipSdk=nodf"; }, BceVerdict::BadSignature},
    VerifyRow{"query_field_added", sdkRequest, [](Signed &s) { s.query += "&access_token=x"; },
        BceVerdict::BadSignature},
    VerifyRow{"query_plus_is_not_a_space", richRequest, [](Signed &s) { replace(s.query, "x%20y", "x+y"); },
        BceVerdict::BadSignature},
    VerifyRow{"host_rewritten", sdkRequest, [](Signed &s) { *s.header("Host") = "127.0.0.1:8290"; },
        BceVerdict::BadSignature},
    VerifyRow{"date_header", sdkRequest, [](Signed &s) { replace(*s.header("x-bce-date"), ":38Z", ":39Z"); },
        BceVerdict::BadSignature},
    VerifyRow{"signed_header_dropped", richRequest, [](Signed &s) { s.headers.erase(s.headers.begin() + 3); },
        BceVerdict::BadSignature},
    VerifyRow{"signed_header_emptied", richRequest, [](Signed &s) { *s.header("Content-MD5") = "  "; },
        BceVerdict::BadSignature},
    VerifyRow{"header_list_shortened", sdkRequest, authorizationPart(4, "content-type;host"),
        BceVerdict::BadSignature},
    VerifyRow{"timestamp_moved", sdkRequest, authorizationPart(2, "2026-12-07T11:28:37Z"),
        BceVerdict::BadSignature},
    VerifyRow{"expiration_lengthened", sdkRequest, authorizationPart(3, "1801"), BceVerdict::BadSignature},
    VerifyRow{"signature_digit", sdkRequest, [](Signed &s) { s.authorization.back() = '3'; },
        BceVerdict::BadSignature},
    VerifyRow{"wrong_secret_key", sdkRequest, [](Signed &s) { s.secretKey = "SK-tesT"; },
        BceVerdict::BadSignature},

    // Keys and time.
    VerifyRow{"wrong_api_key", sdkRequest, [](Signed &s) { s.apiKey = "AK-other"; }, BceVerdict::UnknownKey},
    VerifyRow{"api_key_prefix", sdkRequest, [](Signed &s) { s.apiKey = "AK-tes"; }, BceVerdict::UnknownKey},
    VerifyRow{"other_key_id_in_header", sdkRequest, authorizationPart(1, "AK-tesu"), BceVerdict::UnknownKey},
    VerifyRow{"expired", richRequest, [](Signed &s) { s.now = RichSignedAt + 601; }, BceVerdict::Expired},
    VerifyRow{"expired_long_ago", sdkRequest, [](Signed &s) { s.now = SdkSignedAt + 86400 * 400; },
        BceVerdict::Expired},
    VerifyRow{"from_the_future", richRequest, [](Signed &s) { s.now = RichSignedAt - BceLimits::clockSkew - 1; },
        BceVerdict::NotYetValid},

    // Not an authentication string this verifier will work on.
    VerifyRow{"empty", sdkRequest, [](Signed &s) { s.authorization.clear(); }, BceVerdict::Malformed},
    VerifyRow{"other_version", sdkRequest, authorizationPart(0, "bce-auth-v2"), BceVerdict::Malformed},
    VerifyRow{"part_missing", sdkRequest, [](Signed &s) {
        replace(s.authorization, "/1800/", "/"); }, BceVerdict::Malformed},
    VerifyRow{"part_extra", sdkRequest, [](Signed &s) { s.authorization += "/x"; }, BceVerdict::Malformed},
    VerifyRow{"bearer", sdkRequest, [](Signed &s) { s.authorization = "Bearer 24.abc"; }, BceVerdict::Malformed},
    VerifyRow{"empty_key_id", sdkRequest, authorizationPart(1, ""), BceVerdict::Malformed},
    VerifyRow{"month_13", sdkRequest, authorizationPart(2, "2026-13-07T11:28:38Z"), BceVerdict::Malformed},
    VerifyRow{"feb_29_no_leap_year", sdkRequest, authorizationPart(2, "2026-02-29T11:28:38Z"),
        BceVerdict::Malformed},
    VerifyRow{"timestamp_with_offset", sdkRequest, authorizationPart(2, "2026-12-07T11:28:38+00"),
        BceVerdict::Malformed},
    VerifyRow{"timestamp_lower_t", sdkRequest, authorizationPart(2, "2026-12-07t11:28:38Z"),
        BceVerdict::Malformed},
    VerifyRow{"expiration_zero", sdkRequest, authorizationPart(3, "0"), BceVerdict::Malformed},
    VerifyRow{"expiration_negative", sdkRequest, authorizationPart(3, "-1800"), BceVerdict::Malformed},
    VerifyRow{"expiration_beyond_bound", sdkRequest, authorizationPart(3, "2592001"), BceVerdict::Malformed},
    VerifyRow{"expiration_huge", sdkRequest, authorizationPart(3, "99999999999999999999"),
        BceVerdict::Malformed},
    VerifyRow{"signed_name_upper_case", sdkRequest, authorizationPart(4, "content-type;Host;x-bce-date"),
        BceVerdict::Malformed},
    VerifyRow{"signed_name_twice", sdkRequest, authorizationPart(4, "content-type;host;host"),
        BceVerdict::Malformed},
    VerifyRow{"signed_name_empty", sdkRequest, authorizationPart(4, "content-type;;host"), BceVerdict::Malformed},
    VerifyRow{"signed_authorization_itself", sdkRequest, authorizationPart(4, "authorization;host"),
        BceVerdict::Malformed},
    // Signed over no headers, or not over the host: it would hold for any service.
    VerifyRow{"no_signed_headers", sdkRequest, authorizationPart(4, ""), BceVerdict::Malformed},
    VerifyRow{"host_not_signed", sdkRequest, authorizationPart(4, "content-type;x-bce-date"), BceVerdict::Malformed},
    VerifyRow{"too_many_signed_names", sdkRequest, [](Signed &s) {
        std::string names;
        for (int i = 0; i <= int(BceLimits::maxSignedHeaders); ++i)
            names += "x-bce-h" + std::to_string(i) + (i < int(BceLimits::maxSignedHeaders) ? ";" : "");
        authorizationPart(4, names)(s); }, BceVerdict::Malformed},
    VerifyRow{"signature_upper_case", sdkRequest, authorizationPart(5,
        "22045C34751D55A5E9E0D3022D6D9D953A3E6B1A398CE7E4B83A98F89393AEB2"), BceVerdict::Malformed},
    VerifyRow{"signature_short", sdkRequest, [](Signed &s) { s.authorization.pop_back(); },
        BceVerdict::Malformed},
    VerifyRow{"authorization_overlong", sdkRequest, authorizationPart(1, std::string(BceLimits::maxAuthorization, 'k')),
        BceVerdict::Malformed},
    VerifyRow{"signed_header_twice_in_request", sdkRequest, [](Signed &s) {
        s.headers.push_back({"host", "evil.example"}); }, BceVerdict::Malformed},
    VerifyRow{"signed_header_value_overlong", sdkRequest, [](Signed &s) {
        *s.header("Content-Type") = std::string(BceLimits::maxHeaderValue + 1, 'a'); }, BceVerdict::Malformed},
    VerifyRow{"too_many_headers", sdkRequest, [](Signed &s) {
        s.headers.resize(BceLimits::maxHeaders + 1, {"x-filler", "1"}); }, BceVerdict::Malformed},
    VerifyRow{"path_bad_escape", sdkRequest, [](Signed &s) { s.path += "%G1"; }, BceVerdict::Malformed},
    VerifyRow{"path_relative", sdkRequest, [](Signed &s) { s.path.erase(0, 1); }, BceVerdict::Malformed},
    VerifyRow{"query_bad_escape", sdkRequest, [](Signed &s) { s.query += "&a=%4"; }, BceVerdict::Malformed},
    VerifyRow{"query_overlong", sdkRequest, [](Signed &s) { s.query += "&a=" + std::string(BceLimits::maxQuery, 'q'); },
        BceVerdict::Malformed},
    VerifyRow{"query_too_many_fields", sdkRequest, [](Signed &s) {
        for (size_t i = 0; i < BceLimits::maxQueryFields; ++i)
            s.query += "&f" + std::to_string(i) + "=1"; }, BceVerdict::Malformed},
    VerifyRow{"method_not_a_token", sdkRequest, [](Signed &s) { s.method = "PO ST"; }, BceVerdict::Malformed}),
    rowName<VerifyRow>);

TEST(BceScheme, RecognisedByItsPrefixOnly)
{
    EXPECT_TRUE(isBceAuthorization(sdkRequest().authorization));
    EXPECT_FALSE(isBceAuthorization("bce-auth-v1"));
    EXPECT_FALSE(isBceAuthorization("bce-auth-v10/x"));
    EXPECT_FALSE(isBceAuthorization("Bearer bce-auth-v1/x"));
}

// Forms and query strings, as the service reads both.
struct FormRow
{
    const char *name;
    const char *input;
    std::map<std::string, std::string> fields;
    int malformed;
};

class Form : public testing::TestWithParam<FormRow>
{
};

TEST_P(Form, Fields)
{
    int malformed = -1;
    EXPECT_EQ(parseForm(GetParam().input, &malformed), GetParam().fields);
    EXPECT_EQ(malformed, GetParam().malformed);
}

INSTANTIATE_TEST_SUITE_P(Rows, Form, testing::Values(
    // The SDK's token-mode query: the '?' and what follows belong to the value.
    FormRow{"sdk_token_query", "aipSdk=node&access_token=24.6b.1796642918.ab?aipSdk=node",
            {{"aipSdk", "node"}, {"access_token", "24.6b.1796642918.ab?aipSdk=node"}}, 0},
    FormRow{"question_mark_escaped", "access_token=24.x%3FaipSdk%3Dnode", {{"access_token", "24.x?aipSdk=node"}}, 0},
    FormRow{"sdk_body", "probability=true&detect_direction=true&image=aGVsbG8%2B%2Fw%3D%3D",
            {{"probability", "true"}, {"detect_direction", "true"}, {"image", "aGVsbG8+/w=="}}, 0},
    FormRow{"plus_is_space", "language_type=CHN+ENG&a+b=c", {{"language_type", "CHN ENG"}, {"a b", "c"}}, 0},
    FormRow{"first_of_repeated_wins", "paragraph=true&paragraph=false", {{"paragraph", "true"}}, 0},
    FormRow{"equals_inside_value", "image=ab==&x=1=2", {{"image", "ab=="}, {"x", "1=2"}}, 0},
    FormRow{"empty_fields_skipped", "&&flag&&v=1&", {{"flag", ""}, {"v", "1"}}, 0},
    FormRow{"bad_escapes_counted", "a=%zz&b=%4&c=ok&%=d", {{"c", "ok"}}, 3},
    FormRow{"empty", "", {}, 0}),
    rowName<FormRow>);

struct ComponentRow
{
    const char *name;
    std::string input;
    std::optional<std::string> decoded;
};

class FormComponent : public testing::TestWithParam<ComponentRow>
{
};

TEST_P(FormComponent, Decoded)
{
    EXPECT_EQ(decodeFormComponent(GetParam().input), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(Rows, FormComponent, testing::Values(
    ComponentRow{"utf8", "%E6%B5%8B%e8%af%95", std::string("\xE6\xB5\x8B\xE8\xAF\x95")},
    ComponentRow{"nul_byte", "a%00b", std::string("a\0b", 3)},
    ComponentRow{"plus_and_escaped_plus", "+%2B", std::string(" +")},
    ComponentRow{"literal_question_mark", "t?aipSdk=node", std::string("t?aipSdk=node")},
    ComponentRow{"escape_cut_short", "ab%4", std::nullopt},
    ComponentRow{"lone_percent", "%", std::nullopt},
    ComponentRow{"escape_not_hex", "%+1", std::nullopt}),
    rowName<ComponentRow>);

// --- clients and token key files ------------------------------------------------

struct ClientsRow
{
    const char *text;
    size_t clients;    // parsed; 0: refused
    const char *error; // the start of the reason when refused
};

void PrintTo(const ClientsRow &row, std::ostream *out)
{
    *out << testing::PrintToString(std::string(row.text));
}

class ClientsFile : public testing::TestWithParam<ClientsRow>
{
};

TEST_P(ClientsFile, ParsedOrRefusedByLine)
{
    const ClientsRow &row = GetParam();
    std::vector<ocrserver::Client> clients;
    std::string error;
    EXPECT_EQ(ocrserver::parseClients(row.text, &clients, &error), row.clients > 0) << error;
    EXPECT_EQ(clients.size(), row.clients);
    EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
    if (row.clients > 0) {
        EXPECT_EQ(clients.front().name, "desk-1");
        EXPECT_EQ(clients.front().apiKey, "k#1");
        EXPECT_EQ(clients.back().qps, row.clients == 2 ? 5 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ClientsFile, testing::Values(
        ClientsRow{"desk-1 k#1 s1", 1, ""},
        ClientsRow{"# desks\r\n\n  desk-1\tk#1  s1 # first floor\r\ndesk-2 k2 s2 5\n", 2, ""},
        ClientsRow{"# nobody\n", 0, "no clients"},
        ClientsRow{"desk-1 k1\n", 0, "line 1: wants NAME"},
        ClientsRow{"desk-1 k1 s1\ndesk-2 k2 s2 5 6", 0, "line 2: wants NAME"},
        ClientsRow{"desk/1 k1 s1", 0, "line 1: a name is"},
        ClientsRow{"desk-1 k1 s1 0", 0, "line 1: QPS wants"},
        ClientsRow{"desk-1 k1 s1 5x", 0, "line 1: QPS wants"},
        ClientsRow{"desk-1 k1 s1\ndesk-1 k2 s2", 0, "line 2: the name desk-1 is taken"},
        ClientsRow{"desk-1 k1 s1\ndesk-2 k1 s2", 0, "line 2: the API Key is"}));

TEST(TokenKeysFile, FirstSignsAllVerify)
{
    std::vector<std::string> keys;
    std::string error;
    const std::string a(32, 'a'), b(40, 'b');
    ASSERT_TRUE(ocrserver::parseTokenKeys("# new first\n" + a + "\r\n\n" + b + "\n", &keys, &error)) << error;
    EXPECT_EQ(keys, (std::vector<std::string>{a, b}));
    EXPECT_FALSE(ocrserver::parseTokenKeys(a + "\nshort\n", &keys, &error));
    EXPECT_EQ(error, "line 2: a token key must be at least 32 bytes");
    EXPECT_FALSE(ocrserver::parseTokenKeys("\n# none\n", &keys, &error));
}

// --- access tokens ---------------------------------------------------------------

// A token lives exactly its lifetime: valid up to the second before its
// expiry, expired from then on; other keys and clients never accept it.
TEST(Tokens, LiveExactlyTheirLifetime)
{
    const ocrserver::TokenSigner signer(std::string(32, 'k'), 10);
    const std::string token = signer.issue("client", 1000);
    using Verdict = ocrserver::TokenSigner::Verdict;
    const std::pair<std::int64_t, Verdict> times[] = {
        {1000, Verdict::Valid}, {1009, Verdict::Valid}, {1010, Verdict::Expired}, {999999, Verdict::Expired}};
    for (const auto &[now, verdict] : times)
        EXPECT_EQ(signer.check(token, "client", now), verdict) << "at " << now;
    EXPECT_EQ(signer.check(token, "other client", 1000), Verdict::Invalid);
    EXPECT_EQ(ocrserver::TokenSigner(std::string(32, 'x'), 10).check(token, "client", 1000), Verdict::Invalid);
    EXPECT_THROW(ocrserver::TokenSigner(std::string(31, 'k'), 10), std::invalid_argument);
    EXPECT_THROW(ocrserver::TokenSigner(std::string(32, 'k'), ocrserver::TokenSigner::MaxTtl + 1),
                 std::invalid_argument);
}

// Replicas roll keys: a token signed with a key still listed verifies, one
// whose key is gone does not. Tokens name a client by both its keys.
TEST(Tokens, RollWithTheKeysAndFollowTheClients)
{
    using Verdict = ocrserver::TokenSigner::Verdict;
    const std::string oldKey(32, 'o'), newKey(32, 'n');
    const ocrserver::Client a{"desk-a", "ka", "sa", 0}, b{"desk-b", "kb", "sb", 0};
    const ocrserver::Keyring before({a, b}, ocrserver::TokenSigner(oldKey, 60));
    const std::string tokenA = before.issue(a, 1000), tokenB = before.issue(b, 1000);
    const ocrserver::Client *whose = nullptr;
    ASSERT_EQ(before.check(tokenB, 1000, &whose), Verdict::Valid);
    EXPECT_EQ(whose->name, "desk-b");

    // Rolled to a new key with desk-b removed; desk-a with a new Secret Key (as desk-c).
    const ocrserver::Client c{"desk-c", "ka", "sc", 0};
    const ocrserver::Keyring rolled({a}, ocrserver::TokenSigner({newKey, oldKey}, 60));
    const ocrserver::Keyring renewed({c}, ocrserver::TokenSigner({newKey, oldKey}, 60));
    const ocrserver::Keyring retired({a}, ocrserver::TokenSigner(newKey, 60));
    const struct
    {
        const ocrserver::Keyring &keyring;
        std::string token;
        Verdict verdict;
        const char *client;
    } rows[] = {
        {rolled, tokenA, Verdict::Valid, "desk-a"},          // the old key still verifies
        {rolled, tokenB, Verdict::Invalid, ""},              // its client is gone
        {renewed, tokenA, Verdict::Invalid, ""},             // same API Key, new Secret Key
        {retired, tokenA, Verdict::Invalid, ""},             // the old key retired
        {retired, rolled.issue(a, 1000), Verdict::Valid, "desk-a"}, // the new key signs
        {rolled, before.issue(a, 900), Verdict::Expired, "desk-a"},
    };
    for (const auto &row : rows) {
        whose = nullptr;
        EXPECT_EQ(row.keyring.check(row.token, 1000, &whose), row.verdict) << row.token;
        EXPECT_EQ(whose ? whose->name : "", row.client) << row.token;
    }
}

TEST(Tokens, CompareInConstantTimeButCorrectly)
{
    EXPECT_TRUE(ocrserver::constantTimeEquals("secret", "secret"));
    for (const char *other : {"", "secre", "secret ", "Secret", "secreu"})
        EXPECT_FALSE(ocrserver::constantTimeEquals("secret", other)) << other;
}

} // namespace

// --- text lines: the detector's map, the recogniser's scores, reading order ------

namespace {

cv::Mat mapWith(const std::vector<cv::RotatedRect> &regions, float probability)
{
    cv::Mat map = cv::Mat::zeros(200, 320, CV_32F);
    for (const cv::RotatedRect &r : regions) {
        cv::Point2f corners[4];
        r.points(corners);
        std::vector<cv::Point> polygon(corners, corners + 4);
        cv::fillPoly(map, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(probability));
    }
    return map;
}

float runAngle(const Quad &q)
{
    return float(std::atan2(q[1].y - q[0].y, q[1].x - q[0].x) * 180 / M_PI);
}

} // namespace

struct MapRow
{
    const char *name;
    std::vector<cv::RotatedRect> regions;
    float probability;
    size_t lines;
    float angle;        // of the first line's top edge, degrees
    cv::Point2f topLeft; // of the first line, within 3 pixels; (-1, -1): not checked
};

class DetectorMap : public testing::TestWithParam<MapRow>
{
};

TEST_P(DetectorMap, Lines)
{
    const MapRow &row = GetParam();
    const std::vector<DetectedLine> lines = linesInProbabilityMap(mapWith(row.regions, row.probability));
    ASSERT_EQ(lines.size(), row.lines);
    if (lines.empty())
        return;
    const Quad &q = lines.front().quad;
    EXPECT_NEAR(runAngle(q), row.angle, 2.0);
    // Clockwise from the top left of the text, in image coordinates (y down).
    const float cross = (q[1] - q[0]).cross(q[3] - q[0]);
    EXPECT_GT(cross, 0) << "corners clockwise";
    if (row.topLeft.x >= 0) {
        EXPECT_NEAR(q[0].x, row.topLeft.x, 3) << "the core grows back by area x 1.6 / perimeter, ends by 0.15 height";
        EXPECT_NEAR(q[0].y, row.topLeft.y, 3);
    }
}

// A 200 x 20 core grows by 200 * 20 * 1.6 / 440 = 14.5 on every side, and its
// ends by 0.15 of the grown height (49) more.
INSTANTIATE_TEST_SUITE_P(Rows, DetectorMap, testing::Values(
    MapRow{"level_line", {cv::RotatedRect({140, 100}, {200, 20}, 0)}, 0.9f, 1, 0, {18.1f, 75.5f}},
    MapRow{"two_lines", {cv::RotatedRect({140, 50}, {200, 20}, 0), cv::RotatedRect({140, 150}, {200, 20}, 0)},
           0.9f, 2, 0, {-1, -1}},
    MapRow{"leaning_line", {cv::RotatedRect({160, 100}, {200, 16}, 20)}, 0.9f, 1, 20, {-1, -1}},
    // A column standing on end keeps the page's level reading: the crop lays it down.
    MapRow{"standing_column", {cv::RotatedRect({160, 100}, {16, 150}, 0)}, 0.9f, 1, 0, {-1, -1}},
    MapRow{"faint_region", {cv::RotatedRect({140, 100}, {200, 20}, 0)}, 0.4f, 0, 0, {-1, -1}},
    MapRow{"speck", {cv::RotatedRect({140, 100}, {2, 2}, 0)}, 0.9f, 0, 0, {-1, -1}}),
    rowName<MapRow>);

struct CtcRow
{
    const char *name;
    std::vector<int> best; // the most likely class at each time step
    std::string text;
    int firstStep, lastStep; // of the first symbol
};

class Ctc : public testing::TestWithParam<CtcRow>
{
};

TEST_P(Ctc, Decoded)
{
    const CtcRow &row = GetParam();
    const std::vector<std::string> dictionary = {"a", "b", "\xE4\xB8\xAD"}; // then a space: class 4
    cv::Mat scores(int(row.best.size()), 5, CV_32F, cv::Scalar(0.025f));
    for (size_t t = 0; t < row.best.size(); ++t)
        scores.at<float>(int(t), row.best[t]) = 0.9f;
    const std::vector<DecodedSymbol> symbols = decodeCtc(scores, dictionary);
    std::string text;
    for (const DecodedSymbol &s : symbols) {
        text += s.text;
        EXPECT_FLOAT_EQ(s.probability, 0.9f);
    }
    EXPECT_EQ(text, row.text);
    if (!symbols.empty()) {
        EXPECT_EQ(symbols.front().firstStep, row.firstStep);
        EXPECT_EQ(symbols.front().lastStep, row.lastStep);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Ctc, testing::Values(
    CtcRow{"repeats_are_one", {0, 1, 1, 1, 0, 2}, "ab", 1, 3},
    CtcRow{"a_blank_parts_a_double", {1, 0, 1}, "aa", 0, 0},
    CtcRow{"spaces_once_and_not_at_the_ends", {4, 1, 4, 0, 4, 2, 4, 4}, "a b", 1, 1},
    CtcRow{"dictionary_entries_as_written", {3, 3, 0, 3}, "\xE4\xB8\xAD\xE4\xB8\xAD", 0, 1},
    CtcRow{"all_blank", {0, 0, 0}, "", 0, 0}),
    rowName<CtcRow>);

struct OrderRow
{
    const char *name;
    std::vector<cv::RotatedRect> lines;
    float angle;
    std::vector<int> order;
};

class LineOrder : public testing::TestWithParam<OrderRow>
{
};

TEST_P(LineOrder, TopToBottomLeftToRight)
{
    std::vector<LineOutline> outlines;
    for (const cv::RotatedRect &r : GetParam().lines)
        outlines.push_back(outlineOf(orderedCorners(r, GetParam().angle)));
    EXPECT_EQ(readingOrder(outlines, GetParam().angle), GetParam().order);
}

INSTANTIATE_TEST_SUITE_P(Rows, LineOrder, testing::Values(
    // Two blocks side by side share their rows, a little out of step.
    OrderRow{"side_by_side", {cv::RotatedRect({300, 44}, {150, 20}, 0), cv::RotatedRect({80, 40}, {150, 20}, 0),
                              cv::RotatedRect({80, 70}, {150, 20}, 0), cv::RotatedRect({300, 74}, {150, 20}, 0)},
             0, {1, 0, 2, 3}},
    // A page turned 10 degrees: the end of the first line lies lower than
    // the start of the second, and still reads before it.
    OrderRow{"leaning_page", {cv::RotatedRect({100, 80}, {200, 20}, 10), cv::RotatedRect({100, 50}, {200, 20}, 10),
                              cv::RotatedRect({250, 76.4f}, {80, 20}, 10)},
             10, {1, 2, 0}},
    // Running text in two columns between a heading and a running foot: column by column.
    OrderRow{"two_columns_of_running_text",
             {cv::RotatedRect({340, 10}, {640, 20}, 0), cv::RotatedRect({170, 40}, {300, 20}, 0),
              cv::RotatedRect({510, 40}, {300, 20}, 0), cv::RotatedRect({170, 70}, {300, 20}, 0),
              cv::RotatedRect({510, 70}, {300, 20}, 0), cv::RotatedRect({160, 100}, {280, 20}, 0),
              cv::RotatedRect({510, 100}, {300, 20}, 0), cv::RotatedRect({340, 140}, {640, 20}, 0)},
             0, {0, 1, 3, 5, 2, 4, 6, 7}},
    // A table's short cells share rows even as its columns line up.
    OrderRow{"table_cells_read_across",
             {cv::RotatedRect({50, 40}, {60, 20}, 0), cv::RotatedRect({200, 40}, {60, 20}, 0),
              cv::RotatedRect({350, 40}, {90, 20}, 0), cv::RotatedRect({50, 70}, {60, 20}, 0),
              cv::RotatedRect({200, 70}, {60, 20}, 0), cv::RotatedRect({350, 70}, {90, 20}, 0),
              cv::RotatedRect({50, 100}, {60, 20}, 0), cv::RotatedRect({200, 100}, {60, 20}, 0),
              cv::RotatedRect({350, 100}, {90, 20}, 0)},
             0, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
    // Cells of a table slanting 8 degrees that the page's lean missed: each
    // row rises 21 pixels over 150, more than half a line, as the long
    // lines above and below it do.
    OrderRow{"slanted_cells_follow_the_long_lines",
             {cv::RotatedRect({200, 20}, {380, 20}, -8), cv::RotatedRect({50, 90}, {60, 20}, -8),
              cv::RotatedRect({200, 69}, {60, 20}, -8), cv::RotatedRect({350, 48}, {60, 20}, -8),
              cv::RotatedRect({54, 120}, {60, 20}, -8), cv::RotatedRect({204, 99}, {60, 20}, -8),
              cv::RotatedRect({354, 78}, {60, 20}, -8), cv::RotatedRect({200, 160}, {380, 20}, -8)},
             0, {0, 1, 2, 3, 4, 5, 6, 7}},
    // A line beneath another is never its neighbour in a row, however close.
    OrderRow{"stacked_lines_are_rows",
             {cv::RotatedRect({150, 48}, {260, 20}, 0), cv::RotatedRect({150, 40}, {200, 20}, 0)}, 0, {1, 0}}),
    rowName<OrderRow>);

// A synthetic line of type: each letter a block of ink 10 pixels wide, "1"
// a narrow one between wider gaps, a space a word's gap, "," a low comma.
struct SetLine
{
    cv::Mat grey;
    std::vector<DecodedSymbol> symbols; // as a recogniser that missed every space reads it
};

SetLine setLine(const std::string &text, int margin, float stepWidth)
{
    SetLine line;
    line.grey = cv::Mat(48, 8 + margin + int(text.size()) * 16, CV_8U, cv::Scalar(255));
    int x = 8;
    for (char c : text) {
        if (c == ' ') {
            x += 16;
            continue;
        }
        const int width = c == '1' ? 4 : c == ',' ? 3 : 10, before = c == '1' ? 5 : 0;
        const cv::Rect ink(x + before, c == ',' ? 32 : 10, width, c == ',' ? 8 : 28);
        line.grey(ink).setTo(0);
        const float middle = float(ink.x) + float(ink.width) / 2 + (c == ',' ? 6.0f : 0.0f); // read late
        const int step = int(middle / stepWidth);
        line.symbols.push_back({std::string(1, c), step, step, 0.9f});
        x = ink.x + ink.width + before + 3;
    }
    line.grey = line.grey.colRange(0, x + margin);
    return line;
}

struct GapRow
{
    const char *name;
    std::string text;
    int margin;          // paper after the line
    std::string spaced;  // as spaceWords gives it back
    int widest;          // pieces no wider than this; 0: not cut
};

class InkGaps : public testing::TestWithParam<GapRow>
{
};

TEST_P(InkGaps, SpacesAndCuts)
{
    const GapRow &row = GetParam();
    const float stepWidth = 4;
    SetLine line = setLine(row.text, row.margin, stepWidth);
    spaceWords(line.symbols, line.grey, stepWidth);
    std::string text;
    for (const DecodedSymbol &s : line.symbols)
        text += s.text;
    EXPECT_EQ(text, row.spaced);
    if (row.widest == 0)
        return;
    // Cut only between words, and never more often than the width asks.
    const std::vector<int> cuts = cutsAtInkGaps(line.grey, row.widest);
    int start = 0;
    for (int cut : cuts) {
        EXPECT_LE(cut - start, row.widest);
        EXPECT_EQ(cv::countNonZero(255 - line.grey.col(cut)), 0) << "cut through ink at " << cut;
        start = cut;
    }
    EXPECT_LE(line.grey.cols - start, row.widest);
    EXPECT_LE(cuts.size(), size_t(line.grey.cols / (row.widest / 2)));
}

INSTANTIATE_TEST_SUITE_P(Rows, InkGaps, testing::Values(
    GapRow{"words_apart", "ab cd ef", 8, "ab cd ef", 0},
    // The paper after the last word is no gap between letters.
    GapRow{"wide_right_margin", "ab cd ef", 600, "ab cd ef", 0},
    GapRow{"tight_letters_stay_together", "abcdef", 8, "abcdef", 0},
    GapRow{"comma_read_on_the_gap_after_it", "ab, cd", 8, "ab, cd", 0},
    GapRow{"a_number_keeps_its_narrow_figure", "201220 ab", 8, "201220 ab", 0},
    GapRow{"long_line_cut_between_words", "abcd efgh ijkl mnop qrst uvwx abcd efgh ijkl mnop", 8,
           "abcd efgh ijkl mnop qrst uvwx abcd efgh ijkl mnop", 150},
    GapRow{"line_within_the_widest_is_not_cut", "abcd efgh", 8, "abcd efgh", 400}),
    rowName<GapRow>);

// A line's core bent into an arc (its ends `rise` pixels above its middle):
// the outline follows it, and the strip cut along it holds the line level.
struct BendRow
{
    const char *name;
    float rise;
    bool followsTheBend; // more than the two corners of a straight line
};

class BentLines : public testing::TestWithParam<BendRow>
{
};

TEST_P(BentLines, ComeOutLevel)
{
    const BendRow &row = GetParam();
    cv::Mat map = cv::Mat::zeros(200, 400, CV_32F), picture(200, 400, CV_8U, cv::Scalar(255));
    const auto middleAt = [&](float x) { const float off = (x - 200) / 160; return 110 - row.rise * off * off; };
    for (int x = 40; x <= 360; ++x) {
        const int y = int(std::lround(middleAt(float(x))));
        map(cv::Range(y - 5, y + 5), cv::Range(x, x + 1)).setTo(0.9f); // the detector's shrunk core
        picture(cv::Range(y - 8, y + 8), cv::Range(x, x + 1)).setTo(0); // the line's ink
    }
    const std::vector<DetectedLine> lines = linesInProbabilityMap(map);
    ASSERT_EQ(lines.size(), 1u);
    const LineStrip strip(lines.front().outline);
    EXPECT_EQ(strip.outline().top.size() > 2, row.followsTheBend) << strip.outline().top.size() << " samples";
    // The ink's middle in each column of the strip, away from its ends, keeps to one height.
    const cv::Mat cut = strip.cut(picture);
    float low = 1e9f, high = -1e9f;
    for (int x = cut.cols / 6; x < cut.cols * 5 / 6; ++x) {
        const cv::Mat ink = 255 - cut.col(x);
        const cv::Moments m = cv::moments(ink);
        ASSERT_GT(m.m00, 0) << "no ink at " << x;
        low = std::min(low, float(m.m01 / m.m00));
        high = std::max(high, float(m.m01 / m.m00));
    }
    EXPECT_LE(high - low, 0.15f * float(cut.rows)) << "the strip's line wanders from " << low << " to " << high;
    // And the strip's middle lies on the line's middle in the picture.
    const cv::Point2f centre = strip.toPicture({float(strip.width()) / 2, float(strip.height()) / 2});
    EXPECT_NEAR(centre.y, middleAt(centre.x), 3);
}

INSTANTIATE_TEST_SUITE_P(Rows, BentLines, testing::Values(
    BendRow{"level", 0, false},
    BendRow{"barely_bent_stays_a_rectangle", 1, false},
    BendRow{"ends_curving_up", 30, true},
    BendRow{"ends_curving_down", -30, true}),
    rowName<BendRow>);

// --- a page's share of the cores --------------------------------------------------

struct ThreadsRow
{
    const char *name;
    int cores, threadsInUse, waiting, idleWorkers;
    int threads;
};

class PageThreads : public testing::TestWithParam<ThreadsRow>
{
};

TEST_P(PageThreads, NeverMoreThanTheIdleCores)
{
    const ThreadsRow &r = GetParam();
    EXPECT_EQ(threadsForPage(r.cores, r.threadsInUse, r.waiting, r.idleWorkers), r.threads);
}

INSTANTIATE_TEST_SUITE_P(Rows, PageThreads, testing::Values(
    ThreadsRow{"alone_on_two_cores", 2, 0, 0, 1, 2},
    ThreadsRow{"beside_a_page_on_one_thread", 2, 1, 0, 0, 1},
    // The second gets one; the pool then takes one back from the first.
    ThreadsRow{"beside_a_page_on_both_cores", 2, 2, 0, 0, 1},
    ThreadsRow{"one_waiting_for_the_idle_worker", 2, 0, 1, 1, 1},
    // Waiting for this very worker: nobody else will take them now.
    ThreadsRow{"waiting_with_no_idle_worker", 4, 1, 3, 0, 3},
    ThreadsRow{"eight_cores_three_pages_at_once", 8, 0, 2, 3, 2},
    ThreadsRow{"more_waiting_than_cores", 4, 0, 9, 9, 1},
    ThreadsRow{"one_core", 1, 0, 0, 3, 1},
    ThreadsRow{"cores_overbooked", 2, 5, 0, 1, 1}),
    rowName<ThreadsRow>);

struct TakeBackRow
{
    const char *name;
    int cores;
    std::vector<int> running;
    std::size_t newest;
    std::vector<int> after;
};

class ThreadsTakenBack : public testing::TestWithParam<TakeBackRow>
{
};

TEST_P(ThreadsTakenBack, WithinTheCoresNewestKeepsItsOwn)
{
    const TakeBackRow &r = GetParam();
    std::vector<int> threads = r.running;
    takeBackThreads(r.cores, threads, r.newest);
    EXPECT_EQ(threads, r.after);
}

INSTANTIATE_TEST_SUITE_P(Rows, ThreadsTakenBack, testing::Values(
    TakeBackRow{"second_page_beside_one_on_both_cores", 2, {2, 1}, 1, {1, 1}},
    TakeBackRow{"within_the_cores_nothing_changes", 4, {2, 1, 0}, 1, {2, 1, 0}},
    TakeBackRow{"from_the_page_with_most_first", 6, {2, 4, 1}, 2, {2, 3, 1}},
    TakeBackRow{"down_to_one_each_and_no_further", 2, {3, 3, 2}, 2, {1, 1, 2}},
    TakeBackRow{"the_newest_gives_nothing", 2, {1, 1, 3}, 2, {1, 1, 3}}),
    rowName<TakeBackRow>);

struct IndexRow
{
    const char *name;
    std::size_t count;
    int threads;
    long lowerAt; // the index whose body takes threads back; -1: none
    int lowerTo;
    long throwAt; // -1: none
};

class IndexesOnThreads : public testing::TestWithParam<IndexRow>
{
};

TEST_P(IndexesOnThreads, EachOnceWhateverIsTakenBack)
{
    const IndexRow &r = GetParam();
    std::atomic<int> allowed{r.threads};
    const ReadingStop stop{nullptr, nullptr, std::chrono::steady_clock::now() + std::chrono::minutes(1), &allowed};
    std::vector<std::atomic<int>> seen(r.count);
    std::atomic<int> highestThread{-1};
    const auto body = [&](std::size_t i, int t) {
        volatile double busy = 0; // long enough for the threads to take turns
        for (int k = 0; k < 20000; ++k)
            busy = busy + std::sqrt(double(k));
        ++seen[i];
        highestThread = std::max(highestThread.load(), t);
        if (long(i) == r.lowerAt)
            allowed = r.lowerTo;
        if (long(i) == r.throwAt)
            throw std::runtime_error("a broken line");
    };
    if (r.throwAt >= 0) {
        EXPECT_THROW(forEachIndex(r.count, r.threads, stop, body), std::runtime_error);
        for (std::size_t i = 0; i < r.count; ++i)
            EXPECT_LE(seen[i].load(), 1) << "index " << i;
        return;
    }
    forEachIndex(r.count, r.threads, stop, body);
    for (std::size_t i = 0; i < r.count; ++i)
        EXPECT_EQ(seen[i].load(), 1) << "index " << i;
    EXPECT_LT(highestThread.load(), std::max(1, std::min(r.threads, int(r.count))));
}

INSTANTIATE_TEST_SUITE_P(Rows, IndexesOnThreads, testing::Values(
    IndexRow{"one_thread", 7, 1, -1, 0, -1},
    IndexRow{"four_threads", 60, 4, -1, 0, -1},
    IndexRow{"more_threads_than_indexes", 2, 8, -1, 0, -1},
    IndexRow{"no_indexes", 0, 4, -1, 0, -1},
    IndexRow{"taken_back_to_one_midway", 60, 4, 9, 1, -1},
    IndexRow{"taken_back_to_two_at_the_first", 60, 3, 0, 2, -1},
    IndexRow{"a_body_throws", 60, 4, -1, 0, 20}),
    rowName<IndexRow>);
