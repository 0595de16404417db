// SPDX-License-Identifier: MIT
#ifndef REDACTION_H
#define REDACTION_H

#include <QByteArray>
#include <QString>
#include <QUrl>

// Keeps the Secret Key and access tokens out of the log and off the screen.
namespace Redaction {

inline constexpr char Mask[] = "***";

// url with the values of client_secret and access_token replaced by the mask.
QUrl url(const QUrl &url);

// text (a log line or one of Qt's error texts, which may quote the request
// address) with every spelling of url's secret query values masked.
QString text(const QString &text, const QUrl &url);

// A token endpoint reply with the values of its secret members masked.
QByteArray tokenResponse(const QByteArray &body);

} // namespace Redaction

#endif // REDACTION_H
