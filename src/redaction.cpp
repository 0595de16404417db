// SPDX-License-Identifier: MIT
#include "redaction.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
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

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Whether the text of a JSON string between begin and end (its quotes left
// out) names a secret member: escapes undone, case ignored.
bool isSecretMember(const QByteArray &text, int begin, int end)
{
    // No name of ours is longer than this even with every letter escaped.
    if (end - begin > 6 * 16)
        return false;
    QByteArray name;
    for (int i = begin; i < end; ++i) {
        char c = text.at(i);
        if (c == '\\' && i + 1 < end) {
            c = text.at(++i);
            if (c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't')
                return false;
            if (c == 'u') {
                int code = 0;
                for (int k = 1; k <= 4; ++k) {
                    const int digit = i + k < end ? hexDigit(text.at(i + k)) : -1;
                    if (digit < 0)
                        return false;
                    code = code * 16 + digit;
                }
                if (code >= 0x80)
                    return false;
                c = char(code);
                i += 4;
            }
        }
        name += c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    }
    return std::any_of(std::begin(SecretMembers), std::end(SecretMembers),
                       [&name](const char *member) { return name == member; });
}

// One past the closing quote of the string that opens at quote, or the end
// of text when it is cut off.
int stringEnd(const QByteArray &text, int quote)
{
    int i = quote + 1;
    while (i < text.size()) {
        const char c = text.at(i);
        if (c == '"')
            return i + 1;
        i += c == '\\' ? 2 : 1;
    }
    return text.size();
}

// One past the bracket that closes the object or array opening at i, or the
// end of text when it is cut off.
int nestedEnd(const QByteArray &text, int i)
{
    int depth = 0;
    while (i < text.size()) {
        const char c = text.at(i);
        if (c == '"') {
            i = stringEnd(text, i);
            continue;
        }
        if (c == '{' || c == '[')
            ++depth;
        else if ((c == '}' || c == ']') && --depth == 0)
            return i + 1;
        ++i;
    }
    return text.size();
}

// The end of the member value that starts at i: what stands before the next
// comma or closing bracket, less white space, strings and nested objects and
// arrays counted whole. In a malformed reply that takes in whatever follows
// the value up to the next member, and a value cut off runs to the end.
int valueEnd(const QByteArray &text, int i)
{
    int end = i;
    while (i < text.size()) {
        const char c = text.at(i);
        if (c == ',' || c == '}' || c == ']')
            break;
        if (c == '"')
            i = stringEnd(text, i);
        else if (c == '{' || c == '[')
            i = nestedEnd(text, i);
        else
            ++i;
        if (!isJsonSpace(c))
            end = i;
    }
    return end;
}

// text with the value of every secret member masked, at any depth, whatever
// its type; every other byte stays as it came (numbers too long for a double,
// members' order, spacing). Reads JSON that is cut off or malformed as far as
// it goes: any string followed by a colon is a name.
QByteArray maskedMembers(const QByteArray &text)
{
    QByteArray masked;
    int copied = 0;
    int i = 0;
    while (i < text.size()) {
        if (text.at(i) != '"') {
            ++i;
            continue;
        }
        const int nameEnd = stringEnd(text, i);
        int colon = nameEnd;
        while (colon < text.size() && isJsonSpace(text.at(colon)))
            ++colon;
        if (colon >= text.size() || text.at(colon) != ':' || !isSecretMember(text, i + 1, nameEnd - 1)) {
            i = nameEnd;
            continue;
        }
        int value = colon + 1;
        while (value < text.size() && isJsonSpace(text.at(value)))
            ++value;
        const int end = valueEnd(text, value);
        if (end > value) {
            masked += text.mid(copied, value - copied);
            masked += '"';
            masked += Mask;
            masked += '"';
            copied = end;
        }
        i = std::max(end, value);
    }
    return copied == 0 ? text : masked + text.mid(copied);
}

// The spellings in which values (of six characters or more) may appear, longest first.
QStringList spellingsOf(const QStringList &values)
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
    spellings.removeAll(QString());
    return spellings;
}

// values masked in bytes that need not be valid UTF-8, the rest left alone.
QByteArray maskedValues(QByteArray bytes, const QStringList &values)
{
    for (const QString &spelling : spellingsOf(values))
        bytes.replace(spelling.toUtf8(), Mask);
    return bytes;
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
    QString result = text;
    for (const QString &spelling : spellingsOf(values))
        result.replace(spelling, QLatin1String(Mask));
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
    QJsonDocument::fromJson(body, &parseError);
    if (parseError.error == QJsonParseError::NoError)
        return maskedValues(maskedMembers(body), knownSecrets);
    // Known values first: a value with spaces, unquoted, has no end to find.
    // Latin-1 maps each byte to one character and back, whatever the bytes.
    const QByteArray masked = maskedMembers(maskedValues(body, knownSecrets));
    return maskQueryLike(QString::fromLatin1(masked)).toLatin1();
}

} // namespace Redaction
