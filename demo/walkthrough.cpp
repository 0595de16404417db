// SPDX-License-Identifier: MIT
// Drives the real window through its real buttons, as a user would: open the
// camera, type the keys, get a token, capture, and wait for the text.
#include "mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QScreen>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

template<typename T>
T *findWidget(QWidget &window, const std::function<bool(T *)> &matches)
{
    const auto all = window.findChildren<T *>();
    for (T *w : all) {
        if (matches(w))
            return w;
    }
    return nullptr;
}

QPushButton *button(QWidget &window, const QString &text)
{
    return findWidget<QPushButton>(window, [&](QPushButton *b) { return b->text() == text; });
}

QLineEdit *field(QWidget &window, const QString &placeholder)
{
    return findWidget<QLineEdit>(window, [&](QLineEdit *e) { return e->placeholderText().startsWith(placeholder); });
}

QLabel *statusLine(QWidget &window)
{
    return findWidget<QLabel>(window, [](QLabel *l) { return l->text().startsWith(QStringLiteral("●")); });
}

void click(QAbstractButton *b)
{
    QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, b->rect().center());
}

// Answers every message box with OK, noting what it said.
class BoxAnswerer : public QObject
{
public:
    QStringList seen;

    BoxAnswerer()
    {
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible() || box->property("answered").toBool())
                return;
            box->setProperty("answered", true);
            seen << box->windowTitle() + QStringLiteral(": ") + box->text();
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                click(ok);
        });
        m_timer.start();
    }

private:
    QTimer m_timer;
};

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(20);
    }
    return true;
}

int editDistance(const QVector<uint> &a, const QVector<uint> &b)
{
    QVector<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

bool isChinese(const QString &line)
{
    const QVector<uint> characters = line.toUcs4();
    return std::any_of(characters.begin(), characters.end(),
                       [](uint c) { return QChar::script(c) == QChar::Script_Han; });
}

// Chinese lines are compared the way OCR of Chinese is scored: compatibility
// forms folded (full-width colon and digits), white space ignored, since
// Tesseract may or may not set Han characters apart.
QVector<uint> comparable(const QString &line, bool chinese)
{
    if (!chinese)
        return line.toUcs4();
    QVector<uint> out;
    const QVector<uint> characters = line.normalized(QString::NormalizationForm_KC).toUcs4();
    for (uint c : characters) {
        if (!QChar::isSpace(c))
            out << c;
    }
    return out;
}

struct LineScore
{
    bool chinese = false;
    int edits = 0;
    int expectedLength = 0;
    double ratio = 0; // share of matching characters
};

// Line by line in order: a missing, extra or swapped line costs as much as
// a wrong one.
QVector<LineScore> scoreLines(const QStringList &expected, const QStringList &actual)
{
    QVector<LineScore> scores;
    for (int i = 0; i < std::max(expected.size(), actual.size()); ++i) {
        LineScore s;
        s.chinese = i < expected.size() ? isChinese(expected[i]) : isChinese(actual[i]);
        const QVector<uint> want = comparable(expected.value(i), s.chinese);
        const QVector<uint> got = comparable(actual.value(i), s.chinese);
        s.edits = editDistance(want, got);
        s.expectedLength = want.size();
        const int longest = std::max(want.size(), got.size());
        s.ratio = longest ? 1.0 - double(s.edits) / longest : 1.0;
        scores << s;
    }
    return scores;
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

int fail(const QString &message)
{
    std::fprintf(stderr, "walkthrough: %s\n", qUtf8Printable(message));
    return 1;
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

    BoxAnswerer boxes;
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return fail(QStringLiteral("the window did not appear"));
    QLabel *status = statusLine(window);
    auto *result = window.findChild<QTextEdit *>();

    click(button(window, QStringLiteral("📷 Open Camera")));
    if (!waitFor([&] { return status->text() == QStringLiteral("● Camera opened"); }, 5000))
        return fail(QStringLiteral("the camera did not open: ") + status->text() + boxes.seen.join(QLatin1Char(' ')));
    std::printf("1. Open Camera: %s\n", qUtf8Printable(status->text()));

    QLineEdit *keyField = field(window, QStringLiteral("Enter the API Key"));
    QLineEdit *secretField = field(window, QStringLiteral("Enter the Secret Key"));
    QLineEdit *tokenField = field(window, QStringLiteral("Or paste an existing Access Token"));
    QTest::keyClicks(keyField, parser.value(apiKey));
    QTest::keyClicks(secretField, parser.value(secretKey));
    click(button(window, QStringLiteral("Get Token")));
    if (!waitFor([&] { return !status->text().startsWith(QStringLiteral("⏳")) && !boxes.seen.isEmpty(); }, 30000)
        || tokenField->text().isEmpty()) {
        return fail(QStringLiteral("no token: ") + status->text() + QLatin1Char(' ') + boxes.seen.join(QLatin1Char(' ')));
    }
    std::printf("2. Get Token: %s\n", qUtf8Printable(status->text()));

    QTest::qWait(300); // let the live picture run a few frames, as a user would
    QElapsedTimer clock;
    clock.start();
    click(button(window, QStringLiteral("🔍 Capture OCR")));
    const bool finished = waitFor([&] {
        return status->text().startsWith(QStringLiteral("✅")) || status->text().startsWith(QStringLiteral("●"));
    }, 60000);
    const qint64 elapsed = clock.elapsed();
    std::printf("3. Capture OCR: %s (%lld ms from click to text)\n", qUtf8Printable(status->text()),
                static_cast<long long>(elapsed));

    const QStringList lines = result->toPlainText().split(QLatin1Char('\n'));
    std::printf("\nRecognised text:\n");
    for (const QString &line : lines)
        std::printf("    %s\n", qUtf8Printable(line));

    if (parser.isSet(screenshot)) {
        scrollToEnd(*result);
        QTest::qWait(100);
        const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
        if (!shot.save(parser.value(screenshot)))
            return fail(QStringLiteral("cannot write ") + parser.value(screenshot));
        std::printf("\nScreenshot: %s\n", qPrintable(parser.value(screenshot)));
    }

    if (!finished || !status->text().startsWith(QStringLiteral("✅")))
        return fail(QStringLiteral("recognition did not succeed: ") + status->text());
    if (parser.isSet(expect)) {
        const QVector<LineScore> scores = scoreLines(expected, lines);
        double ratios = 0;
        int chineseEdits = 0;
        int chineseLength = 0;
        for (const LineScore &s : scores) {
            ratios += s.ratio;
            if (s.chinese) {
                chineseEdits += s.edits;
                chineseLength += s.expectedLength;
            }
        }
        const double score = scores.isEmpty() ? 1.0 : ratios / scores.size();
        const QString wantStatus = QStringLiteral("✅ Recognition completed. %1 lines detected.").arg(expected.size());
        std::printf("Line-level similarity with the expected text: %.3f\n", score);
        if (chineseLength > 0) {
            const double cer = double(chineseEdits) / chineseLength;
            std::printf("Chinese lines: %d edits in %d characters, character error rate %.1f %%\n", chineseEdits,
                        chineseLength, cer * 100);
            if (cer > MaxChineseErrorRate)
                return fail(QStringLiteral("the Chinese lines differ from the expected text"));
        }
        if (score < 0.95)
            return fail(QStringLiteral("the recognised text differs from the expected text"));
        if (status->text() != wantStatus)
            return fail(QStringLiteral("expected the status \"%1\"").arg(wantStatus));
    }
    std::fflush(stdout);
    return 0;
}
