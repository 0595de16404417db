// SPDX-License-Identifier: MIT
// Request bytes through the HTTP core's parser set-up (head limit, body
// limit applied once the head is read, chunked bodies) and the log's path
// escaping.
#include "http/httpserver.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    constexpr std::size_t BodyLimit = 4096;
    ocrserver::http::RequestParser parser;
    ocrserver::http::prepareParser(parser, 16 * 1024);
    parser.eager(false);
    boost::beast::error_code ec;
    std::size_t used = parser.put(boost::asio::buffer(data, size), ec);
    if (ec || !parser.is_header_done())
        return 0;
    const std::string line = ocrserver::http::loggablePath(parser.get().target());
    for (const char c : line)
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) >= 0x7f)
            __builtin_trap(); // a byte that could forge or break a log line
    if (!ocrserver::http::limitBody(parser, BodyLimit))
        return 0; // refused before any of the body is read
    parser.eager(true);
    while (!ec && used < size && !parser.is_done())
        used += parser.put(boost::asio::buffer(data + used, size - used), ec);
    if (parser.get().body().size() > BodyLimit)
        __builtin_trap(); // the limit did not hold
    return 0;
}
