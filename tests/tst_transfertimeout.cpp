// SPDX-License-Identifier: MIT
#include "clientharness.h"
#include "mainwindow.h"
#include "temporaryworkingdirectory.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

// A service that accepts a request and never answers must not leave the
// window busy for good: both requests give up after 30 seconds.
class tst_TransferTimeout : public QObject
{
    Q_OBJECT

private slots:
    void stalledRequestsEndInNetworkError();
};

void tst_TransferTimeout::stalledRequestsEndInNetworkError()
{
    TemporaryWorkingDirectory workDir;
    QVERIFY(workDir.isValid());

    ClientHarness h;
    ScriptedReply stall;
    stall.stall = true;
    h.server.enqueue(stall);
    h.server.enqueue(stall);

    QElapsedTimer clock;
    clock.start();
    h.parts->apiKey->setText(QStringLiteral("key"));
    h.parts->secretKey->setText(QStringLiteral("secret"));
    h.parts->getToken->click();
    h.parts->accessToken->setText(QStringLiteral("tok"));
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::gray);
    deliverCapturedImage(*h.window, image);
    QTRY_COMPARE(h.server.requests.size(), 2);

    // Both give up at 30 s, a few milliseconds apart; a request without its
    // timeout would wait for ever, so say which one it is.
    const auto missing = [&h] {
        QStringList seen;
        for (const auto &box : h.boxes.boxes)
            seen << box.text.section(QLatin1Char('\n'), 0, 0);
        return QStringLiteral("still waiting after 30 s: %1")
                .arg(seen.contains(QStringLiteral("Failed to get Access Token:")) ? QStringLiteral("the OCR request")
                                                                                  : QStringLiteral("the token request"));
    };
    QTRY_VERIFY2_WITH_TIMEOUT(!h.boxes.boxes.isEmpty(), "still waiting after 30 s: both requests", 40000);
    QTRY_VERIFY2_WITH_TIMEOUT(h.boxes.boxes.size() == 2, qPrintable(missing()), 5000);
    QVERIFY2(clock.elapsed() >= 29000, "a request gave up before its 30 s transfer timeout");

    QStringList texts;
    for (const auto &box : h.boxes.boxes) {
        QCOMPARE(box.title, QStringLiteral("Network Error"));
        texts << box.text.section(QLatin1Char('\n'), 0, 0);
    }
    texts.sort();
    QCOMPARE(texts, (QStringList{QStringLiteral("Failed to get Access Token:"), QStringLiteral("OCR request failed:")}));
    QVERIFY2(h.parts->status->text().contains(QStringLiteral("failed")), qPrintable(h.parts->status->text()));
    QTRY_COMPARE(h.pendingReplies(), 0);
}

QTEST_MAIN(tst_TransferTimeout)
#include "tst_transfertimeout.moc"
