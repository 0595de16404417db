// SPDX-License-Identifier: MIT
// The bce-auth-v1 Authorization header and the request parts it signs.
// The input is split at NUL bytes: authorization, path, query, then header
// name/value pairs.
#include "auth/bceauth.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view rest(reinterpret_cast<const char *>(data), size);
    std::vector<std::string_view> parts;
    while (!rest.empty() && parts.size() < 64) {
        const size_t nul = rest.find('\0');
        parts.push_back(rest.substr(0, nul));
        rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
    }
    while (parts.size() < 3)
        parts.emplace_back();

    ocrserver::BceRequest request;
    request.method = "POST";
    request.path = parts[1];
    request.query = parts[2];
    for (size_t i = 3; i + 1 < parts.size(); i += 2)
        request.headers.push_back({parts[i], parts[i + 1]});
    const ocrserver::BceCredentials credentials{"ak", "sk"};
    ocrserver::isBceAuthorization(parts[0]);
    ocrserver::verifyBceAuthorization(request, parts[0], credentials, 1796428800);
    return 0;
}
