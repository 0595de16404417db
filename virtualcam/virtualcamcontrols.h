// SPDX-License-Identifier: MIT
#ifndef VIRTUALCAMCONTROLS_H
#define VIRTUALCAMCONTROLS_H

#include <QByteArrayList>
#include <QCameraCaptureDestinationControl>
#include <QCameraControl>
#include <QCameraImageCaptureControl>
#include <QMediaControl>
#include <QVideoDeviceSelectorControl>
#include <QVideoRendererControl>

class VirtualCameraSession;

namespace VirtualCamera {
// The devices this backend offers: VIRELTO_VIRTUALCAM_DEVICES of them (default 1).
QByteArrayList deviceNames();
QString deviceDescription(const QByteArray &name);
} // namespace VirtualCamera

class VirtualCameraControl : public QCameraControl
{
    Q_OBJECT

public:
    explicit VirtualCameraControl(VirtualCameraSession *session, QObject *parent = nullptr);

    QCamera::State state() const override;
    void setState(QCamera::State state) override;
    QCamera::Status status() const override;
    QCamera::CaptureModes captureMode() const override;
    void setCaptureMode(QCamera::CaptureModes mode) override;
    bool isCaptureModeSupported(QCamera::CaptureModes mode) const override;
    bool canChangeProperty(PropertyChangeType changeType, QCamera::Status status) const override;

private:
    VirtualCameraSession *m_session;
};

class VirtualDeviceSelectorControl : public QVideoDeviceSelectorControl
{
    Q_OBJECT

public:
    explicit VirtualDeviceSelectorControl(VirtualCameraSession *session, QObject *parent = nullptr);

    int deviceCount() const override;
    QString deviceName(int index) const override;
    QString deviceDescription(int index) const override;
    int defaultDevice() const override;
    int selectedDevice() const override;
    void setSelectedDevice(int index) override;

private:
    VirtualCameraSession *m_session;
    QByteArrayList m_devices;
};

class VirtualImageCaptureControl : public QCameraImageCaptureControl
{
    Q_OBJECT

public:
    explicit VirtualImageCaptureControl(VirtualCameraSession *session, QObject *parent = nullptr);

    bool isReadyForCapture() const override;
    QCameraImageCapture::DriveMode driveMode() const override;
    void setDriveMode(QCameraImageCapture::DriveMode mode) override;
    int capture(const QString &fileName) override;
    void cancelCapture() override;

private:
    VirtualCameraSession *m_session;
};

class VirtualCaptureDestinationControl : public QCameraCaptureDestinationControl
{
    Q_OBJECT

public:
    explicit VirtualCaptureDestinationControl(VirtualCameraSession *session, QObject *parent = nullptr);

    bool isCaptureDestinationSupported(QCameraImageCapture::CaptureDestinations destination) const override;
    QCameraImageCapture::CaptureDestinations captureDestination() const override;
    void setCaptureDestination(QCameraImageCapture::CaptureDestinations destination) override;

private:
    VirtualCameraSession *m_session;
};

class VirtualRendererControl : public QVideoRendererControl
{
    Q_OBJECT

public:
    explicit VirtualRendererControl(VirtualCameraSession *session, QObject *parent = nullptr);

    QAbstractVideoSurface *surface() const override;
    void setSurface(QAbstractVideoSurface *surface) override;

private:
    VirtualCameraSession *m_session;
};

#define VirtualCameraFaultControl_iid "org.virelto.virtualcam.faults/1.0"

// Faults and counters for tests and demos, reached through
// camera->service()->requestControl(VirtualCameraFaultControl_iid) and
// called by name, so that callers need no header of this plugin.
class VirtualCameraFaultControl : public QMediaControl
{
    Q_OBJECT

public:
    explicit VirtualCameraFaultControl(VirtualCameraSession *session, QObject *parent = nullptr);

    // state late (statusLate false) or state at once and status late (true)
    Q_INVOKABLE void setStartDelay(int ms, bool statusLate);
    Q_INVOKABLE void setStartError(const QString &message);
    Q_INVOKABLE void setFailAfter(int ms, const QString &message);
    Q_INVOKABLE void injectError(const QString &message, bool stopsCamera);
    // "normal", "null", "error" or "never"; false for anything else
    Q_INVOKABLE bool setCaptureFault(const QString &mode);
    Q_INVOKABLE void setCaptureDelay(int ms);
    Q_INVOKABLE int framesPresented() const;
    Q_INVOKABLE QString selectedDeviceName() const;

signals:
    // Every state the program asked for, as a QCamera::State value.
    void stateRequested(int state);

private:
    VirtualCameraSession *m_session;
};

#endif // VIRTUALCAMCONTROLS_H
