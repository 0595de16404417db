// SPDX-License-Identifier: MIT
#include "clientharness.h"
#include "logrecorder.h"
#include "mainwindow.h"
#include "statusstyles.h"
#include "temporaryworkingdirectory.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

namespace {

const QString Recognizing = QStringLiteral("⏳ Capture completed. Recognizing text...");

QImage testImage(const QSize &size, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(size, format);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.fillRect(QRect(QPoint(0, 0), size / 2), QColor(200, 30, 40));
    painter.fillRect(QRect(QPoint(size.width() / 2, size.height() / 2), size / 2), QColor(20, 90, 200, 128));
    return image;
}

} // namespace

class tst_OcrRequest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void encodesAndSendsTheImage_data();
    void encodesAndSendsTheImage();
    void unwritableDebugFileStillSends();
    void tokenArrivesExactly_data();
    void tokenArrivesExactly();
    void replies_data();
    void replies();
    void nullReplyChangesNothing();
    void tokenStaysOutOfLogAndScreen_data();
    void tokenStaysOutOfLogAndScreen();
    void replyFinishingLastWins();

private:
    std::unique_ptr<TemporaryWorkingDirectory> m_workDir;
};

void tst_OcrRequest::init()
{
    // The debug image lands in the working directory: give each test its own.
    m_workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(m_workDir->isValid());
}

void tst_OcrRequest::cleanup()
{
    m_workDir.reset();
}

void tst_OcrRequest::encodesAndSendsTheImage_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QSize>("sentSize");

    QTest::newRow("small") << testImage(QSize(64, 48)) << QSize(64, 48);
    QTest::newRow("exactly 1600 wide") << testImage(QSize(1600, 120)) << QSize(1600, 120);
    QTest::newRow("1601 wide is scaled") << testImage(QSize(1601, 1601)) << QSize(1600, 1600);
    QTest::newRow("twice too wide") << testImage(QSize(3200, 900)) << QSize(1600, 450);
    QTest::newRow("tall and narrow stays") << testImage(QSize(400, 5000)) << QSize(400, 5000);
    QTest::newRow("alpha dropped") << testImage(QSize(120, 90), QImage::Format_ARGB32) << QSize(120, 90);
    QTest::newRow("premultiplied alpha")
            << testImage(QSize(120, 90), QImage::Format_ARGB32_Premultiplied) << QSize(120, 90);
    QTest::newRow("grayscale") << testImage(QSize(90, 60), QImage::Format_Grayscale8) << QSize(90, 60);
    QTest::newRow("camera format") << testImage(QSize(1280, 720), QImage::Format_RGB888) << QSize(1280, 720);
}

void tst_OcrRequest::encodesAndSendsTheImage()
{
    QFETCH(QImage, image);
    QFETCH(QSize, sentSize);

    LogRecorder log;
    ClientHarness h;
    h.parts->accessToken->setText(QStringLiteral("tok"));
    ScriptedReply held;
    held.hold = true;
    h.server.enqueue(held);

    deliverCapturedImage(*h.window, image);
    QCOMPARE(h.parts->status->text(), Recognizing);
    QCOMPARE(h.parts->status->styleSheet(), StatusStyle::Busy);
    QSignalSpy received(&h.server, &HttpTestServer::requestReceived);
    QVERIFY(received.wait());
    QCOMPARE(h.server.requests.size(), 1);

    const RecordedRequest request = h.server.requests.first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.path(), QByteArray("/rest/2.0/ocr/v1/accurate_basic"));
    QCOMPARE(request.query(), QByteArray("access_token=tok"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));

    // image=<Base64, percent-encoded>: no raw + / = may reach a form decoder.
    const QByteArray body = request.body;
    QVERIFY(body.startsWith("image="));
    const QByteArray value = body.mid(6);
    QVERIFY(!value.contains('+') && !value.contains('/') && !value.contains('='));
    const QByteArray base64 = QByteArray::fromPercentEncoding(value);
    const int k = base64.count('+') + base64.count('/') + base64.count('=');
    QCOMPARE(body.size(), 6 + base64.size() + 2 * k);
    QVERIFY(!base64.contains('\n'));

    const QByteArray png = QByteArray::fromBase64(base64);
    QCOMPARE(base64.size(), int((png.size() + 2) / 3 * 4));
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    const QImage sent = QImage::fromData(png, "PNG");
    QCOMPARE(sent.size(), sentSize);
    QVERIFY(!sent.hasAlphaChannel());
    if (sentSize == image.size() && image.format() != QImage::Format_Grayscale8) {
        const QRgb topLeft = image.pixel(2, 2);
        QCOMPARE(sent.pixel(2, 2), qRgb(qRed(topLeft), qGreen(topLeft), qBlue(topLeft)));
    }

    QFile debug(QStringLiteral("ocr_debug.png"));
    QVERIFY(debug.open(QIODevice::ReadOnly));
    QCOMPARE(debug.readAll(), png);
    QVERIFY(log.lines().contains(QStringLiteral("Saved debug image: ocr_debug.png bytes: %1").arg(png.size())));
    QVERIFY(log.lines().contains(QStringLiteral("Image header hex: \"%1\"")
                                         .arg(QString::fromLatin1(png.left(16).toHex(' ')))));
}

void tst_OcrRequest::unwritableDebugFileStillSends()
{
    // A directory of that name cannot be opened as a file, even by root.
    QVERIFY(QDir().mkdir(QStringLiteral("ocr_debug.png")));

    LogRecorder log;
    ClientHarness h;
    h.parts->accessToken->setText(QStringLiteral("tok"));
    h.server.enqueue(200, R"({"words_result":[{"words":"x"}],"words_result_num":1})");
    deliverCapturedImage(*h.window, testImage(QSize(50, 40)));
    QTRY_COMPARE(h.parts->status->text(), QStringLiteral("✅ Recognition completed. 1 lines detected."));

    QCOMPARE(log.linesStartingWith(QStringLiteral("Failed to save debug image:")).size(), 1);
    const QImage sent = QImage::fromData(pngFromFormBody(h.server.requests.first().body), "PNG");
    QCOMPARE(sent.size(), QSize(50, 40));
}

void tst_OcrRequest::tokenArrivesExactly_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("sent");

    QTest::newRow("trimmed") << "  24.abc-def \t" << "24.abc-def";
    QTest::newRow("base64-like") << "a+b/c==" << "a+b/c==";
    QTest::newRow("delimiters") << "t&access_token=x#y" << "t&access_token=x#y";
    QTest::newRow("percent and spaces") << "50% of a b" << "50% of a b";
    QTest::newRow("non-ASCII") << "jeton-é-令牌" << "jeton-é-令牌";
}

void tst_OcrRequest::tokenArrivesExactly()
{
    QFETCH(QString, typed);
    QFETCH(QString, sent);

    ClientHarness h;
    h.parts->accessToken->setText(typed);
    deliverCapturedImage(*h.window, testImage(QSize(16, 16)));
    QSignalSpy received(&h.server, &HttpTestServer::requestReceived);
    QVERIFY(received.wait());

    const QList<QPair<QString, QString>> expected = {{QStringLiteral("access_token"), sent}};
    QCOMPARE(h.server.requests.first().queryItems(), expected);
    QCOMPARE(h.parts->accessToken->text(), typed);
}

void tst_OcrRequest::replies_data()
{
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("status"); // for a network error, how the status line starts
    QTest::addColumn<QString>("result");
    QTest::addColumn<bool>("withLength"); // false: the body ends when the connection closes

    const auto done = [](int n) {
        return QStringLiteral("✅ Recognition completed. %1 lines detected.").arg(n);
    };
    const auto serviceError = [](int code, const char *message, const QByteArray &body) {
        return QStringLiteral("Baidu OCR returned an error:\nError code: %1\nError message: %2\n\nRaw response:\n")
                       .arg(code).arg(QString::fromUtf8(message)) + QString::fromUtf8(body);
    };

    QTest::newRow("two lines") << 200
            << QByteArray(R"({"log_id":1,"words_result":[{"words":"A"},{"words":"B"}],"words_result_num":2})")
            << done(2) << "A\nB" << true;
    QTest::newRow("nothing recognised") << 200 << QByteArray(R"({"words_result":[],"words_result_num":0})")
            << done(0) << "No text recognized" << true;
    QTest::newRow("blank lines only") << 200
            << QByteArray(R"({"words_result":[{"words":"  "},{"words":""}],"words_result_num":2})")
            << done(2) << "No text recognized" << true;
    QTest::newRow("count missing") << 200 << QByteArray(R"({"words_result":[{"words":"A"}]})")
            << done(0) << "A" << true;
    QTest::newRow("count differs, shown as sent") << 200
            << QByteArray(R"({"words_result":[{"words":"A"}],"words_result_num":5})") << done(5) << "A" << true;
    QTest::newRow("odd elements keep their lines") << 200
            << QByteArray(R"({"words_result":[{"words":"A"},{},3,{"words":7},{"words":"B"}],"words_result_num":5})")
            << done(5) << "A\n\n\n\nB" << true;
    QTest::newRow("trimmed at both ends only") << 200
            << QByteArray(R"({"words_result":[{"words":"  A "},{"words":""},{"words":" B  "}],"words_result_num":3})")
            << done(3) << "A \n\n B" << true;
    // Text from the service is shown as written, never as markup.
    QTest::newRow("markup in lines") << 200
            << QByteArray(R"({"words_result":[{"words":"<b>bold</b>"},{"words":"<i>x</i>"}],"words_result_num":2})")
            << done(2) << "<b>bold</b>\n<i>x</i>" << true;
    QTest::newRow("image markup") << 200
            << QByteArray(R"({"words_result":[{"words":"<img src=\"http://127.0.0.1:1/x.png\">"}],"words_result_num":1})")
            << done(1) << "<img src=\"http://127.0.0.1:1/x.png\">" << true;
    QTest::newRow("entities") << 200
            << QByteArray(R"({"words_result":[{"words":"<p>&amp; &lt;</p>"}],"words_result_num":1})")
            << done(1) << "<p>&amp; &lt;</p>" << true;
    const QByteArray longLine = R"({"words_result":[{"words":")" + QByteArray(100000, 'w') + R"("}],"words_result_num":1})";
    QTest::newRow("recognised text over 16 Ki characters is cut") << 200 << longLine << done(1)
            << QString(16384, QLatin1Char('w')) + QStringLiteral("\n[first 16384 of 100000 characters shown]") << true;
    QTest::newRow("no words_result") << 200 << QByteArray(R"({"log_id":5})") << done(0) << "No text recognized" << true;

    const QByteArray expired = R"({"error_code":111,"error_msg":"Access token expired","log_id":9})";
    QTest::newRow("service error") << 200 << expired << "● OCR error [111]"
            << serviceError(111, "Access token expired", expired) << true;
    const QByteArray large = R"({"error_code":216202,"error_msg":"image size error"})";
    QTest::newRow("six-digit code") << 200 << large << "● OCR error [216202]"
            << serviceError(216202, "image size error", large) << true;
    const QByteArray zero = R"({"error_code":0,"error_msg":"ok?"})";
    QTest::newRow("code zero is still an error") << 200 << zero << "● OCR error [0]"
            << serviceError(0, "ok?", zero) << true;
    const QByteArray nullCode = R"({"error_code":null})";
    QTest::newRow("null code") << 200 << nullCode << "● OCR error [0]" << serviceError(0, "", nullCode) << true;
    const QByteArray stringCode = R"({"error_code":"17","error_msg":"daily limit"})";
    QTest::newRow("string code") << 200 << stringCode << "● OCR error [0]"
            << serviceError(0, "daily limit", stringCode) << true;
    const QByteArray fraction = R"({"error_code":1.5,"error_msg":"x"})";
    QTest::newRow("fractional code") << 200 << fraction << "● OCR error [0]" << serviceError(0, "x", fraction) << true;
    const QByteArray longMessage = R"({"error_code":1,"error_msg":")" + QByteArray(100000, 'e') + R"("})";
    QTest::newRow("error message of 100 000 characters") << 200 << longMessage << "● OCR error [1]"
            << QStringLiteral("Baidu OCR returned an error:\nError code: 1\nError message: ") + QString(16384, QLatin1Char('e'))
               + QStringLiteral("\n[first 16384 of 100000 characters shown]\n\nRaw response:\n")
               + QString::fromLatin1(longMessage.left(16384))
               + QStringLiteral("\n[first 16384 of %1 bytes shown]").arg(longMessage.size())
            << true;
    const QByteArray percents = R"({"error_code":216100,"error_msg":"bad %3 and %1"})";
    QTest::newRow("message with %n filled in one pass") << 200 << percents << "● OCR error [216100]"
            << serviceError(216100, "bad %3 and %1", percents) << true;
    const QByteArray both = R"({"error_code":282000,"error_msg":"internal error","words_result":[{"words":"A"}]})";
    QTest::newRow("error wins over lines") << 200 << both << "● OCR error [282000]"
            << serviceError(282000, "internal error", both) << true;

    const QString notParsed = QStringLiteral("● Failed to parse OCR response");
    QTest::newRow("empty body") << 200 << QByteArray() << notParsed << notJsonText(QByteArray()) << true;
    const QByteArray truncated = R"({"words_result":[)";
    QTest::newRow("truncated JSON") << 200 << truncated << notParsed << notJsonText(truncated) << true;
    const QByteArray page = "<html><body><h1>502 Bad Gateway</h1></body></html>";
    QTest::newRow("HTML error page") << 200 << page << notParsed << notJsonText(page) << true;
    QTest::newRow("array") << 200 << QByteArray(R"([{"words":"A"}])") << "● Invalid OCR response format"
            << "OCR response is not a JSON object:\n[{\"words\":\"A\"}]" << true;

    const QByteArray megabyte(1024 * 1024, 'm');
    QTest::newRow("1 MiB, not JSON: shown cut") << 200 << megabyte << notParsed
            << notJsonText(megabyte, QString(16384, QLatin1Char('m')) + QStringLiteral("\n[first 16384 of 1048576 bytes shown]"))
            << false;

    const QString failed = QStringLiteral("● OCR request failed: ");
    QTest::newRow("HTTP 404") << 404 << QByteArray(R"({"error_code":3})") << failed << Unchanged << true;
    QTest::newRow("HTTP 500") << 500 << QByteArray("oops") << failed << Unchanged << true;
    const QString tooLarge = failed + QStringLiteral("The reply is larger than the 8 MiB limit and was not read.");
    QTest::newRow("50 MB of letters") << 200 << QByteArray(50 * 1024 * 1024, 'z') << tooLarge << Unchanged << true;
    QTest::newRow("50 MB of letters, no length") << 200 << QByteArray(50 * 1024 * 1024, 'z') << tooLarge
            << Unchanged << false;
}

void tst_OcrRequest::replies()
{
    QFETCH(int, httpStatus);
    QFETCH(QByteArray, body);
    QFETCH(QString, status);
    QFETCH(QString, result);
    QFETCH(bool, withLength);

    LogRecorder log;
    ClientHarness h;
    h.parts->accessToken->setText(QStringLiteral("tok"));
    h.parts->result->setPlainText(QStringLiteral("earlier text"));
    ScriptedReply reply;
    reply.status = httpStatus;
    reply.body = body;
    reply.noLength = !withLength;
    h.server.enqueue(reply);

    const QString failedPrefix = QStringLiteral("● OCR request failed: ");
    const bool networkError = status.startsWith(failedPrefix);
    deliverCapturedImage(*h.window, testImage(QSize(40, 30)));
    QTRY_VERIFY(h.parts->status->text() != Recognizing);
    QTRY_COMPARE(h.boxes.boxes.size(), networkError ? 1 : 0);
    QTRY_COMPARE(h.pendingReplies(), 0);

    const QString expectedStyle = status.startsWith(QStringLiteral("✅")) ? StatusStyle::Success : StatusStyle::Error;
    QCOMPARE(h.parts->status->styleSheet(), expectedStyle);
    QCOMPARE(h.parts->result->toPlainText(), result == Unchanged ? QStringLiteral("earlier text") : result);
    // Whatever the reply, no line shown is long enough to stall the text layout.
    for (const QString &line : h.parts->result->toPlainText().split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= 16384 + 64, "a line of the result box is not bounded");

    if (networkError) {
        const QString statusText = h.parts->status->text();
        QVERIFY2(statusText.startsWith(status) && statusText.size() > failedPrefix.size(), qPrintable(statusText));
        const SeenMessageBox box = h.boxes.boxes.first();
        QCOMPARE(box.title, QStringLiteral("Network Error"));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.text, QStringLiteral("OCR request failed:\n") + statusText.mid(failedPrefix.size()));
        QVERIFY(log.linesStartingWith(QStringLiteral("OCR response:")).isEmpty());
    } else {
        QCOMPARE(h.parts->status->text(), status);
        const QStringList logged = log.linesStartingWith(QStringLiteral("OCR response:"));
        QCOMPARE(logged.size(), 1);
        QVERIFY2(logged.first().size() < 8192, "the whole body went to the log");
    }
}

void tst_OcrRequest::nullReplyChangesNothing()
{
    ClientHarness h;
    h.parts->result->setPlainText(QStringLiteral("kept"));
    const QString status = h.parts->status->text();
    deliverNullOcrReply(*h.window);
    QCOMPARE(h.parts->status->text(), status);
    QCOMPARE(h.parts->result->toPlainText(), QStringLiteral("kept"));
    QVERIFY(h.boxes.boxes.isEmpty());
}

void tst_OcrRequest::tokenStaysOutOfLogAndScreen_data()
{
    QTest::addColumn<int>("httpStatus");

    QTest::newRow("recognised") << 200;
    QTest::newRow("HTTP 503") << 503;
}

void tst_OcrRequest::tokenStaysOutOfLogAndScreen()
{
    QFETCH(int, httpStatus);

    const QString token = QStringLiteral("24.se+cret/tok=");
    LogRecorder log;
    ClientHarness h;
    h.parts->accessToken->setText(token);
    h.server.enqueue(httpStatus, R"({"words_result":[],"words_result_num":0})");
    deliverCapturedImage(*h.window, testImage(QSize(8, 8)));
    QTRY_VERIFY(h.parts->status->text() != Recognizing);
    QTRY_COMPARE(h.boxes.boxes.size(), httpStatus == 200 ? 0 : 1);

    const QString urlLine = log.linesStartingWith(QStringLiteral("OCR request url:")).value(0);
    QVERIFY2(urlLine.endsWith(QStringLiteral("/rest/2.0/ocr/v1/accurate_basic?access_token=***\"")),
             qPrintable(urlLine));
    QStringList shown = log.lines();
    shown << h.parts->status->text();
    for (const auto &box : h.boxes.boxes)
        shown << box.text;
    const QString everything = shown.join(QLatin1Char('\n'));
    for (const QString &spelling : {token, QString::fromLatin1(QUrl::toPercentEncoding(token)),
                                    QStringLiteral("24.se")}) {
        QVERIFY2(!everything.contains(spelling), qPrintable(everything));
    }
    if (httpStatus == 503)
        QVERIFY2(h.parts->status->text().contains(QStringLiteral("access_token=***")),
                 qPrintable(h.parts->status->text()));
}

void tst_OcrRequest::replyFinishingLastWins()
{
    ClientHarness h;
    h.parts->accessToken->setText(QStringLiteral("tok"));
    ScriptedReply first;
    first.hold = true;
    first.body = R"({"words_result":[{"words":"first"}],"words_result_num":1})";
    ScriptedReply second = first;
    second.body = R"({"words_result":[{"words":"second"},{"words":"two"}],"words_result_num":2})";
    h.server.enqueue(first);
    h.server.enqueue(second);

    deliverCapturedImage(*h.window, testImage(QSize(8, 8)), 1);
    deliverCapturedImage(*h.window, testImage(QSize(9, 9)), 2);
    QTRY_COMPARE(h.server.requests.size(), 2);

    h.server.release(1);
    QTRY_COMPARE(h.parts->result->toPlainText(), QStringLiteral("second\ntwo"));
    QCOMPARE(h.parts->status->text(), QStringLiteral("✅ Recognition completed. 2 lines detected."));
    h.server.release(0);
    QTRY_COMPARE(h.parts->result->toPlainText(), QStringLiteral("first"));
    QCOMPARE(h.parts->status->text(), QStringLiteral("✅ Recognition completed. 1 lines detected."));
    QTRY_COMPARE(h.pendingReplies(), 0);
}

QTEST_MAIN(tst_OcrRequest)
#include "tst_ocrrequest.moc"
