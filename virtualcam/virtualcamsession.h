// SPDX-License-Identifier: MIT
#ifndef VIRTUALCAMSESSION_H
#define VIRTUALCAMSESSION_H

#include <QAbstractVideoSurface>
#include <QCamera>
#include <QCameraImageCapture>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QTimer>


class QVideoFrame;

// Faults a test or a demo can ask for. Read from the environment when the
// camera service is created; changed later through the fault control.
struct VirtualCameraFaults
{
    enum class Capture { Normal, NullImage, Error, NoAnswer };

    int startDelayMs = 0;
    bool statusLate = false;      // start delay: state active at once, status late
    QString startError;           // reported after start() returns
    int failAfterMs = -1;         // error while streaming, this long after start
    QString streamError = QStringLiteral("Camera unplugged");
    Capture capture = Capture::Normal;
    int captureDelayMs = 0;

    static VirtualCameraFaults fromEnvironment();
    static bool parseCapture(const QString &name, Capture *capture);
};

// The camera itself: its state machine, the frames it produces and the
// stills it captures. The service's controls are thin views of it.
class VirtualCameraSession : public QObject
{
    Q_OBJECT

public:
    explicit VirtualCameraSession(QObject *parent = nullptr);
    ~VirtualCameraSession() override;

    QCamera::State state() const { return m_state; }
    QCamera::Status status() const { return m_status; }
    void setState(QCamera::State state);
    void failNow(const QString &message, bool stops);

    QCamera::CaptureModes captureMode() const { return m_captureMode; }
    void setCaptureMode(QCamera::CaptureModes mode);

    QAbstractVideoSurface *surface() const { return m_surface; }
    void setSurface(QAbstractVideoSurface *surface);

    QCameraImageCapture::CaptureDestinations captureDestination() const { return m_destination; }
    void setCaptureDestination(QCameraImageCapture::CaptureDestinations destination);

    bool isReadyForCapture() const { return m_status == QCamera::ActiveStatus; }
    int capture(const QString &fileName);
    void cancelCaptures();

    VirtualCameraFaults faults;
    int framesPresented() const { return m_framesPresented; }
    int selectedDevice = 0;

signals:
    void stateChanged(QCamera::State state);
    void statusChanged(QCamera::Status status);
    void error(int error, const QString &errorString);
    void captureModeChanged(QCamera::CaptureModes mode);
    void captureDestinationChanged(QCameraImageCapture::CaptureDestinations destination);
    void readyForCaptureChanged(bool ready);
    void imageExposed(int requestId);
    void imageCaptured(int requestId, const QImage &preview);
    void imageAvailable(int requestId, const QVideoFrame &buffer);
    void imageSaved(int requestId, const QString &fileName);
    void captureError(int requestId, int error, const QString &errorString);
    // Every setState() call, for tests that watch what the program asked for.
    void stateRequested(QCamera::State state);

private:
    void changeState(QCamera::State state);
    void changeStatus(QCamera::Status status);
    void becomeActive();
    void stopStreaming();
    void presentFrame();
    QImage currentFrame() const;
    void deliverCapture(int id, const QString &fileName);

    QCamera::State m_state = QCamera::UnloadedState;
    QCamera::Status m_status = QCamera::UnloadedStatus;
    QCamera::CaptureModes m_captureMode = QCamera::CaptureStillImage;
    QCameraImageCapture::CaptureDestinations m_destination = QCameraImageCapture::CaptureToFile;
    QPointer<QAbstractVideoSurface> m_surface;
    QTimer m_frameTimer;
    QTimer m_startTimer;
    QTimer m_failTimer;
    QImage m_card;
    bool m_isTestCard = false;
    QString m_pictureError;
    int m_frameNumber = 0;
    int m_framesPresented = 0;
    int m_lastCaptureId = 0;
    quint64 m_epoch = 0; // bumped on stop: drops pending captures and start errors
};

#endif // VIRTUALCAMSESSION_H
