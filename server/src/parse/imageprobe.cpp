// SPDX-License-Identifier: MIT
#include "parse/imageprobe.h"

#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>

namespace ocrserver {

namespace {

std::uint32_t bigEndian32(std::string_view d, size_t at)
{
    return std::uint32_t(std::uint8_t(d[at])) << 24 | std::uint32_t(std::uint8_t(d[at + 1])) << 16
            | std::uint32_t(std::uint8_t(d[at + 2])) << 8 | std::uint8_t(d[at + 3]);
}

std::uint16_t bigEndian16(std::string_view d, size_t at)
{
    return std::uint16_t(std::uint8_t(d[at]) << 8 | std::uint8_t(d[at + 1]));
}

std::uint32_t littleEndian32(std::string_view d, size_t at)
{
    return std::uint32_t(std::uint8_t(d[at])) | std::uint32_t(std::uint8_t(d[at + 1])) << 8
            | std::uint32_t(std::uint8_t(d[at + 2])) << 16 | std::uint32_t(std::uint8_t(d[at + 3])) << 24;
}

std::optional<ImageHeader> probeJpeg(std::string_view d)
{
    size_t at = 2;
    while (at + 4 <= d.size()) {
        if (std::uint8_t(d[at]) != 0xff)
            return std::nullopt;
        const std::uint8_t marker = std::uint8_t(d[at + 1]);
        if (marker == 0xff) { // fill byte
            ++at;
            continue;
        }
        if (marker == 0xd8 || marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
            at += 2; // markers without a length
            continue;
        }
        const std::uint16_t length = bigEndian16(d, at + 2);
        if (length < 2)
            return std::nullopt;
        const bool startOfFrame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8
                && marker != 0xcc;
        if (startOfFrame) {
            if (at + 9 > d.size())
                return std::nullopt;
            return ImageHeader{bigEndian16(d, at + 7), bigEndian16(d, at + 5)};
        }
        if (marker == 0xd9 || marker == 0xda) // end of image, or scan data before any frame
            return std::nullopt;
        at += 2 + length;
    }
    return std::nullopt;
}

} // namespace

std::optional<ImageHeader> probeImage(std::string_view d)
{
    if (d.size() >= 24 && d.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8)
        && d.substr(12, 4) == "IHDR") {
        return ImageHeader{long(bigEndian32(d, 16)), long(bigEndian32(d, 20))};
    }
    if (d.size() >= 4 && std::uint8_t(d[0]) == 0xff && std::uint8_t(d[1]) == 0xd8)
        return probeJpeg(d);
    if (d.size() >= 26 && d.substr(0, 2) == "BM") {
        const std::uint32_t dibSize = littleEndian32(d, 14);
        if (dibSize == 12) {
            return ImageHeader{long(std::uint8_t(d[18]) | std::uint8_t(d[19]) << 8),
                               long(std::uint8_t(d[20]) | std::uint8_t(d[21]) << 8)};
        }
        if (dibSize >= 40) {
            const auto height = std::int32_t(littleEndian32(d, 22)); // negative: top-down rows
            return ImageHeader{long(std::int32_t(littleEndian32(d, 18))),
                               std::labs(long(height))};
        }
    }
    return std::nullopt;
}

std::optional<std::string> decodeBase64(std::string_view text)
{
    if (text.empty() || text.size() % 4 != 0)
        return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                        reinterpret_cast<const unsigned char *>(text.data()), int(text.size()));
    if (written < 0)
        return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=')
        ++padding;
    out.resize(size_t(written) - padding);
    return out;
}

} // namespace ocrserver
