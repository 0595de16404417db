// SPDX-License-Identifier: MIT
#include "auth/clients.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>

namespace ocrserver {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// A line's fields up to a '#' that starts one.
std::vector<std::string_view> fieldsOf(std::string_view line)
{
    std::vector<std::string_view> fields;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && isBlank(line[at]))
            ++at;
        if (at == line.size() || line[at] == '#')
            break;
        const size_t start = at;
        while (at < line.size() && !isBlank(line[at]))
            ++at;
        fields.push_back(line.substr(start, at - start));
    }
    return fields;
}

bool goodName(std::string_view name)
{
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

template<class Visit>
void eachLine(std::string_view text, Visit visit)
{
    int number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        ++number;
        if (!visit(number, text.substr(0, end)))
            return;
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
}

} // namespace

bool parseClients(std::string_view text, std::vector<Client> *clients, std::string *error)
{
    clients->clear();
    error->clear();
    std::set<std::string_view> names, apiKeys;
    eachLine(text, [&](int number, std::string_view line) {
        const auto fields = fieldsOf(line);
        if (fields.empty())
            return true;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (fields.size() < 3 || fields.size() > 4) {
            *error = where + "wants NAME API_KEY SECRET_KEY [QPS], not " + std::to_string(fields.size()) + " fields";
            return false;
        }
        Client client{std::string(fields[0]), std::string(fields[1]), std::string(fields[2]), 0};
        if (!goodName(client.name)) {
            *error = where + "a name is 1 to 64 letters, digits, '.', '_' or '-'";
            return false;
        }
        if (fields.size() == 4) {
            const auto q = fields[3];
            const auto [end, bad] = std::from_chars(q.data(), q.data() + q.size(), client.qps);
            if (bad != std::errc() || end != q.data() + q.size() || client.qps < 1 || client.qps > 1000000) {
                *error = where + "QPS wants a whole number from 1 to 1000000";
                return false;
            }
        }
        if (!names.insert(fields[0]).second) {
            *error = where + "the name " + client.name + " is taken by an earlier line";
            return false;
        }
        if (!apiKeys.insert(fields[1]).second) {
            *error = where + "the API Key is an earlier line's too";
            return false;
        }
        clients->push_back(std::move(client));
        return true;
    });
    if (error->empty() && clients->empty())
        *error = "no clients in it";
    if (!error->empty())
        clients->clear(); // all or nothing
    return error->empty();
}

bool parseTokenKeys(std::string_view text, std::vector<std::string> *keys, std::string *error)
{
    keys->clear();
    error->clear();
    eachLine(text, [&](int number, std::string_view line) {
        while (!line.empty() && isBlank(line.back()))
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            return true;
        if (line.size() < TokenSigner::MinKeyLength) {
            *error = "line " + std::to_string(number) + ": a token key must be at least 32 bytes";
            return false;
        }
        keys->emplace_back(line);
        return true;
    });
    if (error->empty() && keys->empty())
        *error = "no token key in it";
    if (!error->empty())
        keys->clear();
    return error->empty();
}

Keyring::Keyring(std::vector<Client> clients, TokenSigner signer)
    : m_clients(std::move(clients))
    , m_signer(std::move(signer))
    , m_byKeyId(m_signer.keyCount())
{
    for (std::size_t i = 0; i < m_clients.size(); ++i) {
        m_byApiKey.emplace(m_clients[i].apiKey, i);
        for (std::size_t k = 0; k < m_signer.keyCount(); ++k)
            m_byKeyId[k].emplace(m_signer.keyId(identity(m_clients[i]), k), i);
    }
}

std::string Keyring::identity(const Client &client)
{
    // Length first: no two pairs of keys make the same text.
    return std::to_string(client.apiKey.size()) + ':' + client.apiKey + client.secretKey;
}

const Client *Keyring::byApiKey(std::string_view apiKey) const
{
    const auto found = m_byApiKey.find(std::string(apiKey));
    return found == m_byApiKey.end() ? nullptr : &m_clients[found->second];
}

std::string Keyring::issue(const Client &client, std::int64_t now) const
{
    return m_signer.issue(identity(client), now);
}

TokenSigner::Verdict Keyring::check(std::string_view token, std::int64_t now, const Client **client) const
{
    std::size_t keyIndex = 0;
    std::string keyId;
    const TokenSigner::Verdict verdict = m_signer.check(token, now, &keyIndex, &keyId);
    if (verdict == TokenSigner::Verdict::Invalid)
        return verdict;
    const auto found = m_byKeyId[keyIndex].find(keyId);
    if (found == m_byKeyId[keyIndex].end())
        return TokenSigner::Verdict::Invalid;
    *client = &m_clients[found->second];
    return verdict;
}

} // namespace ocrserver
