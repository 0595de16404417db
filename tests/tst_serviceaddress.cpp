// SPDX-License-Identifier: MIT
#include "redaction.h"
#include "serviceaddress.h"

#include <QTest>

class tst_ServiceAddress : public QObject
{
    Q_OBJECT

private slots:
    void baseUrl_data();
    void baseUrl();
    void endpoints();
    void redactsTextInEverySpelling_data();
    void redactsTextInEverySpelling();
    void redactsReplyBodies_data();
    void redactsReplyBodies();
};

void tst_ServiceAddress::baseUrl_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected"); // empty: refused

    QTest::newRow("unset") << QString() << "https://aip.baidubce.com";
    QTest::newRow("blank") << "  " << "https://aip.baidubce.com";
    QTest::newRow("https any host") << "https://ocr.example.com" << "https://ocr.example.com";
    QTest::newRow("https with port and prefix") << "https://ocr.example.com:8443/api/"
                                                << "https://ocr.example.com:8443/api";
    QTest::newRow("doubled trailing slash") << "https://ocr.example.com//" << "https://ocr.example.com";
    QTest::newRow("http loopback v4") << "http://127.0.0.1:8290" << "http://127.0.0.1:8290";
    QTest::newRow("http loopback v4 range") << "http://127.8.9.10" << "http://127.8.9.10";
    QTest::newRow("http loopback v6") << "http://[::1]:8290" << "http://[::1]:8290";
    QTest::newRow("http localhost") << "http://LOCALHOST:1" << "http://localhost:1";
    QTest::newRow("http remote") << "http://example.com" << QString();
    QTest::newRow("http private range") << "http://10.0.0.1" << QString();
    QTest::newRow("http private range, port") << "http://192.168.1.10:8290" << QString();
    QTest::newRow("http look-alike host") << "http://127.0.0.1.example.com" << QString();
    QTest::newRow("http localhost subdomain") << "http://localhost.example.com" << QString();
    QTest::newRow("http any address") << "http://0.0.0.0" << QString();
    QTest::newRow("unknown scheme") << "file:///tmp" << QString();
    QTest::newRow("other scheme, loopback") << "ftp://127.0.0.1" << QString();
    QTest::newRow("no scheme") << "aip.baidubce.com" << QString();
    QTest::newRow("no host") << "https://" << QString();
    QTest::newRow("relative") << "/oauth" << QString();
    QTest::newRow("user info") << "https://u@ocr.example.com" << QString();
    QTest::newRow("query") << "https://ocr.example.com/?x=1" << QString();
    QTest::newRow("fragment") << "https://ocr.example.com/#x" << QString();
    QTest::newRow("garbage") << "https://exa mple.com" << QString();
    QTest::newRow("line breaks") << "https://ocr.example.com/a\r\nvirelto: ok\u2028" << QString();
}

void tst_ServiceAddress::baseUrl()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);

    QString error;
    const QUrl url = ServiceAddress::parseBaseUrl(value, &error);
    QCOMPARE(url.toString(), expected);
    QCOMPARE(error.isEmpty(), !expected.isEmpty());
    if (!error.isEmpty())
        QVERIFY2(error.startsWith(QStringLiteral("VIRELTO_API_BASE_URL=")), qPrintable(error));
    for (const QChar c : error) // one line, whatever the value holds
        QVERIFY2(c != QLatin1Char('\n') && c != QLatin1Char('\r') && c != QChar::LineSeparator, qPrintable(error));
}

void tst_ServiceAddress::endpoints()
{
    const QUrl base = ServiceAddress::parseBaseUrl(QStringLiteral("https://h.example:9/pre%20fix/"));
    QCOMPARE(ServiceAddress::endpoint(base, ServiceAddress::OcrPath).toString(QUrl::FullyEncoded),
             QStringLiteral("https://h.example:9/pre%20fix/rest/2.0/ocr/v1/accurate_basic"));
    QCOMPARE(ServiceAddress::endpoint(ServiceAddress::parseBaseUrl(QString()), ServiceAddress::TokenPath)
                     .toString(),
             QStringLiteral("https://aip.baidubce.com/oauth/2.0/token"));
}

void tst_ServiceAddress::redactsTextInEverySpelling_data()
{
    QTest::addColumn<QString>("secret");

    QTest::newRow("plain") << "s3cr3t";
    QTest::newRow("reserved characters") << "a+b&c=d%e#f/g";
    QTest::newRow("spaces") << "my secret key";
    QTest::newRow("non-ASCII") << "clé秘密";
}

void tst_ServiceAddress::redactsTextInEverySpelling()
{
    QFETCH(QString, secret);

    QUrl url(QStringLiteral("https://h.example/oauth/2.0/token"));
    url.setQuery(QStringLiteral("client_id=") + ServiceAddress::encodedQueryValue(QStringLiteral("id"))
                 + QStringLiteral("&client_secret=") + ServiceAddress::encodedQueryValue(secret)
                 + QStringLiteral("&grant_type=client_credentials"));

    // The last one is not the request address: only the values can be found.
    const QString spellings[] = {url.toString(), url.toString(QUrl::FullyEncoded),
                                 url.toString(QUrl::FullyDecoded), url.toDisplayString(),
                                 QStringLiteral("https://h.example/moved?client_id=id&client_secret=%1"
                                                "&grant_type=client_credentials").arg(secret)};
    for (const QString &spelled : spellings) {
        const QString error = QStringLiteral("Error transferring %1 - server replied: Unauthorized").arg(spelled);
        const QString masked = Redaction::text(error, url);
        QVERIFY2(!masked.contains(secret), qPrintable(masked));
        QVERIFY2(!masked.contains(QString::fromLatin1(QUrl::toPercentEncoding(secret))), qPrintable(masked));
        QVERIFY2(masked.contains(QStringLiteral("client_secret=***&grant_type=client_credentials")),
                 qPrintable(masked));
        QVERIFY2(masked.startsWith(QStringLiteral("Error transferring https://h.example/")), qPrintable(masked));
        QVERIFY(masked.endsWith(QStringLiteral(" - server replied: Unauthorized")));
    }
}

void tst_ServiceAddress::redactsReplyBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("known");
    QTest::addColumn<QByteArray>("expected");

    const QStringList none;
    QTest::newRow("token")
            << QByteArray(R"({"access_token":"24.abc","expires_in":2592000})") << none
            << QByteArray(R"({"access_token":"***","expires_in":2592000})");
    QTest::newRow("19-digit log_id and spacing kept")
            << QByteArray(R"({"log_id": 6967030856887532584,  "words_result":[{"words":"A"}], "access_token":"24.abc"})")
            << none
            << QByteArray(R"({"log_id": 6967030856887532584,  "words_result":[{"words":"A"}], "access_token":"***"})");
    QTest::newRow("escaped name, quote and spacing")
            << QByteArray(R"({ "access\u005Ftoken" : "a\",\"b\u0041" , "scope":"x"})") << none
            << QByteArray(R"({ "access\u005Ftoken" : "***" , "scope":"x"})");
    QTest::newRow("every secret member, any depth, any type")
            << QByteArray(R"([{"refresh_token":"r"},{"x":{"session_key":{"k":1},"session_secret":7}}])") << none
            << QByteArray(R"([{"refresh_token":"***"},{"x":{"session_key":"***","session_secret":"***"}}])");
    QTest::newRow("error reply untouched")
            << QByteArray(R"({"error":"invalid_client","error_description":"unknown client id"})") << none
            << QByteArray(R"({"error":"invalid_client","error_description":"unknown client id"})");
    QTest::newRow("known value inside a member")
            << QByteArray(R"({"error_description":"bad secret \"my key\""})") << QStringList{QStringLiteral("\"my key\"")}
            << QByteArray(R"({"error_description":"bad secret ***"})");
    QTest::newRow("every duplicate")
            << QByteArray(R"({"access_token":"first1","access_token":"second"})") << none
            << QByteArray(R"({"access_token":"***","access_token":"***"})");
    QTest::newRow("brackets and a name inside a secret object")
            << QByteArray(R"({"session_key":{"k":"}\"","access_token":[1]},"log_id":1})") << none
            << QByteArray(R"({"session_key":"***","log_id":1})");
    QTest::newRow("a name as a value is not a name")
            << QByteArray(R"({"x":"access_token","y":"kept"})") << none
            << QByteArray(R"({"x":"access_token","y":"kept"})");
    QTest::newRow("cut off, escaped name")
            << QByteArray(R"({"expires_in":1,"access\u005ftoken":"24.ab)") << none
            << QByteArray(R"({"expires_in":1,"access\u005ftoken":"***")");
    QTest::newRow("cut off after a backslash")
            << QByteArray(R"({"access_token":"24.a\)") << none << QByteArray(R"({"access_token":"***")");
    QTest::newRow("malformed: bare value with spaces, no comma")
            << QByteArray(R"({"access_token": 24.a b "x":1})") << none
            << QByteArray(R"({"access_token": "***"})");
    QTest::newRow("not JSON, known value with spaces")
            << QByteArray("client_secret=my secret key&x; my%20secret%20key; my+secret+key")
            << QStringList{QStringLiteral("my secret key")} << QByteArray("client_secret=***&x; ***; ***");
    QTest::newRow("not JSON, bytes that are not UTF-8 kept")
            << QByteArray("<p>\xe9t\xe9 24.abcdef</p>") << QStringList{QStringLiteral("24.abcdef")}
            << QByteArray("<p>\xe9t\xe9 ***</p>");
    QTest::newRow("not JSON, query-like leftovers")
            << QByteArray("see access_token=abc&client_secret=def") << none
            << QByteArray("see access_token=***&client_secret=***");
}

void tst_ServiceAddress::redactsReplyBodies()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, known);
    QFETCH(QByteArray, expected);
    QCOMPARE(Redaction::replyBody(body, known), expected);
}

QTEST_GUILESS_MAIN(tst_ServiceAddress)
#include "tst_serviceaddress.moc"
