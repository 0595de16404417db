// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_CLIENTS_H
#define VIRELTO_SERVER_CLIENTS_H

#include "auth/tokens.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ocrserver {

// One desk (or program) allowed in, with keys of its own.
struct Client
{
    std::string name; // for the log and the figures: letters, digits, '.', '_', '-'
    std::string apiKey;
    std::string secretKey;
    int qps = 0; // its own requests-per-second limit; 0: none
};

// A clients file: one client per line, "NAME API_KEY SECRET_KEY [QPS]",
// fields separated by white space, '#' starting a comment. False, with the
// line and what is wrong in error (never a key), when the text is not one.
bool parseClients(std::string_view text, std::vector<Client> *clients, std::string *error);

// A token keys file: one key per line, the first signs; blank lines and
// lines starting with '#' are skipped.
bool parseTokenKeys(std::string_view text, std::vector<std::string> *keys, std::string *error);

// The clients and the token keys in force, looked up by what a request
// carries. Tokens are bound to both of a client's keys: a new Secret Key
// (or a client removed) ends the client's tokens.
class Keyring
{
public:
    Keyring(std::vector<Client> clients, TokenSigner signer);

    const std::vector<Client> &clients() const { return m_clients; }
    const TokenSigner &signer() const { return m_signer; }

    const Client *byApiKey(std::string_view apiKey) const;
    std::string issue(const Client &client, std::int64_t now) const;
    // The verdict on a token and, unless invalid, whose it is.
    TokenSigner::Verdict check(std::string_view token, std::int64_t now, const Client **client) const;

private:
    static std::string identity(const Client &client);

    std::vector<Client> m_clients;
    TokenSigner m_signer;
    std::unordered_map<std::string, std::size_t> m_byApiKey;
    std::vector<std::unordered_map<std::string, std::size_t>> m_byKeyId; // per token key
};

} // namespace ocrserver

#endif
