// SPDX-License-Identifier: MIT
#ifndef REDACTION_H
#define REDACTION_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

// Keeps the Secret Key and access tokens out of the log and off the screen.
namespace Redaction {

inline constexpr char Mask[] = "***";

// url with the values of client_secret and access_token replaced by the mask.
QUrl url(const QUrl &url);

// The decoded values of url's client_secret and access_token items.
QStringList secretValues(const QUrl &url);

// text with each of values (of six characters or more) masked wherever it
// appears, in its plain, percent-encoded, form-encoded and JSON-escaped spellings.
QString values(const QString &text, const QStringList &values);

// text (a log line or one of Qt's error texts, which may quote the request
// address) with url's secret query values masked, however they are spelled.
QString text(const QString &text, const QUrl &url);

// A reply body fit for the log: the value of every access_token,
// refresh_token, session_key and session_secret member masked at any depth,
// however its name is escaped, also in JSON that is cut off or malformed;
// in text that is not JSON, whatever looks like a secret query item too; and
// each of knownSecrets wherever it appears. Every other byte stays as it came.
QByteArray replyBody(const QByteArray &body, const QStringList &knownSecrets);

} // namespace Redaction

#endif // REDACTION_H
