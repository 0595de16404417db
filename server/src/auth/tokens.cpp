// SPDX-License-Identifier: MIT
#include "auth/tokens.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace ocrserver {

namespace {

const char Prefix[] = "24.";

std::string toHex(const unsigned char *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

bool fromHex(const std::string &hex, std::string *out)
{
    if (hex.size() % 2)
        return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const auto nibble = [](char c) {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        };
        const int hi = nibble(hex[i]);
        const int lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        *out += char(hi * 16 + lo);
    }
    return true;
}

} // namespace

bool constantTimeEquals(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

TokenSigner::TokenSigner(std::string key, std::int64_t ttlSeconds)
    : m_key(std::move(key))
    , m_ttl(ttlSeconds)
{
}

std::string TokenSigner::randomKey()
{
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("no random numbers for the token key");
    return toHex(bytes, sizeof bytes);
}

std::string TokenSigner::sign(const std::string &payload) const
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), m_key.data(), int(m_key.size()),
         reinterpret_cast<const unsigned char *>(payload.data()), payload.size(), mac, &length);
    return toHex(mac, length);
}

std::string TokenSigner::issue(const std::string &clientId, std::int64_t now) const
{
    const std::string payload = Prefix
            + toHex(reinterpret_cast<const unsigned char *>(clientId.data()), clientId.size()) + '.'
            + std::to_string(now + m_ttl);
    return payload + '.' + sign(payload);
}

TokenSigner::Verdict TokenSigner::check(const std::string &token, const std::string &clientId,
                                        std::int64_t now) const
{
    const size_t macDot = token.rfind('.');
    if (token.compare(0, sizeof Prefix - 1, Prefix) != 0 || macDot == std::string::npos)
        return Verdict::Invalid;
    const std::string payload = token.substr(0, macDot);
    if (!constantTimeEquals(sign(payload), token.substr(macDot + 1)))
        return Verdict::Invalid;

    // Signed by us: the fields are well formed.
    const size_t expiryDot = payload.rfind('.');
    std::string signedClient;
    if (!fromHex(payload.substr(sizeof Prefix - 1, expiryDot - (sizeof Prefix - 1)), &signedClient)
        || !constantTimeEquals(signedClient, clientId)) {
        return Verdict::Invalid;
    }
    const std::int64_t expiry = std::stoll(payload.substr(expiryDot + 1));
    return now < expiry ? Verdict::Valid : Verdict::Expired;
}

} // namespace ocrserver
