// SPDX-License-Identifier: MIT
// Drives the real window through its real buttons, as a user would: open the
// camera, type the keys, get a token, capture, and wait for the text.
#include "mainwindow.h"
#include "messageboxrecorder.h"
#include "textscore.h"
#include "windowparts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCamera>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QScreen>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void click(QAbstractButton *b)
{
    QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, b->rect().center());
}

bool isChinese(const QString &line)
{
    const QVector<uint> characters = line.toUcs4();
    return std::any_of(characters.begin(), characters.end(),
                       [](uint c) { return QChar::script(c) == QChar::Script_Han; });
}

// The box shows about five lines: scrolled to the end, as a user would, the
// screenshot shows the last ones, the Chinese lines of the test card.
void scrollToEnd(QTextEdit &result)
{
    QScrollBar *bar = result.verticalScrollBar();
    bar->setValue(bar->maximum());
}

// The card's Chinese lines are clean print: more than one error in twenty
// characters means the service or the card has gone wrong.
constexpr double MaxChineseErrorRate = 0.05;

// On stdout with the walkthrough's other lines: stderr carries the
// program's own log.
int fail(const QString &message)
{
    std::printf("walkthrough: %s\n", qUtf8Printable(message));
    std::fflush(stdout);
    return 1;
}

QString seenBoxes(const MessageBoxRecorder &boxes)
{
    QStringList seen;
    for (const SeenMessageBox &box : boxes.boxes)
        seen << box.title + QStringLiteral(": ") + box.text;
    return seen.join(QLatin1Char(' '));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Drives the window from camera to recognised text."));
    parser.addHelpOption();
    const QCommandLineOption apiKey(QStringLiteral("api-key"), QStringLiteral("API Key to type."), QStringLiteral("key"));
    const QCommandLineOption secretKey(QStringLiteral("secret-key"), QStringLiteral("Secret Key to type."),
                                       QStringLiteral("secret"));
    const QCommandLineOption expect(QStringLiteral("expect"), QStringLiteral("File with the lines expected."),
                                    QStringLiteral("file"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"), QStringLiteral("Where to save a screenshot."),
                                        QStringLiteral("png"));
    const QCommandLineOption trustCa(QStringLiteral("trust-ca"),
                                     QStringLiteral("Also trust this CA (a local service with its own certificate)."),
                                     QStringLiteral("pem"));
    parser.addOptions({apiKey, secretKey, expect, screenshot, trustCa});
    parser.process(app);

    if (parser.isSet(trustCa)) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates(QSslConfiguration::systemCaCertificates()
                                 + QSslCertificate::fromPath(parser.value(trustCa)));
        QSslConfiguration::setDefaultConfiguration(config);
    }

    QStringList expected;
    if (parser.isSet(expect)) {
        QFile file(parser.value(expect));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return fail(QStringLiteral("cannot read ") + parser.value(expect));
        expected = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        // Without a Chinese face the result box and the screenshot would show
        // empty boxes, whatever the service read.
        if (std::any_of(expected.begin(), expected.end(), isChinese)
            && QFontDatabase().families(QFontDatabase::SimplifiedChinese).isEmpty())
            return fail(QStringLiteral("no font for Simplified Chinese is installed (Debian: fonts-noto-cjk)"));
    }

    MessageBoxRecorder boxes;
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return fail(QStringLiteral("the window did not appear"));
    const WindowParts parts(window);
    if (!parts.complete())
        return fail(QStringLiteral("the window's layout is not the one this walkthrough knows"));
    QLabel *status = parts.status;

    // The status says "opened" as the camera is asked to start; only the
    // camera's own status says that it really runs.
    click(parts.openCamera);
    auto *camera = window.findChild<QCamera *>();
    if (!QTest::qWaitFor([&] { return camera && camera->status() == QCamera::ActiveStatus; }, 5000)
        || status->text() != QStringLiteral("● Camera opened"))
        return fail(QStringLiteral("the camera did not open: ") + status->text() + QLatin1Char(' ') + seenBoxes(boxes));
    std::printf("1. Open Camera: %s\n", qUtf8Printable(status->text()));

    QTest::keyClicks(parts.apiKey, parser.value(apiKey));
    QTest::keyClicks(parts.secretKey, parser.value(secretKey));
    click(parts.getToken);
    if (!QTest::qWaitFor([&] { return !status->text().startsWith(QStringLiteral("⏳")) && !boxes.boxes.isEmpty(); },
                         30000)
        || parts.accessToken->text().isEmpty()) {
        return fail(QStringLiteral("no token: ") + status->text() + QLatin1Char(' ') + seenBoxes(boxes));
    }
    std::printf("2. Get Token: %s\n", qUtf8Printable(status->text()));

    QTest::qWait(300); // let the live picture run a few frames, as a user would
    QElapsedTimer clock;
    clock.start();
    click(parts.capture);
    const QString recognised = QStringLiteral("✅ Recognition completed.");
    const bool finished = QTest::qWaitFor([&] {
        return status->text().startsWith(recognised) || status->text().startsWith(QStringLiteral("●"));
    }, 60000);
    const qint64 elapsed = clock.elapsed();
    std::printf("3. Capture OCR: %s (%lld ms from click to text)\n", qUtf8Printable(status->text()),
                static_cast<long long>(elapsed));

    const QStringList lines = parts.result->toPlainText().split(QLatin1Char('\n'));
    std::printf("\nRecognised text:\n");
    for (const QString &line : lines)
        std::printf("    %s\n", qUtf8Printable(line));

    if (parser.isSet(screenshot)) {
        scrollToEnd(*parts.result);
        QTest::qWait(100);
        const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
        if (!shot.save(parser.value(screenshot)))
            return fail(QStringLiteral("cannot write ") + parser.value(screenshot));
        std::printf("\nScreenshot: %s\n", qPrintable(parser.value(screenshot)));
    }

    if (!finished || !status->text().startsWith(recognised))
        return fail(QStringLiteral("recognition did not succeed: ") + status->text());
    if (parser.isSet(expect)) {
        // Line by line in order: English lines by their share of matching
        // characters, Chinese lines by their character error rate.
        std::vector<std::string> wantEnglish, gotEnglish, wantChinese, gotChinese;
        for (int i = 0; i < expected.size(); ++i) {
            const bool chinese = isChinese(expected[i]);
            (chinese ? wantChinese : wantEnglish).push_back(expected[i].toStdString());
            (chinese ? gotChinese : gotEnglish).push_back(lines.value(i).toStdString());
        }
        const double similarity = lineSimilarity(wantEnglish, gotEnglish);
        std::printf("English lines: similarity with the expected text %.3f\n", similarity);
        if (!wantChinese.empty()) {
            const CharacterErrors errors = characterErrors(wantChinese, gotChinese);
            std::printf("Chinese lines: %zu edits in %zu characters, character error rate %.1f %%\n", errors.edits,
                        errors.length, errors.rate() * 100);
            if (errors.rate() > MaxChineseErrorRate)
                return fail(QStringLiteral("the Chinese lines differ from the expected text"));
        }
        if (similarity < 0.95)
            return fail(QStringLiteral("the recognised text differs from the expected text"));
        const QString wantStatus = QStringLiteral("✅ Recognition completed. %1 lines detected.").arg(expected.size());
        if (status->text() != wantStatus)
            return fail(QStringLiteral("expected the status \"%1\"").arg(wantStatus));
    }
    std::fflush(stdout);
    return 0;
}
