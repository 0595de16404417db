// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_BCEAUTH_H
#define VIRELTO_SERVER_BCEAUTH_H

#include <cstdint>
#include <string_view>
#include <vector>

namespace ocrserver {

// Requests signed with the cloud's "authentication string":
//   Authorization: bce-auth-v1/{accessKeyId}/{timestamp}/{expirationPeriodInSeconds}/{signedHeaders}/{signature}
// signature = HMAC-SHA256-HEX(HMAC-SHA256-HEX(secret, prefix), canonical request), where the
// canonical request is the method, the path, the sorted query and the signed headers, each
// percent-encoded. The body is not signed.

struct HeaderField
{
    std::string_view name; // any case
    std::string_view value;
};

// The request as received: nothing decoded, nothing rewritten. The signed
// headers are taken from here, so a Host naming the cloud still verifies.
struct BceRequest
{
    std::string_view method;
    std::string_view path;  // still percent-encoded, without the query
    std::string_view query; // after the first '?', as sent; empty if none
    std::vector<HeaderField> headers;
};

struct BceCredentials
{
    std::string_view apiKey;
    std::string_view secretKey;
};

enum class BceVerdict {
    Valid,
    Malformed,    // not a bce-auth-v1 string, beyond the bounds below, or not signing the host
    UnknownKey,   // signed with another access key id
    Expired,      // now is past timestamp + expiration
    NotYetValid,  // timestamp ahead of now by more than the clock skew allowed
    BadSignature, // wrong secret, or the request changed after signing
};

// Bounds on what an untrusted request may make the verifier do.
struct BceLimits
{
    static constexpr size_t maxAuthorization = 2048;
    static constexpr size_t maxPath = 4096;
    static constexpr size_t maxQuery = 8192;
    static constexpr size_t maxQueryFields = 64;
    static constexpr size_t maxSignedHeaders = 16;
    static constexpr size_t maxHeaders = 128;       // looked through for the signed ones
    static constexpr size_t maxHeaderValue = 4096;  // of a signed header
    static constexpr size_t maxCanonicalRequest = 64 * 1024;
    static constexpr std::int64_t maxExpiration = 30 * 24 * 3600; // no longer than a token lives
    static constexpr std::int64_t clockSkew = 300;
};

// Checks one request; now is in unix seconds. Pure: no I/O, no clock.
BceVerdict verifyBceAuthorization(const BceRequest &request, std::string_view authorization,
                                  const BceCredentials &credentials, std::int64_t now);

// Whether an Authorization value claims this scheme (and so should be
// verified rather than looked at as something else).
bool isBceAuthorization(std::string_view authorization);

// The access key id a bce-auth-v1 value names (which client's keys verify
// it); empty when there is none.
std::string_view bceAccessKey(std::string_view authorization);

// A short name for logs ("valid", "expired", ...).
const char *bceVerdictName(BceVerdict verdict);

} // namespace ocrserver

#endif
