// SPDX-License-Identifier: MIT
#include "mainwindow.h"
#include "statusstyles.h"
#include "windowparts.h"

#include <QGroupBox>
#include <QLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QVideoWidget>

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void initialTexts_data();
    void initialTexts();
    void lineEdits_data();
    void lineEdits();
    void initialStateAndStyles();
    void sizesAndLogo();
    void extraHeightGoesToResultRow();
    void focusOrder();
    void embeddedImages();
    void refusesUnsafeServiceAddress_data();
    void refusesUnsafeServiceAddress();
};

void tst_Window::initialTexts_data()
{
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QString>("text");

    QTest::newRow("status") << "status" << QStringLiteral("● Camera is not opened");
    QTest::newRow("open") << "open" << QStringLiteral("📷 Open Camera");
    QTest::newRow("capture") << "capture" << QStringLiteral("🔍 Capture OCR");
    QTest::newRow("token button") << "getToken" << QStringLiteral("Get Token");
    QTest::newRow("group") << "group" << QStringLiteral("Baidu OCR API Settings");
    QTest::newRow("result caption") << "resultCaption" << QStringLiteral("Recognition Result:");
    QTest::newRow("result placeholder") << "resultPlaceholder"
            << QStringLiteral("Click \"Capture OCR\" to recognize text from the camera image...");
    QTest::newRow("title") << "title" << QStringLiteral("Virelto - Baidu OCR");
}

void tst_Window::initialTexts()
{
    QFETCH(QString, widget);
    QFETCH(QString, text);

    MainWindow window;
    WindowParts parts(window);
    QVERIFY2(parts.complete(), "a widget is missing or out of place in the layout");

    const QHash<QString, QString> actual = {
        {QStringLiteral("status"), parts.status->text()},
        {QStringLiteral("open"), parts.openCamera->text()},
        {QStringLiteral("capture"), parts.capture->text()},
        {QStringLiteral("getToken"), parts.getToken->text()},
        {QStringLiteral("group"), parts.apiGroup->title()},
        {QStringLiteral("resultCaption"), parts.resultCaption->text()},
        {QStringLiteral("resultPlaceholder"), parts.result->placeholderText()},
        {QStringLiteral("title"), window.windowTitle()},
    };
    QCOMPARE(actual.value(widget), text);
}

void tst_Window::lineEdits_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("placeholder");
    QTest::addColumn<int>("echoMode");

    QTest::newRow("api key") << 0 << "API Key:"
            << "Enter the API Key of your Baidu AI application" << int(QLineEdit::Normal);
    QTest::newRow("secret key") << 1 << "Secret Key:"
            << "Enter the Secret Key of your Baidu AI application" << int(QLineEdit::Password);
    QTest::newRow("access token") << 2 << "Access Token:"
            << "Or paste an existing Access Token here" << int(QLineEdit::Normal);
}

void tst_Window::lineEdits()
{
    QFETCH(int, row);
    QFETCH(QString, label);
    QFETCH(QString, placeholder);
    QFETCH(int, echoMode);

    MainWindow window;
    WindowParts parts(window);
    QLineEdit *edits[] = {parts.apiKey, parts.secretKey, parts.accessToken};
    QLineEdit *edit = edits[row];
    QVERIFY(edit);

    auto *rowLayout = parts.apiGroup->layout()->itemAt(row)->layout();
    auto *caption = qobject_cast<QLabel *>(rowLayout->itemAt(0)->widget());
    QVERIFY(caption);
    QCOMPARE(caption->text(), label);
    QCOMPARE(caption->minimumWidth(), 90);
    QCOMPARE(edit->placeholderText(), placeholder);
    QCOMPARE(int(edit->echoMode()), echoMode);
    QVERIFY(edit->isEnabled());
    QVERIFY(edit->text().isEmpty());
}

void tst_Window::initialStateAndStyles()
{
    MainWindow window;
    WindowParts parts(window);
    QVERIFY(parts.complete());

    QCOMPARE(parts.status->styleSheet(), StatusStyle::Idle);
    QCOMPARE(parts.status->alignment(), Qt::AlignCenter);
    QVERIFY(parts.openCamera->isEnabled());
    QVERIFY(!parts.capture->isEnabled());
    QVERIFY(parts.capture->styleSheet().contains(
            QStringLiteral("QPushButton:disabled { background-color: #ccc; color: #888; }")));
    QVERIFY(parts.getToken->isEnabled());
    QVERIFY(!parts.result->isReadOnly());
    QVERIFY(parts.result->toPlainText().isEmpty());
    QCOMPARE(parts.video->styleSheet(),
             QStringLiteral("background-color: #1e1e1e; border: 2px solid #555; border-radius: 4px;"));
    // Four spaces inside the style sheets are part of the text.
    QVERIFY(parts.openCamera->styleSheet().startsWith(
            QStringLiteral("QPushButton {    background-color: #0078d4;    color: white;")));
}

void tst_Window::sizesAndLogo()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    WindowParts parts(window);

    QCOMPARE(window.width(), 920);
    QVERIFY2(window.height() >= 760, qPrintable(QString::number(window.height())));
    QCOMPARE(parts.video->minimumSize(), QSize(640, 480));
    QVERIFY(parts.video->width() >= 640 && parts.video->height() >= 480);
    QCOMPARE(parts.openCamera->minimumHeight(), 36);
    QCOMPARE(parts.capture->minimumHeight(), 36);
    QCOMPARE(parts.getToken->minimumHeight(), 28);
    QCOMPARE(parts.result->minimumHeight(), 100);

    QCOMPARE(parts.logo->size(), QSize(80, 64));
    QCOMPARE(parts.logo->minimumSize(), parts.logo->maximumSize());
    QCOMPARE(parts.logo->pixmap(Qt::ReturnByValue).size(), QSize(64, 64));
    QCOMPARE(parts.logo->alignment(), Qt::AlignCenter);
    QCOMPARE(parts.logo->y(), parts.result->y()); // top of the result row

    // Both camera buttons sit at the left, the token button right of its field.
    QVERIFY(parts.openCamera->x() < parts.capture->x());
    QVERIFY(parts.capture->geometry().right() < window.width() / 2);
    QVERIFY(parts.getToken->x() > parts.accessToken->geometry().right());
}

void tst_Window::extraHeightGoesToResultRow()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    WindowParts parts(window);

    const QSize videoBefore = parts.video->size();
    const int resultBefore = parts.result->height();
    window.resize(window.width(), window.height() + 200);
    QTRY_COMPARE(parts.result->height(), resultBefore + 200);
    QCOMPARE(parts.video->size(), videoBefore);

    const int resultWidth = parts.result->width();
    window.resize(window.width() + 100, window.height());
    QTRY_COMPARE(parts.result->width(), resultWidth + 100);
    QCOMPARE(parts.logo->size(), QSize(80, 64));
}

void tst_Window::focusOrder()
{
    MainWindow window;
    WindowParts parts(window);
    parts.capture->setEnabled(true); // as after the camera has opened

    const QList<QWidget *> expected = {parts.openCamera, parts.capture, parts.apiKey, parts.secretKey,
                                       parts.accessToken, parts.getToken, parts.result};
    QList<QWidget *> actual;
    QWidget *w = parts.openCamera;
    do {
        if (expected.contains(w))
            actual << w;
        w = w->nextInFocusChain();
    } while (w != parts.openCamera);
    QCOMPARE(actual, expected);
}

void tst_Window::embeddedImages()
{
    const QImage icon(QStringLiteral(":/logo1.ico"));
    QCOMPARE(icon.size(), QSize(128, 128));
    QVERIFY(icon.hasAlphaChannel());
    QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);      // transparent corner
    QCOMPARE(qAlpha(icon.pixel(64, 64)), 255);  // solid mark

    const QImage logo(QStringLiteral(":/imgs/logo4.png"));
    QCOMPARE(logo.size(), QSize(2008, 2008));
    QVERIFY(logo.hasAlphaChannel());
}

void tst_Window::refusesUnsafeServiceAddress_data()
{
    QTest::addColumn<QString>("value");

    // Which addresses are refused is tst_serviceaddress's table; here, that a
    // refusal ends the program with one line on stderr.
    QTest::newRow("plain http to a remote host") << "http://ocr.example.com";
    QTest::newRow("line break") << "https://ocr.example.com/a\nvirelto: address accepted";
}

void tst_Window::refusesUnsafeServiceAddress()
{
    QFETCH(QString, value);

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("VIRELTO_API_BASE_URL"), value);
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VIRELTO_BINARY), QStringList());
    QVERIFY2(program.waitForFinished(20000), "the program did not exit on a bad address");

    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 2);
    const QString errors = QString::fromUtf8(program.readAllStandardError()).trimmed();
    QVERIFY2(errors.contains(QStringLiteral("VIRELTO_API_BASE_URL")), qPrintable(errors));
    QVERIFY2(!errors.contains(QLatin1Char('\n')), qPrintable(errors));
    QVERIFY(program.readAllStandardOutput().isEmpty());
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
