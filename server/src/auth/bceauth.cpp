// SPDX-License-Identifier: MIT
#include "auth/bceauth.h"

#include "parse/form.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <string>

namespace ocrserver {

namespace {

constexpr std::string_view Scheme = "bce-auth-v1";

using Limits = BceLimits;

bool isUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
            || c == '_' || c == '~';
}

// RFC 7230 token characters: what a header name or a method may hold.
bool isTokenChar(unsigned char c)
{
    return isUnreserved(c) || std::string_view("!#$%&'*+^`|").find(char(c)) != std::string_view::npos;
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// %XX escapes only: in a URL '+' is itself, not a space.
bool percentDecode(std::string_view text, std::string *out)
{
    auto decoded = decodeUrlComponent(text);
    if (decoded)
        *out = std::move(*decoded);
    return decoded.has_value();
}

// UriEncode of the algorithm: RFC 3986 unreserved characters kept, every
// other byte as %XX in capitals; '/' kept only where asked (the path).
void uriEncode(std::string_view text, bool keepSlash, std::string *out)
{
    static const char digits[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte) || (keepSlash && c == '/')) {
            *out += c;
        } else {
            *out += '%';
            *out += digits[byte >> 4];
            *out += digits[byte & 15];
        }
    }
}

std::string_view trim(std::string_view text)
{
    constexpr std::string_view space = " \t\r\n\v\f";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

bool parseDigits(std::string_view text, std::int64_t *value)
{
    if (text.empty() || text.size() > 12)
        return false;
    std::int64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day)
{
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// yyyy-mm-ddThh:mm:ssZ, UTC, nothing else.
bool parseTimestamp(std::string_view text, std::int64_t *unixSeconds)
{
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i])
            return false;
    }
    std::int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    parseDigits(text.substr(0, 4), &year);
    parseDigits(text.substr(5, 2), &month);
    parseDigits(text.substr(8, 2), &day);
    parseDigits(text.substr(11, 2), &hour);
    parseDigits(text.substr(14, 2), &minute);
    parseDigits(text.substr(17, 2), &second);
    static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] || (month == 2 && day == 29 && !leap)
        || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    *unixSeconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

bool hmacSha256Hex(std::string_view key, std::string_view data, std::string *hex)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(data.data()),
              data.size(), mac, &length)) {
        return false;
    }
    static const char digits[] = "0123456789abcdef";
    hex->clear();
    for (unsigned int i = 0; i < length; ++i) {
        *hex += digits[mac[i] >> 4];
        *hex += digits[mac[i] & 15];
    }
    return true;
}

bool sameBytes(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

struct Authorization
{
    std::string_view prefix; // bce-auth-v1/{ak}/{timestamp}/{expiration}: the signing key's input
    std::string_view accessKey;
    std::int64_t timestamp = 0;
    std::int64_t expiration = 0;
    std::vector<std::string_view> signedHeaders;
    std::string_view signature;
};

bool parseAuthorization(std::string_view text, Authorization *out)
{
    if (text.size() > Limits::maxAuthorization)
        return false;
    const std::vector<std::string_view> parts = split(text, '/');
    if (parts.size() != 6 || parts[0] != Scheme)
        return false;
    out->accessKey = parts[1];
    if (out->accessKey.empty()
        || !std::all_of(out->accessKey.begin(), out->accessKey.end(), [](char c) { return c > ' ' && c < 127; })) {
        return false;
    }
    if (!parseTimestamp(parts[2], &out->timestamp) || !parseDigits(parts[3], &out->expiration)
        || out->expiration < 1 || out->expiration > Limits::maxExpiration) {
        return false;
    }
    out->prefix = text.substr(0, size_t(parts[4].data() - text.data()) - 1);

    out->signedHeaders.clear();
    if (!parts[4].empty()) {
        out->signedHeaders = split(parts[4], ';');
        if (out->signedHeaders.size() > Limits::maxSignedHeaders)
            return false;
        for (size_t i = 0; i < out->signedHeaders.size(); ++i) {
            const std::string_view name = out->signedHeaders[i];
            const bool wellFormed = !name.empty() && name.size() <= 64
                    && std::all_of(name.begin(), name.end(), [](char c) {
                           return isTokenChar(static_cast<unsigned char>(c)) && !(c >= 'A' && c <= 'Z');
                       });
            if (!wellFormed || name == "authorization"
                || std::find(out->signedHeaders.begin(), out->signedHeaders.begin() + long(i), name)
                        != out->signedHeaders.begin() + long(i)) {
                return false;
            }
        }
    }

    // The contract signs at least the host: a signature over no headers
    // would hold for the same request sent to any other service.
    if (std::find(out->signedHeaders.begin(), out->signedHeaders.end(), "host") == out->signedHeaders.end())
        return false;

    out->signature = parts[5];
    return out->signature.size() == 64
            && std::all_of(out->signature.begin(), out->signature.end(),
                           [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

enum class Built { Ok, Malformed, Mismatch };

// The canonical parts list their entries sorted, one separator between.
void appendSorted(std::vector<std::string> &entries, char separator, std::string *out)
{
    std::sort(entries.begin(), entries.end());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i)
            *out += separator;
        *out += entries[i];
    }
}

Built canonicalQuery(std::string_view query, std::string *out)
{
    if (query.size() > Limits::maxQuery)
        return Built::Malformed;
    std::vector<std::string> fields;
    std::string key, value;
    for (const std::string_view field : split(query, '&')) {
        if (field.empty())
            continue;
        if (fields.size() == Limits::maxQueryFields)
            return Built::Malformed;
        const size_t eq = field.find('=');
        if (!percentDecode(field.substr(0, eq), &key)
            || !percentDecode(eq == std::string_view::npos ? std::string_view() : field.substr(eq + 1), &value)) {
            return Built::Malformed;
        }
        // A signature carried in the query is not part of what it signs.
        if (equalsIgnoringCase(key, "authorization"))
            continue;
        std::string encoded;
        uriEncode(key, false, &encoded);
        encoded += '=';
        uriEncode(value, false, &encoded);
        fields.push_back(std::move(encoded));
    }
    appendSorted(fields, '&', out);
    return Built::Ok;
}

Built canonicalHeaders(const std::vector<HeaderField> &headers, const std::vector<std::string_view> &signedNames,
                       std::string *out)
{
    if (headers.size() > Limits::maxHeaders)
        return Built::Malformed;
    std::vector<std::string> lines;
    for (const std::string_view name : signedNames) {
        const HeaderField *found = nullptr;
        for (const HeaderField &header : headers) {
            if (!equalsIgnoringCase(header.name, name))
                continue;
            // Two values under one signed name: which one was signed is anyone's guess.
            if (found)
                return Built::Malformed;
            found = &header;
        }
        // A signer skips empty headers; one listed but absent was changed on the way.
        const std::string_view value = found ? trim(found->value) : std::string_view();
        if (value.empty())
            return Built::Mismatch;
        if (value.size() > Limits::maxHeaderValue)
            return Built::Malformed;
        std::string line;
        uriEncode(name, false, &line);
        line += ':';
        uriEncode(value, false, &line);
        lines.push_back(std::move(line));
    }
    appendSorted(lines, '\n', out);
    return Built::Ok;
}

} // namespace

bool isBceAuthorization(std::string_view authorization)
{
    return authorization.size() > Scheme.size() && authorization.substr(0, Scheme.size()) == Scheme
            && authorization[Scheme.size()] == '/';
}

std::string_view bceAccessKey(std::string_view authorization)
{
    if (!isBceAuthorization(authorization))
        return {};
    const std::string_view rest = authorization.substr(Scheme.size() + 1);
    return rest.substr(0, rest.find('/'));
}

BceVerdict verifyBceAuthorization(const BceRequest &request, std::string_view authorization,
                                  const BceCredentials &credentials, std::int64_t now)
{
    Authorization auth;
    if (!parseAuthorization(authorization, &auth))
        return BceVerdict::Malformed;
    if (credentials.apiKey.empty() || !sameBytes(auth.accessKey, credentials.apiKey))
        return BceVerdict::UnknownKey;
    if (now > auth.timestamp + auth.expiration)
        return BceVerdict::Expired;
    if (auth.timestamp > now + Limits::clockSkew)
        return BceVerdict::NotYetValid;

    const std::string_view method = request.method;
    if (method.empty() || method.size() > 16
        || !std::all_of(method.begin(), method.end(),
                        [](char c) { return isTokenChar(static_cast<unsigned char>(c)); })) {
        return BceVerdict::Malformed;
    }
    if (request.path.size() > Limits::maxPath || (!request.path.empty() && request.path.front() != '/'))
        return BceVerdict::Malformed;

    std::string canonical;
    for (const char c : method)
        canonical += c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    canonical += '\n';
    std::string path;
    if (!percentDecode(request.path, &path))
        return BceVerdict::Malformed;
    if (path.empty())
        path = "/";
    uriEncode(path, true, &canonical);
    canonical += '\n';
    if (canonicalQuery(request.query, &canonical) == Built::Malformed)
        return BceVerdict::Malformed;
    canonical += '\n';
    switch (canonicalHeaders(request.headers, auth.signedHeaders, &canonical)) {
    case Built::Malformed:
        return BceVerdict::Malformed;
    case Built::Mismatch:
        return BceVerdict::BadSignature;
    case Built::Ok:
        break;
    }
    if (canonical.size() > Limits::maxCanonicalRequest)
        return BceVerdict::Malformed;

    std::string signingKey, expected;
    if (!hmacSha256Hex(credentials.secretKey, auth.prefix, &signingKey)
        || !hmacSha256Hex(signingKey, canonical, &expected)) {
        return BceVerdict::BadSignature;
    }
    return sameBytes(expected, auth.signature) ? BceVerdict::Valid : BceVerdict::BadSignature;
}

const char *bceVerdictName(BceVerdict verdict)
{
    switch (verdict) {
    case BceVerdict::Valid: return "valid";
    case BceVerdict::Malformed: return "malformed";
    case BceVerdict::UnknownKey: return "unknown access key";
    case BceVerdict::Expired: return "expired";
    case BceVerdict::NotYetValid: return "from the future";
    case BceVerdict::BadSignature: return "bad signature";
    }
    return "?";
}

} // namespace ocrserver
