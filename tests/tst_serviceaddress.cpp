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
    void redactsTokenReplies_data();
    void redactsTokenReplies();
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
    QTest::newRow("http loopback v4") << "http://127.0.0.1:8290" << "http://127.0.0.1:8290";
    QTest::newRow("http loopback v4 range") << "http://127.8.9.10" << "http://127.8.9.10";
    QTest::newRow("http loopback v6") << "http://[::1]:8290" << "http://[::1]:8290";
    QTest::newRow("http localhost") << "http://LOCALHOST:1" << "http://localhost:1";
    QTest::newRow("http remote") << "http://example.com" << QString();
    QTest::newRow("http private range") << "http://10.0.0.1" << QString();
    QTest::newRow("http look-alike host") << "http://127.0.0.1.example.com" << QString();
    QTest::newRow("http localhost subdomain") << "http://localhost.example.com" << QString();
    QTest::newRow("http any address") << "http://0.0.0.0" << QString();
    QTest::newRow("unknown scheme") << "file:///tmp" << QString();
    QTest::newRow("no host") << "https://" << QString();
    QTest::newRow("relative") << "/oauth" << QString();
    QTest::newRow("user info") << "https://u@ocr.example.com" << QString();
    QTest::newRow("fragment") << "https://ocr.example.com/#x" << QString();
    QTest::newRow("garbage") << "https://exa mple.com" << QString();
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

    const QString spellings[] = {url.toString(), url.toString(QUrl::FullyEncoded),
                                 url.toString(QUrl::FullyDecoded), url.toDisplayString()};
    for (const QString &spelled : spellings) {
        const QString error = QStringLiteral("Error transferring %1 - server replied: Unauthorized").arg(spelled);
        const QString masked = Redaction::text(error, url);
        QVERIFY2(!masked.contains(secret), qPrintable(masked));
        QVERIFY2(!masked.contains(QString::fromLatin1(QUrl::toPercentEncoding(secret))), qPrintable(masked));
        QVERIFY2(masked.contains(QStringLiteral("client_secret=***&grant_type=client_credentials")),
                 qPrintable(masked));
        QVERIFY2(masked.startsWith(QStringLiteral("Error transferring https://h.example/oauth/2.0/token?client_id=id&")),
                 qPrintable(masked));
        QVERIFY(masked.endsWith(QStringLiteral(" - server replied: Unauthorized")));
    }
}

void tst_ServiceAddress::redactsTokenReplies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("token")
            << QByteArray(R"({"access_token":"24.abc","expires_in":2592000})")
            << QByteArray(R"({"access_token":"***","expires_in":2592000})");
    QTest::newRow("escaped quote and spacing")
            << QByteArray(R"({ "access_token" : "a\"b\u0041", "scope":"x"})")
            << QByteArray(R"({ "access_token" : "***", "scope":"x"})");
    QTest::newRow("every secret member")
            << QByteArray(R"({"refresh_token":"r","session_key":"k","session_secret":"s"})")
            << QByteArray(R"({"refresh_token":"***","session_key":"***","session_secret":"***"})");
    QTest::newRow("error reply untouched")
            << QByteArray(R"({"error":"invalid_client","error_description":"unknown client id"})")
            << QByteArray(R"({"error":"invalid_client","error_description":"unknown client id"})");
}

void tst_ServiceAddress::redactsTokenReplies()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expected);
    QCOMPARE(Redaction::tokenResponse(body), expected);
}

QTEST_GUILESS_MAIN(tst_ServiceAddress)
#include "tst_serviceaddress.moc"
