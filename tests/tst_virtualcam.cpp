// SPDX-License-Identifier: MIT
// The virtual camera through Qt Multimedia's public API only, as any Qt
// program would see it.
#include <QAbstractVideoSurface>
#include <QCamera>
#include <QCameraImageCapture>
#include <QCameraInfo>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVideoSurfaceFormat>

namespace {

// A viewfinder that keeps the frames it is shown.
class FrameSink : public QAbstractVideoSurface
{
public:
    QList<QVideoFrame::PixelFormat> supportedPixelFormats(QAbstractVideoBuffer::HandleType type) const override
    {
        return type == QAbstractVideoBuffer::NoHandle ? QList<QVideoFrame::PixelFormat>{QVideoFrame::Format_RGB32}
                                                      : QList<QVideoFrame::PixelFormat>{};
    }
    bool present(const QVideoFrame &frame) override
    {
        frames << frame.image();
        return true;
    }
    QList<QImage> frames;
};

QCameraInfo virtualCamera()
{
    const auto cameras = QCameraInfo::availableCameras();
    for (const QCameraInfo &info : cameras) {
        if (info.deviceName() == QLatin1String("virtualcam0"))
            return info;
    }
    return QCameraInfo();
}

// Starts the camera and takes one still into memory; a null image if none came.
QImage captureStill(QCamera &camera)
{
    QCameraImageCapture capture(&camera);
    capture.setCaptureDestination(QCameraImageCapture::CaptureToBuffer);
    QSignalSpy captured(&capture, &QCameraImageCapture::imageCaptured);
    camera.start();
    if (!QTest::qWaitFor([&] { return capture.isReadyForCapture(); }, 5000))
        return QImage();
    capture.capture();
    if (!QTest::qWaitFor([&] { return !captured.isEmpty(); }, 5000))
        return QImage();
    return captured.first().at(1).value<QImage>();
}

QString eventName(QCamera::State state)
{
    return QStringLiteral("state %1").arg(int(state));
}

// Rows of ink, top to bottom: one band per printed line.
struct Band
{
    int top = 0;
    int bottom = 0;
    int left = 0;
    int right = 0;
};

QVector<Band> inkBands(const QImage &image)
{
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    QVector<Band> bands;
    bool inBand = false;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar *row = grey.constScanLine(y);
        int left = -1;
        int right = -1;
        for (int x = 0; x < grey.width(); ++x) {
            if (row[x] < 100) {
                if (left < 0)
                    left = x;
                right = x;
            }
        }
        if (left < 0) {
            inBand = false;
            continue;
        }
        if (!inBand)
            bands.append(Band{y, y, left, right});
        inBand = true;
        Band &band = bands.last();
        band.bottom = y;
        band.left = std::min(band.left, left);
        band.right = std::max(band.right, right);
    }
    return bands;
}

} // namespace

class tst_VirtualCam : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void listsItsDevices_data();
    void listsItsDevices();
    void streamsTheTestCard();
    void printsEveryLineOfTheCard();
    void capturesWhereAsked_data();
    void capturesWhereAsked();
    void refusesCaptureWhileStopped();
    void showsTheGivenPicture();
    void failsToStartInTheBackendsOrder_data();
    void failsToStartInTheBackendsOrder();
};

void tst_VirtualCam::cleanup()
{
    qunsetenv("VIRELTO_VIRTUALCAM_DEVICES");
    qunsetenv("VIRELTO_VIRTUALCAM_IMAGE");
    qunsetenv("VIRELTO_VIRTUALCAM_START_ERROR");
}

void tst_VirtualCam::listsItsDevices_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<QStringList>("devices");

    QTest::newRow("default") << QByteArray() << QStringList{QStringLiteral("virtualcam0")};
    QTest::newRow("none plugged in") << QByteArray("0") << QStringList{};
    QTest::newRow("three") << QByteArray("3") << QStringList{QStringLiteral("virtualcam0"), QStringLiteral("virtualcam1"), QStringLiteral("virtualcam2")};
}

void tst_VirtualCam::listsItsDevices()
{
    QFETCH(QByteArray, setting);
    QFETCH(QStringList, devices);

    if (!setting.isNull())
        qputenv("VIRELTO_VIRTUALCAM_DEVICES", setting);
    QStringList listed;
    const auto cameras = QCameraInfo::availableCameras();
    for (const QCameraInfo &info : cameras) {
        if (info.deviceName().startsWith(QLatin1String("virtualcam")))
            listed << info.deviceName();
    }
    QCOMPARE(listed, devices);
    if (!devices.isEmpty()) {
        QCOMPARE(virtualCamera().description(), QStringLiteral("Virtual Camera"));
        QCamera camera(virtualCamera());
        QCOMPARE(camera.availability(), QMultimedia::Available);
    }
}

void tst_VirtualCam::streamsTheTestCard()
{
    QCamera camera(virtualCamera());
    FrameSink sink;
    camera.setViewfinder(&sink);
    camera.start();
    QCOMPARE(camera.state(), QCamera::ActiveState); // at once, as with GStreamer
    QTRY_COMPARE(camera.status(), QCamera::ActiveStatus);
    QTRY_VERIFY(sink.frames.size() >= 3);

    QCOMPARE(sink.surfaceFormat().frameSize(), QSize(1280, 720));
    QCOMPARE(sink.surfaceFormat().pixelFormat(), QVideoFrame::Format_RGB32);
    const QImage first = sink.frames.first();
    QCOMPARE(first.size(), QSize(1280, 720));
    QVERIFY(qGray(first.pixel(20, 20)) > 200); // paper
    QVERIFY(sink.frames.last() != first);       // the marker moves

    camera.stop();
    QCOMPARE(camera.status(), QCamera::LoadedStatus);
    QVERIFY(!sink.isActive());
}

void tst_VirtualCam::printsEveryLineOfTheCard()
{
    QFile text(QFINDTESTDATA("../virtualcam/testcard.txt"));
    QVERIFY(text.open(QIODevice::ReadOnly | QIODevice::Text));
    const int lines = QString::fromUtf8(text.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts).size();

    QCamera camera(virtualCamera());
    const QImage still = captureStill(camera);
    QVERIFY(!still.isNull());

    // Separate bands, whole on the card, clear of the moving marker's strip:
    // what OCR needs to read each line as one.
    const QVector<Band> bands = inkBands(still);
    QCOMPARE(bands.size(), lines);
    for (const Band &band : bands) {
        QVERIFY2(band.top > 20 && band.bottom < still.height() - 30 && band.left > 20 && band.right < still.width() - 20,
                 qPrintable(QStringLiteral("a line at rows %1-%2, columns %3-%4")
                                .arg(band.top).arg(band.bottom).arg(band.left).arg(band.right)));
    }
    for (int i = 1; i < bands.size(); ++i)
        QVERIFY2(bands[i].top - bands[i - 1].bottom >= 12, "lines too close to be told apart");
}

void tst_VirtualCam::capturesWhereAsked_data()
{
    QTest::addColumn<int>("destination");

    QTest::newRow("buffer") << int(QCameraImageCapture::CaptureToBuffer);
    QTest::newRow("file") << int(QCameraImageCapture::CaptureToFile);
}

void tst_VirtualCam::capturesWhereAsked()
{
    QFETCH(int, destination);

    QTemporaryDir dir;
    QCamera camera(virtualCamera());
    QCameraImageCapture capture(&camera);
    QVERIFY(capture.isCaptureDestinationSupported(QCameraImageCapture::CaptureDestination(destination)));
    capture.setCaptureDestination(QCameraImageCapture::CaptureDestination(destination));
    QSignalSpy captured(&capture, &QCameraImageCapture::imageCaptured);
    QSignalSpy available(&capture, &QCameraImageCapture::imageAvailable);
    QSignalSpy saved(&capture, &QCameraImageCapture::imageSaved);
    camera.start();
    QTRY_VERIFY(capture.isReadyForCapture());

    const int id = capture.capture(dir.filePath(QStringLiteral("still.jpg")));
    QTRY_COMPARE(captured.size(), 1);
    QCOMPARE(captured.first().at(0).toInt(), id);
    QCOMPARE(captured.first().at(1).value<QImage>().size(), QSize(1280, 720));
    if (destination == QCameraImageCapture::CaptureToBuffer) {
        QCOMPARE(available.size(), 1);
        QCOMPARE(saved.size(), 0);
    } else {
        QCOMPARE(available.size(), 0);
        QCOMPARE(saved.size(), 1);
        QCOMPARE(QImage(saved.first().at(1).toString()).size(), QSize(1280, 720));
    }
}

void tst_VirtualCam::refusesCaptureWhileStopped()
{
    QCamera camera(virtualCamera());
    QCameraImageCapture capture(&camera);
    capture.setCaptureDestination(QCameraImageCapture::CaptureToBuffer);
    QSignalSpy failed(&capture, QOverload<int, QCameraImageCapture::Error, const QString &>::of(
                                        &QCameraImageCapture::error));
    QSignalSpy captured(&capture, &QCameraImageCapture::imageCaptured);

    const int id = capture.capture();
    QTRY_COMPARE(failed.size(), 1); // reported after capture() returns
    QCOMPARE(failed.first().at(0).toInt(), id);
    QCOMPARE(failed.first().at(1).value<QCameraImageCapture::Error>(), QCameraImageCapture::NotReadyError);
    QVERIFY(captured.isEmpty());
}

void tst_VirtualCam::showsTheGivenPicture()
{
    QTemporaryDir dir;
    QImage picture(320, 200, QImage::Format_RGB32);
    picture.fill(QColor(10, 120, 30));
    const QString file = dir.filePath(QStringLiteral("picture.png"));
    QVERIFY(picture.save(file));
    qputenv("VIRELTO_VIRTUALCAM_IMAGE", QFile::encodeName(file));

    QCamera camera(virtualCamera());
    const QImage still = captureStill(camera);
    QVERIFY(!still.isNull());
    QCOMPARE(still.size(), picture.size());
    QCOMPARE(still.pixel(5, 5), picture.pixel(5, 5)); // unchanged, no marker
}

void tst_VirtualCam::failsToStartInTheBackendsOrder_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("message");

    QTest::newRow("start error") << QByteArray("VIRELTO_VIRTUALCAM_START_ERROR") << QByteArray("Device busy")
                                 << "Device busy";
    QTest::newRow("unreadable picture") << QByteArray("VIRELTO_VIRTUALCAM_IMAGE")
                                        << QByteArray("/nonexistent/picture.png") << "/nonexistent/picture.png";
}

void tst_VirtualCam::failsToStartInTheBackendsOrder()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    QFETCH(QString, message);

    qputenv(variable.constData(), value);
    QCamera camera(virtualCamera());
    QStringList events;
    connect(&camera, &QCamera::stateChanged, this, [&](QCamera::State s) { events << eventName(s); });
    connect(&camera, &QCamera::errorOccurred, this, [&](QCamera::Error) { events << QStringLiteral("error"); });

    camera.start();
    QCOMPARE(events, QStringList{eventName(QCamera::ActiveState)}); // nothing fails inside start()
    QTRY_COMPARE(events, (QStringList{eventName(QCamera::ActiveState), QStringLiteral("error"),
                                      eventName(QCamera::UnloadedState)}));
    QVERIFY2(camera.errorString().contains(message), qPrintable(camera.errorString()));
    QCOMPARE(camera.error(), QCamera::CameraError);
}

QTEST_MAIN(tst_VirtualCam)
#include "tst_virtualcam.moc"
