// SPDX-License-Identifier: MIT
// Form bodies and query strings as clients send them, the SDK's literal '?'
// after a token included.
#include "parse/form.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    int malformed = 0;
    const auto fields = ocrserver::parseForm(text, &malformed);
    // Nothing is made up: a decoded form is never longer than what came in.
    for (const auto &[name, value] : fields)
        if (name.size() + value.size() > text.size())
            __builtin_trap();
    ocrserver::rawFormField(text, "image");
    ocrserver::decodeFormComponent(text);
    return 0;
}
