// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_TOKENS_H
#define VIRELTO_SERVER_TOKENS_H

#include <cstdint>
#include <string>

namespace ocrserver {

// Stateless access tokens: the client id and the expiry, signed with
// HMAC-SHA256 under a server key. Replicas that share the key accept each
// other's tokens without a shared store.
class TokenSigner
{
public:
    enum class Verdict { Valid, Invalid, Expired };

    TokenSigner(std::string key, std::int64_t ttlSeconds);

    std::int64_t ttl() const { return m_ttl; }
    std::string issue(const std::string &clientId, std::int64_t now) const;
    Verdict check(const std::string &token, const std::string &clientId, std::int64_t now) const;

    // A fresh random key, for a single server that needs no shared key.
    static std::string randomKey();

private:
    std::string sign(const std::string &payload) const;

    std::string m_key;
    std::int64_t m_ttl;
};

// Equality that takes the same time wherever the two texts differ.
bool constantTimeEquals(const std::string &a, const std::string &b);

} // namespace ocrserver

#endif
