// SPDX-License-Identifier: MIT
#include "clientharness.h"
#include "logrecorder.h"
#include "mainwindow.h"
#include "statusstyles.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

namespace {

const QString BusyText = QStringLiteral("⏳ Getting Access Token...");

void requestToken(ClientHarness &h, const QString &key, const QString &secret)
{
    h.parts->apiKey->setText(key);
    h.parts->secretKey->setText(secret);
    h.parts->getToken->click();
}

} // namespace

class tst_TokenRequest : public QObject
{
    Q_OBJECT

private slots:
    void refusesMissingKeys_data();
    void refusesMissingKeys();
    void requestOnTheWire();
    void valuesArriveExactly_data();
    void valuesArriveExactly();
    void replies_data();
    void replies();
    void secretsStayOutOfLogAndScreen_data();
    void secretsStayOutOfLogAndScreen();
    void replyFinishingLastWins();
};

void tst_TokenRequest::refusesMissingKeys_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("secret");

    QTest::newRow("both empty") << "" << "";
    QTest::newRow("secret empty") << "key" << "";
    QTest::newRow("key empty") << "" << "secret";
    QTest::newRow("key blank") << "   " << "secret";
    QTest::newRow("secret blank") << "key" << "\t ";
}

void tst_TokenRequest::refusesMissingKeys()
{
    QFETCH(QString, key);
    QFETCH(QString, secret);

    ClientHarness h;
    const QString statusBefore = h.parts->status->text();
    requestToken(h, key, secret);

    QCOMPARE(h.boxes.boxes.size(), 1);
    const SeenMessageBox box = h.boxes.boxes.first();
    QCOMPARE(box.title, QStringLiteral("Notice"));
    QCOMPARE(box.text, QStringLiteral("Please enter the API Key and Secret Key first."));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, h.window.get());
    QCOMPARE(h.parts->status->text(), statusBefore);
    QCOMPARE(h.pendingReplies(), 0);
}

void tst_TokenRequest::requestOnTheWire()
{
    ClientHarness h;
    ScriptedReply held;
    held.hold = true;
    h.server.enqueue(held);

    requestToken(h, QStringLiteral("  my-key "), QStringLiteral("\tmy-secret  "));
    QCOMPARE(h.parts->status->text(), BusyText);
    QCOMPARE(h.parts->status->styleSheet(), StatusStyle::Busy);

    QSignalSpy received(&h.server, &HttpTestServer::requestReceived);
    QVERIFY(received.wait());
    const RecordedRequest request = h.server.requests.first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path(), QByteArray("/oauth/2.0/token"));
    QCOMPARE(request.query(),
             QByteArray("client_id=my-key&client_secret=my-secret&grant_type=client_credentials"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    QCOMPARE(request.header("Content-Length"), QByteArray("0"));
    QVERIFY(request.body.isEmpty());

    // The fields keep what the user typed.
    QCOMPARE(h.parts->apiKey->text(), QStringLiteral("  my-key "));
    QCOMPARE(h.parts->secretKey->text(), QStringLiteral("\tmy-secret  "));
    QVERIFY(h.parts->getToken->isEnabled());
    QVERIFY(h.boxes.boxes.isEmpty());
}

void tst_TokenRequest::valuesArriveExactly_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("secret");

    QTest::newRow("plus signs") << "a+b" << "+x+";
    QTest::newRow("query delimiters") << "k&grant_type=password" << "s=1&t=2";
    QTest::newRow("percent sequences") << "100%" << "a%2Bb%20c";
    QTest::newRow("fragment mark") << "key#frag" << "se#cret";
    QTest::newRow("inner spaces") << "my key" << "my  secret";
    QTest::newRow("non-ASCII") << "clé" << "密钥ü";
    QTest::newRow("slashes and question marks") << "a/b?c" << "/?/";
}

void tst_TokenRequest::valuesArriveExactly()
{
    QFETCH(QString, key);
    QFETCH(QString, secret);

    ClientHarness h;
    h.server.enqueue(200, R"({"access_token":"t"})");
    requestToken(h, key, secret);
    QSignalSpy received(&h.server, &HttpTestServer::requestReceived);
    QVERIFY(received.wait());

    const auto items = h.server.requests.first().queryItems();
    const QList<QPair<QString, QString>> expected = {
        {QStringLiteral("client_id"), key},
        {QStringLiteral("client_secret"), secret},
        {QStringLiteral("grant_type"), QStringLiteral("client_credentials")},
    };
    QCOMPARE(items, expected);
}

void tst_TokenRequest::replies_data()
{
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QByteArray>("reason");      // empty: the usual phrase
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("status");        // network error: what follows the prefix contains this
    QTest::addColumn<QString>("style");
    QTest::addColumn<QString>("result");        // Unchanged: the box keeps its text
    QTest::addColumn<QString>("token");         // the token field afterwards
    QTest::addColumn<QString>("boxTitle");      // empty: no box

    const QString failed = QStringLiteral("● Failed to get Access Token");
    const auto refusedWith = [](const QByteArray &body) {
        return QStringLiteral("Failed to get Access Token:\nError: \nDescription: \n\nRaw response:\n")
                + QString::fromUtf8(body);
    };
    const QByteArray none;

    QTest::newRow("token") << 200 << none << QByteArray(R"({"access_token":"24.abc","expires_in":2592000})")
            << "✅ Access Token obtained successfully" << StatusStyle::Success << Unchanged << "24.abc" << "Success";
    QTest::newRow("token kept as sent, untrimmed") << 200 << none << QByteArray(R"({"access_token":" t "})")
            << "✅ Access Token obtained successfully" << StatusStyle::Success << Unchanged << " t " << "Success";
    QTest::newRow("token and error") << 200 << none << QByteArray(R"({"access_token":"x","error":"e"})")
            << "✅ Access Token obtained successfully" << StatusStyle::Success << Unchanged << "x" << "Success";

    // Only a string with something in it is a token; anything else is a refusal.
    for (const char *value : {"42", "null", "\"\"", "\"  \"", "{\"value\":\"t\"}", "[\"t\"]"}) {
        const QByteArray body = QByteArray(R"({"access_token":)") + value + '}';
        QTest::addRow("token %s", value) << 200 << none << body
                << failed << StatusStyle::Error << refusedWith(body) << "old" << "";
    }

    const QByteArray refused = R"({"error":"invalid_client","error_description":"unknown client id"})";
    QTest::newRow("refused with 200") << 200 << none << refused << failed << StatusStyle::Error
            << QStringLiteral("Failed to get Access Token:\nError: invalid_client\nDescription: unknown client id\n\n"
                              "Raw response:\n") + QString::fromUtf8(refused)
            << "old" << "";
    QTest::newRow("neither token nor error") << 200 << none << QByteArray("{}") << failed << StatusStyle::Error
            << refusedWith("{}") << "old" << "";
    QTest::newRow("members of other types") << 200 << none << QByteArray(R"({"error":1,"error_description":[]})")
            << failed << StatusStyle::Error << refusedWith(R"({"error":1,"error_description":[]})") << "old" << "";
    const QByteArray percents = R"({"error":"bad %2 code","error_description":"see %1 and %3"})";
    QTest::newRow("refusal with %n filled in one pass") << 200 << none << percents << failed << StatusStyle::Error
            << QStringLiteral("Failed to get Access Token:\nError: bad %2 code\nDescription: see %1 and %3\n\n"
                              "Raw response:\n") + QString::fromUtf8(percents)
            << "old" << "";
    const QString notParsed = QStringLiteral("● Failed to parse token response");
    QTest::newRow("empty body") << 200 << none << QByteArray() << notParsed << StatusStyle::Error
            << notJsonText(QByteArray()) << "old" << "";
    QTest::newRow("not JSON") << 200 << none << QByteArray("<html>busy</html>") << notParsed << StatusStyle::Error
            << notJsonText("<html>busy</html>") << "old" << "";
    const QByteArray megabyte(1024 * 1024, 'm');
    QTest::newRow("1 MiB, not JSON: shown cut") << 200 << none << megabyte << notParsed << StatusStyle::Error
            << notJsonText(megabyte, QString(16384, QLatin1Char('m')) + QStringLiteral("\n[first 16384 of 1048576 bytes shown]"))
            << "old" << "";
    const QByteArray longRefusal = R"({"error":"x","error_description":")" + QByteArray(100000, 'd') + R"("})";
    QTest::newRow("refused with 100 000 characters of description") << 200 << none << longRefusal
            << failed << StatusStyle::Error
            << QStringLiteral("Failed to get Access Token:\nError: x\nDescription: ") + QString(16384, QLatin1Char('d'))
               + QStringLiteral("\n[first 16384 of 100000 characters shown]\n\nRaw response:\n")
               + QString::fromLatin1(longRefusal.left(16384))
               + QStringLiteral("\n[first 16384 of %1 bytes shown]").arg(longRefusal.size())
            << "old" << "";
    QTest::newRow("array") << 200 << none << QByteArray(R"(["access_token"])")
            << "● Invalid token response format" << StatusStyle::Error
            << "Token response is not a JSON object:\n[\"access_token\"]" << "old" << "";
    QTest::newRow("HTTP 401 with JSON body") << 401 << none << refused
            << "" << StatusStyle::Error << Unchanged << "old" << "Network Error";
    QTest::newRow("HTTP 400") << 400 << none << QByteArray(R"({"error":"invalid_request"})")
            << "" << StatusStyle::Error << Unchanged << "old" << "Network Error";
    QTest::newRow("HTTP 500") << 500 << none << QByteArray("oops")
            << "" << StatusStyle::Error << Unchanged << "old" << "Network Error";
    const QByteArray markup = R"(<img src="file:///etc/hostname"><b>Call 555-0100 to fix</b>)";
    QTest::newRow("HTTP 500, markup in the reason phrase") << 500 << markup << QByteArray("oops")
            << QStringLiteral("server replied: ") + QString::fromLatin1(markup) << StatusStyle::Error << Unchanged << "old"
            << "Network Error";
    QTest::newRow("HTTP 500, 100 000-character reason phrase") << 500 << QByteArray(100000, 'R')
            << QByteArray("oops") << "server replied: RRRR" << StatusStyle::Error << Unchanged << "old"
            << "Network Error";
    QTest::newRow("50 MB of letters") << 200 << none << QByteArray(50 * 1024 * 1024, 'z')
            << "The reply is larger than the 8 MiB limit and was not read." << StatusStyle::Error << Unchanged
            << "old" << "Network Error";
}

void tst_TokenRequest::replies()
{
    QFETCH(int, httpStatus);
    QFETCH(QByteArray, reason);
    QFETCH(QByteArray, body);
    QFETCH(QString, status);
    QFETCH(QString, style);
    QFETCH(QString, result);
    QFETCH(QString, token);
    QFETCH(QString, boxTitle);

    LogRecorder log;
    ClientHarness h;
    h.parts->accessToken->setText(QStringLiteral("old"));
    h.parts->result->setPlainText(QStringLiteral("earlier text"));
    ScriptedReply reply;
    reply.status = httpStatus;
    reply.reason = reason;
    reply.body = body;
    h.server.enqueue(reply);

    requestToken(h, QStringLiteral("key"), QStringLiteral("secret"));
    QTRY_VERIFY(h.parts->status->text() != BusyText);
    QTRY_COMPARE(h.boxes.boxes.size(), boxTitle.isEmpty() ? 0 : 1);

    QCOMPARE(h.parts->status->styleSheet(), style);
    QCOMPARE(shownText(h.parts->status), h.parts->status->text()); // what came in is shown as written
    // Whatever the reply, nothing shown is long enough to stall the text layout.
    QVERIFY2(h.parts->status->text().size() <= 2048, "the status line is not bounded");
    for (const QString &line : h.parts->result->toPlainText().split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= 16384 + 64, "a line of the result box is not bounded");
    QCOMPARE(h.parts->accessToken->text(), token);
    QCOMPARE(h.parts->result->toPlainText(), result == Unchanged ? QStringLiteral("earlier text") : result);

    if (boxTitle == QLatin1String("Network Error")) {
        // Transport failure: Qt's text on the status line and in the box, body unseen.
        const QString prefix = QStringLiteral("● Failed to get token: ");
        const QString statusText = h.parts->status->text();
        QVERIFY2(statusText.startsWith(prefix) && statusText.size() > prefix.size(), qPrintable(statusText));
        QVERIFY2(statusText.mid(prefix.size()).contains(status), qPrintable(statusText));
        const SeenMessageBox box = h.boxes.boxes.first();
        QCOMPARE(box.title, boxTitle);
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.text, QStringLiteral("Failed to get Access Token:\n") + statusText.mid(prefix.size()));
        QVERIFY(log.linesStartingWith(QStringLiteral("Token response:")).isEmpty());
    } else {
        QCOMPARE(h.parts->status->text(), status);
        const QStringList logged = log.linesStartingWith(QStringLiteral("Token response:"));
        QCOMPARE(logged.size(), 1);
        QVERIFY2(logged.first().size() < 8192, "the whole body went to the log");
    }
    if (boxTitle == QLatin1String("Success")) {
        const SeenMessageBox box = h.boxes.boxes.first();
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(box.text, QStringLiteral("Access Token obtained successfully.\nIt has been filled in automatically."));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
}

void tst_TokenRequest::secretsStayOutOfLogAndScreen_data()
{
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("secret");

    const QByteArray granted = R"({"access_token":"24.tok+en/42=","expires_in":2592000})";
    const QString secret = QStringLiteral("Sec+ret/Key=");
    const QString spaced = QStringLiteral("my secret key");

    QTest::newRow("token granted") << 200 << granted << secret;
    QTest::newRow("HTTP 401") << 401 << granted << secret;
    QTest::newRow("HTTP 503") << 503 << granted << secret;
    QTest::newRow("escaped member name")
            << 200 << QByteArray(R"({"expires_in":2592000,"access\u005ftoken":"24.tok+en/42="})") << secret;
    QTest::newRow("nested and refused")
            << 200 << QByteArray(R"({"error":"e","data":[{"session_secret":"24.tok+en/42="}]})") << secret;
    QTest::newRow("spaced secret, HTTP 503") << 503 << granted << spaced;
    QTest::newRow("spaced secret echoed, not JSON")
            << 200 << QByteArray("bad client_secret=my secret key; token 24.tok+en/42= revoked") << spaced;
}

void tst_TokenRequest::secretsStayOutOfLogAndScreen()
{
    QFETCH(int, httpStatus);
    QFETCH(QByteArray, body);
    QFETCH(QString, secret);

    const QString token = QStringLiteral("24.tok+en/42=");
    LogRecorder log;
    ClientHarness h;
    h.parts->accessToken->setText(token); // pasted earlier: known, so masked too
    h.server.enqueue(httpStatus, body);
    requestToken(h, QStringLiteral("key"), secret);
    QTRY_VERIFY(h.parts->status->text() != BusyText);
    const bool granted = h.parts->status->text().startsWith(QStringLiteral("✅"));
    QTRY_COMPARE(h.boxes.boxes.size(), granted || httpStatus != 200 ? 1 : 0);

    const QString urlLine = log.linesStartingWith(QStringLiteral("Token request url:")).value(0);
    QVERIFY2(urlLine.contains(QStringLiteral("client_id=key&client_secret=***&grant_type=client_credentials")),
             qPrintable(urlLine));

    QStringList shown = log.lines();
    shown << h.parts->status->text() << h.parts->result->toPlainText();
    for (const auto &box : h.boxes.boxes)
        shown << box.text;
    const QString everything = shown.join(QLatin1Char('\n'));
    for (const QString &value : {secret, token}) {
        const int space = value.indexOf(QLatin1Char(' '));
        for (const QString &spelling : {value, QString::fromLatin1(QUrl::toPercentEncoding(value)),
                                        QString(value).remove(QLatin1Char('+')),
                                        space < 0 ? value : value.mid(space)}) {
            QVERIFY2(!everything.contains(spelling), qPrintable(everything));
        }
    }
    if (httpStatus == 200 && granted) {
        QCOMPARE(h.parts->accessToken->text(), token);
        // The member's name as the reply spelled it (escapes too), its value masked.
        QVERIFY(log.joined().contains(QStringLiteral(R"(token\":\"***\")")));
    } else if (httpStatus == 503) {
        // Qt quotes the whole request address for this status.
        QVERIFY2(h.parts->status->text().contains(QStringLiteral("client_secret=***")),
                 qPrintable(h.parts->status->text()));
    }
}

void tst_TokenRequest::replyFinishingLastWins()
{
    ClientHarness h;
    ScriptedReply first;
    first.hold = true;
    first.body = R"({"access_token":"first"})";
    ScriptedReply second = first;
    second.body = R"({"access_token":"second"})";
    h.server.enqueue(first);
    h.server.enqueue(second);

    requestToken(h, QStringLiteral("key"), QStringLiteral("secret"));
    h.parts->getToken->click();
    QTRY_COMPARE(h.server.requests.size(), 2);

    h.server.release(1);
    QTRY_COMPARE(h.parts->accessToken->text(), QStringLiteral("second"));
    h.server.release(0);
    QTRY_COMPARE(h.parts->accessToken->text(), QStringLiteral("first"));
    QTRY_COMPARE(h.boxes.boxes.size(), 2);
    QTRY_COMPARE(h.pendingReplies(), 0); // both replies released
}

QTEST_MAIN(tst_TokenRequest)
#include "tst_tokenrequest.moc"
