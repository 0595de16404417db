// SPDX-License-Identifier: MIT
#ifndef SERVICEADDRESS_H
#define SERVICEADDRESS_H

#include <QString>
#include <QUrl>

// Where the OCR service lives. The host can be replaced through the
// environment so that the program can talk to a local or self-hosted
// service; credentials must never go anywhere else by accident.
namespace ServiceAddress {

inline constexpr char EnvironmentVariable[] = "VIRELTO_API_BASE_URL";
inline constexpr char DefaultBaseUrl[] = "https://aip.baidubce.com";
inline constexpr char TokenPath[] = "/oauth/2.0/token";
inline constexpr char OcrPath[] = "/rest/2.0/ocr/v1/accurate_basic";

// Checks an override: https to any host, plain http to loopback hosts only,
// an optional path prefix, nothing else. Empty (or blank) means the default.
// Returns an empty QUrl and fills *error when the value may not be used.
QUrl parseBaseUrl(const QString &value, QString *error = nullptr);

// The override from the environment, or the default.
QUrl baseUrlFromEnvironment(QString *error = nullptr);

// The endpoint's full address under base, parsed tolerantly.
QUrl endpoint(const QUrl &base, const char *path);

// A query value encoded so that it reaches the service exactly as given:
// QUrlQuery alone leaves '+' (read as a space by form decoders), '&' and '='.
QString encodedQueryValue(const QString &value);

} // namespace ServiceAddress

#endif // SERVICEADDRESS_H
