// SPDX-License-Identifier: MIT
// Drives the real window through its real buttons, as a user would: open the
// camera, type the keys, get a token, capture, and wait for the text.
#include "mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

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

double lineRatio(const QString &a, const QString &b)
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
    const int longest = std::max(a.size(), b.size());
    return longest ? 1.0 - double(row[b.size()]) / longest : 1.0;
}

// Share of matching characters, line by line in order.
double similarity(const QStringList &expected, const QStringList &actual)
{
    const int n = std::max(expected.size(), actual.size());
    double sum = 0;
    for (int i = 0; i < std::min(expected.size(), actual.size()); ++i)
        sum += lineRatio(expected[i], actual[i]);
    return n ? sum / n : 1.0;
}

int fail(const QString &message)
{
    std::fprintf(stderr, "walkthrough: %s\n", qPrintable(message));
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
    std::printf("1. Open Camera: %s\n", qPrintable(status->text()));

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
    std::printf("2. Get Token: %s\n", qPrintable(status->text()));

    QTest::qWait(300); // let the live picture run a few frames, as a user would
    QElapsedTimer clock;
    clock.start();
    click(button(window, QStringLiteral("🔍 Capture OCR")));
    const bool finished = waitFor([&] {
        return status->text().startsWith(QStringLiteral("✅")) || status->text().startsWith(QStringLiteral("●"));
    }, 60000);
    const qint64 elapsed = clock.elapsed();
    std::printf("3. Capture OCR: %s (%lld ms from click to text)\n", qPrintable(status->text()),
                static_cast<long long>(elapsed));

    const QStringList lines = result->toPlainText().split(QLatin1Char('\n'));
    std::printf("\nRecognised text:\n");
    for (const QString &line : lines)
        std::printf("    %s\n", qPrintable(line));

    if (parser.isSet(screenshot)) {
        QTest::qWait(100);
        const QImage shot = window.screen()->grabWindow(window.winId()).toImage();
        if (!shot.save(parser.value(screenshot)))
            return fail(QStringLiteral("cannot write ") + parser.value(screenshot));
        std::printf("\nScreenshot: %s\n", qPrintable(parser.value(screenshot)));
    }

    if (!finished || !status->text().startsWith(QStringLiteral("✅")))
        return fail(QStringLiteral("recognition did not succeed: ") + status->text());
    if (parser.isSet(expect)) {
        QFile file(parser.value(expect));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return fail(QStringLiteral("cannot read ") + parser.value(expect));
        const QStringList expected = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const double score = similarity(expected, lines);
        const QString wantStatus = QStringLiteral("✅ Recognition completed. %1 lines detected.").arg(expected.size());
        std::printf("Line-level similarity with the expected text: %.3f\n", score);
        if (score < 0.95)
            return fail(QStringLiteral("the recognised text differs from the expected text"));
        if (status->text() != wantStatus)
            return fail(QStringLiteral("expected the status \"%1\"").arg(wantStatus));
    }
    std::fflush(stdout);
    return 0;
}
