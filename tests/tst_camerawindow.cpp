// SPDX-License-Identifier: MIT
#include "clientharness.h"
#include "mainwindow.h"
#include "virtualcameraprobe.h"

#include <QDir>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QVideoWidget>

// The real window on a real X server (Xvfb): what a user would see.
class tst_CameraWindow : public QObject
{
    Q_OBJECT

private slots:
    void showsTheLivePicture();
};

void tst_CameraWindow::showsTheLivePicture()
{
    QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"),
             "run this test under an X server (xvfb-run)");
    const QString artifacts = QStringLiteral(VIRELTO_ARTIFACTS_DIR);
    QVERIFY(QDir().mkpath(artifacts));

    ClientHarness h;
    h.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(h.window.get()));
    QScreen *screen = h.window->screen();
    const QRect video(h.parts->video->mapTo(h.window.get(), QPoint(0, 0)), h.parts->video->size());
    const QRect inner = video.adjusted(40, 40, -40, -40);

    const QImage before = screen->grabWindow(h.window->winId()).toImage();
    before.save(artifacts + QStringLiteral("/camera-window-closed.png"));
    QVERIFY(toneOf(before, inner).darkShare < 0.001); // no picture yet

    h.parts->openCamera->click();
    VirtualCameraProbe probe(*h.window);
    QVERIFY(probe.isValid());
    QTRY_VERIFY(probe.framesPresented() >= 5);

    // The page of printed text fills the picture area: light paper, dark type.
    QImage shot;
    Tone tone;
    QTRY_VERIFY((shot = screen->grabWindow(h.window->winId()).toImage(), tone = toneOf(shot, inner),
                 tone.lightness > 170 && tone.darkShare > 0.01));
    QVERIFY(shot.save(artifacts + QStringLiteral("/camera-window.png")));
    qInfo("screenshot: %s/camera-window.png (lightness %d, text %.1f%%)", qPrintable(artifacts),
          tone.lightness, tone.darkShare * 100);
}

QTEST_MAIN(tst_CameraWindow)
#include "tst_camerawindow.moc"
