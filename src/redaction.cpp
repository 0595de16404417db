// SPDX-License-Identifier: MIT
#include "redaction.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>
#include <QUrlQuery>

#include <algorithm>

namespace Redaction {

namespace {

const char *const SecretMembers[] = {"access_token", "refresh_token", "session_key", "session_secret"};

// Shorter values are too common as text to mask outside the request
// address (a one-letter test secret would garble every message); no real
// key or token is that short.
constexpr int MinimumMaskedLength = 6;

bool isSecretItem(const QString &key)
{
    return key == QLatin1String("client_secret") || key == QLatin1String("access_token");
}

bool isSecretMember(const QString &name)
{
    return std::any_of(std::begin(SecretMembers), std::end(SecretMembers),
                       [&name](const char *member) { return name == QLatin1String(member); });
}

QJsonValue maskedMembers(const QJsonValue &value)
{
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            it.value() = isSecretMember(it.key()) ? QJsonValue(QLatin1String(Mask)) : maskedMembers(it.value());
        return object;
    }
    if (value.isArray()) {
        QJsonArray array = value.toArray();
        for (auto it = array.begin(); it != array.end(); ++it)
            *it = maskedMembers(*it);
        return array;
    }
    return value;
}

// "name": "value" in text that is not valid JSON (a cut-off reply, say),
// with the name's characters possibly written as \u00XX escapes.
const QRegularExpression &secretMemberPattern()
{
    static const QRegularExpression pattern = [] {
        QStringList names;
        for (const char *member : SecretMembers) {
            QString name;
            for (const char *c = member; *c; ++c) {
                name += QStringLiteral("(?:%1|\\\\u00%2)")
                                .arg(QRegularExpression::escape(QString(QLatin1Char(*c))))
                                .arg(int(uchar(*c)), 2, 16, QLatin1Char('0'));
            }
            names << name;
        }
        return QRegularExpression(QStringLiteral("(\"(?:%1)\"\\s*:\\s*\")(?:[^\"\\\\]|\\\\.)*\"?")
                                          .arg(names.join(QLatin1Char('|'))),
                                  QRegularExpression::CaseInsensitiveOption);
    }();
    return pattern;
}

// client_secret=... or access_token=... that no known value accounted for.
QString maskQueryLike(QString text)
{
    static const QRegularExpression leftover(
            QStringLiteral("\\b(client_secret|access_token)=(?!\\*\\*\\*(?:[&\\s]|$))[^&\\s]*"));
    text.replace(leftover, QStringLiteral("\\1=") + QLatin1String(Mask));
    return text;
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

QStringList secretValues(const QUrl &url)
{
    QStringList found;
    const auto items = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    for (const auto &item : items) {
        if (isSecretItem(item.first) && !item.second.isEmpty())
            found << item.second;
    }
    return found;
}

QString values(const QString &text, const QStringList &values)
{
    QStringList spellings;
    for (const QString &value : values) {
        if (value.size() < MinimumMaskedLength)
            continue;
        spellings << value;
        const QByteArray percent = QUrl::toPercentEncoding(value);
        spellings << QString::fromLatin1(percent) << QString::fromLatin1(QByteArray(percent).replace("%20", "+"));
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("v"), QString::fromLatin1(percent));
        for (const auto form : {QUrl::PrettyDecoded, QUrl::FullyEncoded, QUrl::FullyDecoded})
            spellings << query.query(form).mid(2);
        const QByteArray json = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        spellings << QString::fromUtf8(json.mid(2, json.size() - 4));
    }
    // Longest first, so that no part of a longer spelling is left behind.
    std::sort(spellings.begin(), spellings.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    spellings.removeDuplicates();

    QString result = text;
    for (const QString &spelling : qAsConst(spellings)) {
        if (!spelling.isEmpty())
            result.replace(spelling, QLatin1String(Mask));
    }
    return result;
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

    // The values themselves wherever else they appear (spaces included),
    // then anything else that still looks like a secret query item.
    return maskQueryLike(values(result, secretValues(url)));
}

QByteArray replyBody(const QByteArray &body, const QStringList &knownSecrets)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error == QJsonParseError::NoError && !doc.isNull()) {
        // The parsed names count, whatever escapes the reply spelled them with.
        const QJsonValue masked = maskedMembers(doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array()));
        const QJsonDocument maskedDoc = masked.isObject() ? QJsonDocument(masked.toObject())
                                                          : QJsonDocument(masked.toArray());
        return values(QString::fromUtf8(maskedDoc.toJson(QJsonDocument::Compact)), knownSecrets).toUtf8();
    }
    // Known values first: a pattern cannot tell where a value with spaces ends.
    QString text = values(QString::fromUtf8(body), knownSecrets);
    text.replace(secretMemberPattern(), QStringLiteral("\\1") + QLatin1String(Mask) + QLatin1Char('"'));
    return maskQueryLike(text).toUtf8();
}

} // namespace Redaction
