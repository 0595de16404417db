// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_IMAGEPROBE_H
#define VIRELTO_SERVER_IMAGEPROBE_H

#include <optional>
#include <string>
#include <string_view>

namespace ocrserver {

struct ImageHeader
{
    long width;
    long height;
};

// Format and size read from the file header alone, so that an image that
// claims to be huge is refused before anything is decoded. Nothing for data
// that is not a PNG, JPEG or BMP with a readable header.
std::optional<ImageHeader> probeImage(std::string_view data);

// Standard Base64 (padding required, no line breaks); nothing if malformed.
std::optional<std::string> decodeBase64(std::string_view text);

} // namespace ocrserver

#endif
