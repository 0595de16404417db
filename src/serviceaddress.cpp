// SPDX-License-Identifier: MIT
#include "serviceaddress.h"

#include <QHostAddress>
#include <QtGlobal>

namespace ServiceAddress {

namespace {

bool isLoopbackHost(const QString &host)
{
    if (host == QLatin1String("localhost"))
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// The value on one line: a line break in it must not start a message of
// its own in the error that quotes it.
QString oneLine(const QString &value)
{
    QString line;
    for (const QChar c : value) {
        if (c == QLatin1Char('\n'))
            line += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            line += QLatin1String("\\r");
        else if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
                 || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            line += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            line += c;
    }
    return line;
}

QUrl refuse(QString *error, const QString &value, const QString &reason)
{
    if (error) {
        *error = QStringLiteral("%1=\"%2\" is not usable: %3")
                         .arg(QLatin1String(EnvironmentVariable), oneLine(value), reason);
    }
    return QUrl();
}

} // namespace

QUrl parseBaseUrl(const QString &value, QString *error)
{
    const QString trimmed = value.trimmed();
    if (trimmed.isEmpty())
        return QUrl(QLatin1String(DefaultBaseUrl));

    QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return refuse(error, value, QStringLiteral("expected https://host[:port][/prefix]"));
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return refuse(error, value, QStringLiteral("the scheme must be https (or http for a loopback host)"));
    if (scheme == QLatin1String("http") && !isLoopbackHost(url.host()))
        return refuse(error, value, QStringLiteral("plain http is only allowed for 127.0.0.0/8, ::1 and localhost"));
    if (!url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return refuse(error, value, QStringLiteral("user names, queries and fragments are not allowed"));

    QString path = url.path(QUrl::FullyEncoded);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path, QUrl::StrictMode);
    return url;
}

QUrl baseUrlFromEnvironment(QString *error)
{
    return parseBaseUrl(qEnvironmentVariable(EnvironmentVariable), error);
}

QUrl endpoint(const QUrl &base, const char *path)
{
    return QUrl(base.toString(QUrl::FullyEncoded) + QLatin1String(path), QUrl::TolerantMode);
}

QString encodedQueryValue(const QString &value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

} // namespace ServiceAddress
