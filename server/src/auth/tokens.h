// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_TOKENS_H
#define VIRELTO_SERVER_TOKENS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ocrserver {

// Stateless access tokens: a key id and the expiry, signed with HMAC-SHA256
// under a server key. Replicas that share the key accept each other's
// tokens without a shared store. The key id is itself an HMAC of the
// client's identity (its keys), so a token does not reveal them. Several
// keys may verify: the first signs, so that replicas can roll to a new key
// while the old one's tokens live on.
class TokenSigner
{
public:
    enum class Verdict { Valid, Invalid, Expired };

    static constexpr std::size_t MinKeyLength = 32;
    static constexpr std::int64_t MaxTtl = 10LL * 365 * 24 * 3600;

    // keys: at least one, each at least MinKeyLength bytes; ttlSeconds: 1 ... MaxTtl.
    TokenSigner(std::vector<std::string> keys, std::int64_t ttlSeconds);
    TokenSigner(std::string key, std::int64_t ttlSeconds);

    std::int64_t ttl() const { return m_ttl; }
    std::size_t keyCount() const { return m_keys.size(); }
    std::string issue(std::string_view clientId, std::int64_t now) const;
    Verdict check(std::string_view token, std::string_view clientId, std::int64_t now) const;
    // Without a client in mind: the verdict, and for a token some key
    // signed, that key's index and the key id the token carries.
    Verdict check(std::string_view token, std::int64_t now, std::size_t *keyIndex, std::string *keyId) const;
    // The key id a client's tokens carry under one of the keys.
    std::string keyId(std::string_view clientId, std::size_t keyIndex) const;

    // A fresh random key, for a single server that needs no shared key.
    static std::string randomKey();

private:
    std::string mac(std::string_view payload, std::size_t keyIndex) const;

    std::vector<std::string> m_keys;
    std::int64_t m_ttl;
};

// Equality whose time does not depend on where, or whether, the texts differ.
bool constantTimeEquals(std::string_view a, std::string_view b);

} // namespace ocrserver

#endif
