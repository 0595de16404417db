// SPDX-License-Identifier: MIT
// The image field on its way in: Base64, then the header probe that decides
// whether a picture may be decoded at all.
#include "parse/imageprobe.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    ocrserver::probeImage(text);
    if (const auto bytes = ocrserver::decodeBase64(text)) {
        if (bytes->size() > text.size() / 4 * 3)
            __builtin_trap(); // more bytes than Base64 can carry
        ocrserver::probeImage(*bytes);
    }
    return 0;
}
