// SPDX-License-Identifier: MIT
#include "auth/tokens.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <charconv>
#include <stdexcept>

namespace ocrserver {

namespace {

const char Prefix[] = "24.";
constexpr std::size_t KeyIdBytes = 12;

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

} // namespace

bool constantTimeEquals(std::string_view a, std::string_view b)
{
    // Digests of equal length are compared instead of the texts, so that
    // neither a length mismatch nor the first differing byte shows in the time.
    unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
    unsigned int la = 0, lb = 0;
    EVP_Digest(a.data(), a.size(), da, &la, EVP_sha256(), nullptr);
    EVP_Digest(b.data(), b.size(), db, &lb, EVP_sha256(), nullptr);
    return int(CRYPTO_memcmp(da, db, la) == 0) & int(a.size() == b.size());
}

TokenSigner::TokenSigner(std::vector<std::string> keys, std::int64_t ttlSeconds)
    : m_keys(std::move(keys))
    , m_ttl(ttlSeconds)
{
    if (m_keys.empty())
        throw std::invalid_argument("no token key");
    for (const std::string &key : m_keys)
        if (key.size() < MinKeyLength)
            throw std::invalid_argument("the token key must be at least 32 bytes");
    if (m_ttl < 1 || m_ttl > MaxTtl)
        throw std::invalid_argument("the token lifetime must be 1 second to 10 years");
}

TokenSigner::TokenSigner(std::string key, std::int64_t ttlSeconds)
    : TokenSigner(std::vector<std::string>{std::move(key)}, ttlSeconds)
{
}

std::string TokenSigner::randomKey()
{
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("no random numbers for the token key");
    return toHex(bytes, sizeof bytes);
}

std::string TokenSigner::mac(std::string_view payload, std::size_t keyIndex) const
{
    const std::string &key = m_keys[keyIndex];
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(payload.data()),
         payload.size(), digest, &length);
    return toHex(digest, length);
}

std::string TokenSigner::keyId(std::string_view clientId, std::size_t keyIndex) const
{
    std::string input = "client-id:";
    input += clientId;
    return mac(input, keyIndex).substr(0, 2 * KeyIdBytes);
}

std::string TokenSigner::issue(std::string_view clientId, std::int64_t now) const
{
    const std::string payload = Prefix + keyId(clientId, 0) + '.' + std::to_string(now + m_ttl);
    return payload + '.' + mac(payload, 0);
}

TokenSigner::Verdict TokenSigner::check(std::string_view token, std::int64_t now, std::size_t *keyIndex,
                                        std::string *keyIdOut) const
{
    // 24.<key id>.<expiry>.<mac>
    const size_t macDot = token.rfind('.');
    if (token.substr(0, sizeof Prefix - 1) != Prefix || macDot == std::string_view::npos)
        return Verdict::Invalid;
    const std::string_view payload = token.substr(0, macDot);
    std::size_t signer = 0;
    while (signer < m_keys.size() && !constantTimeEquals(mac(payload, signer), token.substr(macDot + 1)))
        ++signer;
    if (signer == m_keys.size())
        return Verdict::Invalid;

    // Signed by a holder of the key, but checked all the same: a key shared
    // with an older or a foreign signer may have signed other shapes.
    const std::string_view fields = payload.substr(sizeof Prefix - 1);
    const size_t expiryDot = fields.find('.');
    if (expiryDot == std::string_view::npos || expiryDot != 2 * KeyIdBytes)
        return Verdict::Invalid;
    const std::string_view expiryText = fields.substr(expiryDot + 1);
    std::int64_t expiry = 0;
    const auto [end, error] = std::from_chars(expiryText.data(), expiryText.data() + expiryText.size(), expiry);
    if (error != std::errc() || end != expiryText.data() + expiryText.size() || expiryText.empty())
        return Verdict::Invalid;
    *keyIndex = signer;
    *keyIdOut = std::string(fields.substr(0, expiryDot));
    return now < expiry ? Verdict::Valid : Verdict::Expired;
}

TokenSigner::Verdict TokenSigner::check(std::string_view token, std::string_view clientId, std::int64_t now) const
{
    std::size_t keyIndex = 0;
    std::string carried;
    const Verdict verdict = check(token, now, &keyIndex, &carried);
    if (verdict == Verdict::Invalid || !constantTimeEquals(carried, keyId(clientId, keyIndex)))
        return Verdict::Invalid;
    return verdict;
}

} // namespace ocrserver
