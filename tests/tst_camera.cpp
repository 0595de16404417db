// SPDX-License-Identifier: MIT
#include "clientharness.h"
#include "mainwindow.h"
#include "statusstyles.h"
#include "temporaryworkingdirectory.h"
#include "virtualcameraprobe.h"

#include <QCameraImageCapture>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QVideoWidget>

namespace {

const QString OpenCaption = QStringLiteral("📷 Open Camera");
const QString CloseCaption = QStringLiteral("📷 Close Camera");

// The open button's caption, the capture button and the status line as one value.
struct Display
{
    QString caption;
    bool captureEnabled;
    QString status;
    QString style;

    bool operator==(const Display &o) const
    {
        return caption == o.caption && captureEnabled == o.captureEnabled && status == o.status
                && style == o.style;
    }
};

Display displayOf(const WindowParts &parts)
{
    // The status as the user sees it: markup from the backend must not render.
    return {parts.openCamera->text(), parts.capture->isEnabled(), shownText(parts.status),
            parts.status->styleSheet()};
}

const Display Opened{CloseCaption, true, QStringLiteral("● Camera opened"), StatusStyle::Success};
const Display Closed{OpenCaption, false, QStringLiteral("● Camera closed"), StatusStyle::Idle};

} // namespace

namespace QTest {
template<>
char *toString(const Display &d)
{
    return qstrdup(QStringLiteral("[%1 | capture %2 | %3 | %4]")
                           .arg(d.caption, d.captureEnabled ? QStringLiteral("on") : QStringLiteral("off"),
                                d.status, d.style)
                           .toUtf8()
                           .constData());
}
} // namespace QTest

class tst_Camera : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void noCameraListed();
    void openShowsPictureAndCloseKeepsObjects();
    void lateStart_data();
    void lateStart();
    void cameraErrors_data();
    void cameraErrors();
    void reopenedCameraDeliversEachImageOnce();
    void captureSendsTheFrame();
    void captureFaults_data();
    void captureFaults();
    void captureAfterClose();
    void closingTheWindowStopsTheCamera();

private:
    std::unique_ptr<TemporaryWorkingDirectory> m_workDir;
};

void tst_Camera::init()
{
    qunsetenv("VIRELTO_VIRTUALCAM_DEVICES");
    m_workDir = std::make_unique<TemporaryWorkingDirectory>();
    QVERIFY(m_workDir->isValid());
}

void tst_Camera::cleanup()
{
    qunsetenv("VIRELTO_VIRTUALCAM_DEVICES");
    qunsetenv("VIRELTO_VIRTUALCAM_START_ERROR");
    m_workDir.reset();
}

void tst_Camera::noCameraListed()
{
    qputenv("VIRELTO_VIRTUALCAM_DEVICES", "0");
    ClientHarness h;
    const Display before = displayOf(*h.parts);

    h.parts->openCamera->click();
    h.parts->openCamera->click();
    QCOMPARE(h.boxes.boxes.size(), 2); // every click lists the cameras again
    for (const SeenMessageBox &box : h.boxes.boxes) {
        QCOMPARE(box.title, QStringLiteral("Error"));
        QCOMPARE(box.text, QStringLiteral("No USB camera detected.\nPlease check whether the camera is connected correctly."));
        QCOMPARE(box.icon, QMessageBox::Warning);
    }
    QCOMPARE(displayOf(*h.parts), before);
    QVERIFY(!h.window->findChild<QCamera *>());
    QVERIFY(!h.window->findChild<QCameraImageCapture *>());

    qunsetenv("VIRELTO_VIRTUALCAM_DEVICES"); // the camera is plugged in
    h.parts->openCamera->click();
    QCOMPARE(displayOf(*h.parts), Opened);
    QCOMPARE(h.boxes.boxes.size(), 2);
}

void tst_Camera::openShowsPictureAndCloseKeepsObjects()
{
    ClientHarness h;
    h.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(h.window.get()));
    QVERIFY(toneOf(h.parts->video->grab().toImage()).lightness < 80); // dark before

    h.parts->openCamera->click();
    QCOMPARE(displayOf(*h.parts), Opened);
    VirtualCameraProbe probe(*h.window);
    QVERIFY(probe.isValid());
    QCOMPARE(h.window->findChildren<QCamera *>().size(), 1);
    QCOMPARE(probe.camera()->parent(), h.window.get());

    // Frames keep arriving and the widget shows the bright test card.
    QTRY_VERIFY(probe.framesPresented() >= 3);
    QTRY_VERIFY(toneOf(h.parts->video->grab().toImage()).lightness > 180);

    h.parts->openCamera->click();
    QCOMPARE(displayOf(*h.parts), Closed);
    QCOMPARE(probe.camera()->state(), QCamera::LoadedState);
    QCOMPARE(probe.requestedStates().last(), int(QCamera::LoadedState));
    QCOMPARE(h.window->findChild<QCamera *>(), probe.camera());
    QVERIFY(h.window->findChild<QCameraImageCapture *>());
    const int framesWhenClosed = probe.framesPresented();

    h.parts->openCamera->click();
    QCOMPARE(displayOf(*h.parts), Opened);
    QTRY_VERIFY(probe.framesPresented() > framesWhenClosed);
    QCOMPARE(h.window->findChildren<QCamera *>().size(), 1);
    QVERIFY(h.boxes.boxes.isEmpty());
}

void tst_Camera::lateStart_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("statusLate");
    QTest::addColumn<bool>("openedAtOnce");
    QTest::addColumn<bool>("openedByCheck");

    QTest::newRow("state active at once, status late") << 1500 << true << true << true;
    QTest::newRow("state late, before the check") << 300 << false << false << true;
    QTest::newRow("state late, after the check") << 1500 << false << false << false;
}

void tst_Camera::lateStart()
{
    QFETCH(int, delayMs);
    QFETCH(bool, statusLate);
    QFETCH(bool, openedAtOnce);
    QFETCH(bool, openedByCheck);

    ClientHarness h;
    h.parts->openCamera->click(); // creates the camera
    h.parts->openCamera->click(); // closes it
    VirtualCameraProbe probe(*h.window);
    QVERIFY(probe.isValid());
    probe.setStartDelay(delayMs, statusLate);

    h.parts->openCamera->click();
    if (openedAtOnce) {
        QCOMPARE(displayOf(*h.parts), Opened);
        return;
    }
    QCOMPARE(displayOf(*h.parts), Closed); // nothing changes until the check

    if (openedByCheck) {
        QTRY_COMPARE_WITH_TIMEOUT(displayOf(*h.parts), Opened, 3000);
        return;
    }
    const Display failed{OpenCaption, false, QStringLiteral("● Failed to start camera"), StatusStyle::Error};
    QTRY_COMPARE_WITH_TIMEOUT(displayOf(*h.parts), failed, 3000);

    // The picture starts later; the next click finds the camera active and closes it.
    QTRY_COMPARE_WITH_TIMEOUT(probe.camera()->state(), QCamera::ActiveState, 5000);
    QCOMPARE(displayOf(*h.parts), failed);
    h.parts->openCamera->click();
    QCOMPARE(displayOf(*h.parts), Closed);
}

void tst_Camera::cameraErrors_data()
{
    QTest::addColumn<bool>("atStart");
    QTest::addColumn<QString>("message");

    QTest::newRow("unplugged while streaming") << false << "Camera unplugged";
    QTest::newRow("device busy at start") << true << "Device or resource busy";
    QTest::newRow("markup in the error") << false
            << R"(<img src="file:///etc/hostname"><b>Call 555-0100 to fix</b>)";
}

void tst_Camera::cameraErrors()
{
    QFETCH(bool, atStart);
    QFETCH(QString, message);

    if (atStart)
        qputenv("VIRELTO_VIRTUALCAM_START_ERROR", message.toUtf8());
    ClientHarness h;
    h.parts->openCamera->click();
    VirtualCameraProbe probe(*h.window);
    QVERIFY(probe.isValid());
    if (!atStart)
        probe.injectError(message, true);

    const Display failed{OpenCaption, false, QStringLiteral("● Camera error: ") + message, StatusStyle::Error};
    QTRY_COMPARE(displayOf(*h.parts), failed);
    QVERIFY(probe.camera()->state() != QCamera::ActiveState);

    // The next click starts the same camera again: no listing (there is no
    // device to list any more), no new objects.
    probe.setStartError(QString());
    qputenv("VIRELTO_VIRTUALCAM_DEVICES", "0");
    const int startsBefore = probe.requestedStates().count(int(QCamera::ActiveState));
    h.parts->openCamera->click();
    QCOMPARE(displayOf(*h.parts), Opened);
    QCOMPARE(probe.requestedStates().count(int(QCamera::ActiveState)), startsBefore + 1);
    QCOMPARE(h.window->findChildren<QCamera *>().size(), 1);
    QVERIFY(h.boxes.boxes.isEmpty());
}

void tst_Camera::reopenedCameraDeliversEachImageOnce()
{
    ClientHarness h;
    h.parts->accessToken->setText(QStringLiteral("tok"));
    for (int i = 0; i < 3; ++i) {
        h.parts->openCamera->click();
        QCOMPARE(displayOf(*h.parts), Opened);
        h.parts->openCamera->click();
        QCOMPARE(displayOf(*h.parts), Closed);
    }
    h.parts->openCamera->click();
    VirtualCameraProbe probe(*h.window);
    QTRY_VERIFY(probe.camera()->status() == QCamera::ActiveStatus);

    for (int capture = 1; capture <= 2; ++capture) {
        h.server.enqueue(200, R"({"words_result":[{"words":"x"}],"words_result_num":1})");
        h.parts->capture->click();
        QTRY_COMPARE(h.parts->status->text(), QStringLiteral("✅ Recognition completed. 1 lines detected."));
        QCOMPARE(h.server.requests.size(), capture);
        h.parts->status->clear();
    }

    // One error, one handler run: the status shows it once, not prefixed twice.
    probe.injectError(QStringLiteral("Camera unplugged"), true);
    QCOMPARE(h.parts->status->text(), QStringLiteral("● Camera error: Camera unplugged"));
    QVERIFY(h.boxes.boxes.isEmpty());
}

void tst_Camera::captureSendsTheFrame()
{
    ClientHarness h;
    h.parts->accessToken->setText(QStringLiteral("tok"));
    h.parts->openCamera->click();
    VirtualCameraProbe probe(*h.window);
    QTRY_VERIFY(probe.camera()->status() == QCamera::ActiveStatus);
    probe.setCaptureDelay(50);
    ScriptedReply held;
    held.hold = true;
    held.body = R"({"words_result":[{"words":"line one"},{"words":"line two"}],"words_result_num":2})";
    h.server.enqueue(held);

    h.parts->capture->click();
    QCOMPARE(h.parts->status->text(), QStringLiteral("⏳ Capturing image..."));
    QCOMPARE(h.parts->status->styleSheet(), StatusStyle::Busy);
    QTRY_COMPARE(h.parts->status->text(), QStringLiteral("⏳ Capture completed. Recognizing text..."));
    QTRY_COMPARE(h.server.requests.size(), 1);

    const QImage sent = QImage::fromData(pngFromFormBody(h.server.requests.first().body), "PNG");
    QCOMPARE(sent.size(), QSize(1280, 720));
    QVERIFY(toneOf(sent).lightness > 180); // the well-lit page, not a dark frame

    h.server.release(0);
    QTRY_COMPARE(h.parts->status->text(), QStringLiteral("✅ Recognition completed. 2 lines detected."));
    QCOMPARE(h.parts->result->toPlainText(), QStringLiteral("line one\nline two"));
    QVERIFY(h.boxes.boxes.isEmpty());
}

void tst_Camera::captureFaults_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("boxTitle");
    QTest::addColumn<QString>("boxText");

    QTest::newRow("empty image") << "tok" << "null" << "● Capture failed" << "Error"
                                 << "Capture failed. The image is empty.";
    QTest::newRow("backend error") << "tok" << "error" << "● Capture failed: Could not read the image sensor"
                                   << "Error" << "Capture failed.\nCould not read the image sensor";
    const QString missingToken = QStringLiteral("Please enter the API Key and Secret Key, then click \"Get Token\",\n"
                                                 "or paste an existing Access Token.");
    QTest::newRow("no token") << "" << "normal" << "● Error: Access Token is required" << "Missing Token"
                              << missingToken;
    QTest::newRow("blank token") << "  \t " << "normal" << "● Error: Access Token is required" << "Missing Token"
                                 << missingToken;
}

void tst_Camera::captureFaults()
{
    QFETCH(QString, token);
    QFETCH(QString, fault);
    QFETCH(QString, status);
    QFETCH(QString, boxTitle);
    QFETCH(QString, boxText);

    ClientHarness h;
    h.parts->accessToken->setText(token);
    h.parts->openCamera->click();
    VirtualCameraProbe probe(*h.window);
    QTRY_VERIFY(probe.camera()->status() == QCamera::ActiveStatus);
    QVERIFY(probe.setCaptureFault(fault));

    h.parts->capture->click();
    QTRY_COMPARE(h.boxes.boxes.size(), 1);
    QCOMPARE(h.boxes.boxes.first().title, boxTitle);
    QCOMPARE(h.boxes.boxes.first().text, boxText);
    QCOMPARE(h.boxes.boxes.first().icon, QMessageBox::Warning);
    QCOMPARE(h.parts->status->text(), status);
    QCOMPARE(h.parts->status->styleSheet(), StatusStyle::Error);
    QCOMPARE(h.pendingReplies(), 0);
    QVERIFY(h.server.requests.isEmpty());
    QVERIFY(!QFile::exists(QStringLiteral("ocr_debug.png")));
    QVERIFY(h.parts->capture->isEnabled());

    // The user captures again, and this time it goes through.
    h.parts->accessToken->setText(QStringLiteral("tok"));
    QVERIFY(probe.setCaptureFault(QStringLiteral("normal")));
    h.server.enqueue(200, R"({"words_result":[],"words_result_num":0})");
    h.parts->capture->click();
    QTRY_COMPARE(h.parts->status->text(), QStringLiteral("✅ Recognition completed. 0 lines detected."));
}

void tst_Camera::captureAfterClose()
{
    ClientHarness h;
    h.parts->openCamera->click();
    h.parts->openCamera->click();
    QCOMPARE(displayOf(*h.parts), Closed);

    // The button is disabled; the slot must still check the camera itself.
    QMetaObject::invokeMethod(h.window.get(), "onCaptureAndOCR", Qt::DirectConnection);
    QCOMPARE(h.boxes.titles(), QStringList{QStringLiteral("Notice")});
    QCOMPARE(h.boxes.boxes.first().text, QStringLiteral("Please open the camera first."));
    QCOMPARE(displayOf(*h.parts), Closed);
    QVERIFY(h.window->findChild<QCamera *>());
    QVERIFY(h.window->findChild<QCameraImageCapture *>());
}

void tst_Camera::closingTheWindowStopsTheCamera()
{
    ClientHarness h;
    h.parts->openCamera->click();
    VirtualCameraProbe probe(*h.window);
    QVERIFY(probe.isValid());
    QTRY_VERIFY(probe.camera()->status() == QCamera::ActiveStatus);

    QSignalSpy destroyed(probe.camera(), &QObject::destroyed);
    h.window.reset();
    QCOMPARE(destroyed.size(), 1);
    QCOMPARE(probe.requestedStates(), QList<int>{int(QCamera::LoadedState)});
}

QTEST_MAIN(tst_Camera)
#include "tst_camera.moc"
