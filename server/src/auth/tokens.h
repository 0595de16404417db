// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_TOKENS_H
#define VIRELTO_SERVER_TOKENS_H

#include <cstdint>
#include <string>
#include <string_view>

namespace ocrserver {

// Stateless access tokens: a key id and the expiry, signed with HMAC-SHA256
// under a server key. Replicas that share the key accept each other's
// tokens without a shared store. The key id is itself an HMAC of the API
// Key, so a token does not reveal the key it was issued for.
class TokenSigner
{
public:
    enum class Verdict { Valid, Invalid, Expired };

    static constexpr std::size_t MinKeyLength = 32;
    static constexpr std::int64_t MaxTtl = 10LL * 365 * 24 * 3600;

    // key: at least MinKeyLength bytes; ttlSeconds: 1 ... MaxTtl.
    TokenSigner(std::string key, std::int64_t ttlSeconds);

    std::int64_t ttl() const { return m_ttl; }
    std::string issue(std::string_view clientId, std::int64_t now) const;
    Verdict check(std::string_view token, std::string_view clientId, std::int64_t now) const;

    // A fresh random key, for a single server that needs no shared key.
    static std::string randomKey();

private:
    std::string mac(std::string_view payload) const;
    std::string keyId(std::string_view clientId) const;

    std::string m_key;
    std::int64_t m_ttl;
};

// Equality whose time does not depend on where, or whether, the texts differ.
bool constantTimeEquals(std::string_view a, std::string_view b);

} // namespace ocrserver

#endif
