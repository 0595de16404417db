// SPDX-License-Identifier: MIT
// Access tokens as clients send them back: forged, truncated or spliced
// from a real one. None may verify but the one the signer issued, and none
// may make the check throw.
#include "auth/tokens.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using ocrserver::TokenSigner;
    static const TokenSigner signer(std::string(32, 'k'), 3600);
    static const std::string issued = signer.issue("client", 0);
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    for (const std::string &token : {std::string(text), issued.substr(0, issued.size() / 2) + std::string(text)}) {
        if (signer.check(token, "client", 1000) == TokenSigner::Verdict::Valid && token != issued)
            __builtin_trap();
    }
    return 0;
}
