// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_FORM_H
#define VIRELTO_SERVER_FORM_H

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace ocrserver {

// application/x-www-form-urlencoded: '+' is a space, %XX a byte. Returns
// nothing for a malformed escape.
std::optional<std::string> decodeFormComponent(std::string_view text);

// The same for a URL's path or query as RFC 3986 reads them: only %XX
// escapes, '+' is itself.
std::optional<std::string> decodeUrlComponent(std::string_view text);

// The fields of a form body (or a query string); the first of repeated
// names wins. Malformed fields are kept out and counted in *malformed.
std::map<std::string, std::string> parseForm(std::string_view body, int *malformed = nullptr);

// The same, or nothing when the body has more than maxFields fields: a
// field of four bytes costs a map entry of a hundred, so a capped count is
// what keeps a form's memory and time near its size.
std::optional<std::map<std::string, std::string>> parseFormAtMost(std::string_view body, std::size_t maxFields);

// The raw (still encoded) value of one field, without decoding the rest:
// the image field is large and is measured before it is decoded.
std::optional<std::string_view> rawFormField(std::string_view body, std::string_view name);

} // namespace ocrserver

#endif
