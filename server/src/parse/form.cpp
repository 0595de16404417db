// SPDX-License-Identifier: MIT
#include "parse/form.h"

namespace ocrserver {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

template<typename Visit>
void forEachField(std::string_view body, Visit visit)
{
    while (!body.empty()) {
        const size_t amp = body.find('&');
        const std::string_view field = body.substr(0, amp);
        body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
        if (field.empty())
            continue;
        const size_t eq = field.find('=');
        const std::string_view name = field.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : field.substr(eq + 1);
        if (!visit(name, value))
            return;
    }
}

std::optional<std::string> percentDecoded(std::string_view text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+' && plusIsSpace) {
            out += ' ';
        } else if (c == '%') {
            const int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += char(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

std::optional<std::string> decodeFormComponent(std::string_view text)
{
    return percentDecoded(text, true);
}

std::optional<std::string> decodeUrlComponent(std::string_view text)
{
    return percentDecoded(text, false);
}

std::map<std::string, std::string> parseForm(std::string_view body, int *malformed)
{
    std::map<std::string, std::string> fields;
    int bad = 0;
    forEachField(body, [&](std::string_view name, std::string_view value) {
        auto key = decodeFormComponent(name);
        auto decoded = decodeFormComponent(value);
        if (key && decoded)
            fields.emplace(std::move(*key), std::move(*decoded));
        else
            ++bad;
        return true;
    });
    if (malformed)
        *malformed = bad;
    return fields;
}

std::optional<std::map<std::string, std::string>> parseFormAtMost(std::string_view body, std::size_t maxFields)
{
    std::size_t count = 0;
    forEachField(body, [&](std::string_view, std::string_view) { return ++count <= maxFields; });
    if (count > maxFields)
        return std::nullopt;
    return parseForm(body);
}

std::optional<std::string_view> rawFormField(std::string_view body, std::string_view name)
{
    std::optional<std::string_view> found;
    forEachField(body, [&](std::string_view key, std::string_view value) {
        if (key != name)
            return true;
        found = value;
        return false;
    });
    return found;
}

} // namespace ocrserver
