// SPDX-License-Identifier: MIT
#include "redaction.h"

#include <QRegularExpression>
#include <QUrlQuery>

namespace Redaction {

namespace {

bool isSecretItem(const QString &key)
{
    return key == QLatin1String("client_secret") || key == QLatin1String("access_token");
}

} // namespace

QUrl url(const QUrl &url)
{
    if (!url.hasQuery())
        return url;
    QUrlQuery query(url);
    auto items = query.queryItems(QUrl::FullyEncoded);
    for (auto &item : items) {
        if (isSecretItem(item.first))
            item.second = QLatin1String(Mask);
    }
    query.setQueryItems(items);
    QUrl masked(url);
    masked.setQuery(query);
    return masked;
}

QString text(const QString &text, const QUrl &url)
{
    const QUrl masked = Redaction::url(url);
    QString result = text;
    // Qt quotes request addresses in several spellings; mask each exactly.
    const QUrl::FormattingOptions forms[] = {
        QUrl::PrettyDecoded, QUrl::FullyEncoded, QUrl::FullyDecoded,
    };
    for (const auto form : forms) {
        const QString spelled = url.toString(form);
        if (!spelled.isEmpty())
            result.replace(spelled, masked.toString(form));
    }
    result.replace(url.toDisplayString(), masked.toDisplayString());

    // Anything else that still looks like a secret query item.
    static const QRegularExpression leftover(
            QStringLiteral("\\b(client_secret|access_token)=(?!\\*\\*\\*(?:[&\\s]|$))[^&\\s]*"));
    result.replace(leftover, QStringLiteral("\\1=") + QLatin1String(Mask));
    return result;
}

QByteArray tokenResponse(const QByteArray &body)
{
    static const QRegularExpression secretMember(QStringLiteral(
            "(\"(?:access_token|refresh_token|session_key|session_secret)\"\\s*:\\s*\")"
            "(?:[^\"\\\\]|\\\\.)*\""));
    QString text = QString::fromUtf8(body);
    text.replace(secretMember, QStringLiteral("\\1") + QLatin1String(Mask) + QLatin1Char('"'));
    return text.toUtf8();
}

} // namespace Redaction
