// SPDX-License-Identifier: MIT
#include "virtualcamcontrols.h"

#include "virtualcamsession.h"

namespace VirtualCamera {

QByteArrayList deviceNames()
{
    bool ok = false;
    int count = qEnvironmentVariableIntValue("VIRELTO_VIRTUALCAM_DEVICES", &ok);
    if (!ok)
        count = 1;
    QByteArrayList names;
    for (int i = 0; i < qBound(0, count, 8); ++i)
        names << "virtualcam" + QByteArray::number(i);
    return names;
}

QString deviceDescription(const QByteArray &name)
{
    const int index = name.mid(int(qstrlen("virtualcam"))).toInt();
    return index == 0 ? QStringLiteral("Virtual Camera")
                      : QStringLiteral("Virtual Camera %1").arg(index + 1);
}

} // namespace VirtualCamera

// --- camera control --------------------------------------------------------

VirtualCameraControl::VirtualCameraControl(VirtualCameraSession *session, QObject *parent)
    : QCameraControl(parent)
    , m_session(session)
{
    connect(session, &VirtualCameraSession::stateChanged, this, &QCameraControl::stateChanged);
    connect(session, &VirtualCameraSession::statusChanged, this, &QCameraControl::statusChanged);
    connect(session, &VirtualCameraSession::error, this, &QCameraControl::error);
    connect(session, &VirtualCameraSession::captureModeChanged, this, &QCameraControl::captureModeChanged);
}

QCamera::State VirtualCameraControl::state() const { return m_session->state(); }
void VirtualCameraControl::setState(QCamera::State state) { m_session->setState(state); }
QCamera::Status VirtualCameraControl::status() const { return m_session->status(); }
QCamera::CaptureModes VirtualCameraControl::captureMode() const { return m_session->captureMode(); }
void VirtualCameraControl::setCaptureMode(QCamera::CaptureModes mode) { m_session->setCaptureMode(mode); }

bool VirtualCameraControl::isCaptureModeSupported(QCamera::CaptureModes mode) const
{
    return mode == QCamera::CaptureViewfinder || mode == QCamera::CaptureStillImage;
}

bool VirtualCameraControl::canChangeProperty(PropertyChangeType, QCamera::Status) const
{
    return true; // nothing needs a restart
}

// --- device selector -------------------------------------------------------

VirtualDeviceSelectorControl::VirtualDeviceSelectorControl(VirtualCameraSession *session, QObject *parent)
    : QVideoDeviceSelectorControl(parent)
    , m_session(session)
    , m_devices(VirtualCamera::deviceNames())
{
}

int VirtualDeviceSelectorControl::deviceCount() const { return m_devices.size(); }

QString VirtualDeviceSelectorControl::deviceName(int index) const
{
    return QString::fromLatin1(m_devices.value(index));
}

QString VirtualDeviceSelectorControl::deviceDescription(int index) const
{
    return index >= 0 && index < m_devices.size() ? VirtualCamera::deviceDescription(m_devices.at(index))
                                                  : QString();
}

int VirtualDeviceSelectorControl::defaultDevice() const { return m_devices.isEmpty() ? -1 : 0; }
int VirtualDeviceSelectorControl::selectedDevice() const { return m_session->selectedDevice; }

void VirtualDeviceSelectorControl::setSelectedDevice(int index)
{
    if (index < 0 || index >= m_devices.size() || index == m_session->selectedDevice)
        return;
    m_session->selectedDevice = index;
    emit selectedDeviceChanged(index);
    emit selectedDeviceChanged(deviceName(index));
}

// --- still capture ---------------------------------------------------------

VirtualImageCaptureControl::VirtualImageCaptureControl(VirtualCameraSession *session, QObject *parent)
    : QCameraImageCaptureControl(parent)
    , m_session(session)
{
    connect(session, &VirtualCameraSession::readyForCaptureChanged,
            this, &QCameraImageCaptureControl::readyForCaptureChanged);
    connect(session, &VirtualCameraSession::imageExposed, this, &QCameraImageCaptureControl::imageExposed);
    connect(session, &VirtualCameraSession::imageCaptured, this, &QCameraImageCaptureControl::imageCaptured);
    connect(session, &VirtualCameraSession::imageAvailable, this, &QCameraImageCaptureControl::imageAvailable);
    connect(session, &VirtualCameraSession::imageSaved, this, &QCameraImageCaptureControl::imageSaved);
    connect(session, &VirtualCameraSession::captureError, this, &QCameraImageCaptureControl::error);
}

bool VirtualImageCaptureControl::isReadyForCapture() const { return m_session->isReadyForCapture(); }

QCameraImageCapture::DriveMode VirtualImageCaptureControl::driveMode() const
{
    return QCameraImageCapture::SingleImageCapture;
}

void VirtualImageCaptureControl::setDriveMode(QCameraImageCapture::DriveMode) {}
int VirtualImageCaptureControl::capture(const QString &fileName) { return m_session->capture(fileName); }
void VirtualImageCaptureControl::cancelCapture() { m_session->cancelCaptures(); }

// --- capture destination ---------------------------------------------------

VirtualCaptureDestinationControl::VirtualCaptureDestinationControl(VirtualCameraSession *session,
                                                                   QObject *parent)
    : QCameraCaptureDestinationControl(parent)
    , m_session(session)
{
    connect(session, &VirtualCameraSession::captureDestinationChanged,
            this, &QCameraCaptureDestinationControl::captureDestinationChanged);
}

bool VirtualCaptureDestinationControl::isCaptureDestinationSupported(
        QCameraImageCapture::CaptureDestinations destination) const
{
    return destination != 0;
}

QCameraImageCapture::CaptureDestinations VirtualCaptureDestinationControl::captureDestination() const
{
    return m_session->captureDestination();
}

void VirtualCaptureDestinationControl::setCaptureDestination(
        QCameraImageCapture::CaptureDestinations destination)
{
    m_session->setCaptureDestination(destination);
}

// --- viewfinder ------------------------------------------------------------

VirtualRendererControl::VirtualRendererControl(VirtualCameraSession *session, QObject *parent)
    : QVideoRendererControl(parent)
    , m_session(session)
{
}

QAbstractVideoSurface *VirtualRendererControl::surface() const { return m_session->surface(); }
void VirtualRendererControl::setSurface(QAbstractVideoSurface *surface) { m_session->setSurface(surface); }

// --- faults ----------------------------------------------------------------

VirtualCameraFaultControl::VirtualCameraFaultControl(VirtualCameraSession *session, QObject *parent)
    : QMediaControl(parent)
    , m_session(session)
{
    connect(session, &VirtualCameraSession::stateRequested, this,
            [this](QCamera::State state) { emit stateRequested(int(state)); });
}

void VirtualCameraFaultControl::setStartDelay(int ms, bool statusLate)
{
    m_session->faults.startDelayMs = qMax(0, ms);
    m_session->faults.statusLate = statusLate;
}

void VirtualCameraFaultControl::setStartError(const QString &message)
{
    m_session->faults.startError = message;
}

void VirtualCameraFaultControl::setFailAfter(int ms, const QString &message)
{
    m_session->faults.failAfterMs = ms;
    m_session->faults.streamError = message;
}

void VirtualCameraFaultControl::injectError(const QString &message, bool stopsCamera)
{
    m_session->failNow(message, stopsCamera);
}

bool VirtualCameraFaultControl::setCaptureFault(const QString &mode)
{
    return VirtualCameraFaults::parseCapture(mode, &m_session->faults.capture);
}

void VirtualCameraFaultControl::setCaptureDelay(int ms)
{
    m_session->faults.captureDelayMs = qMax(0, ms);
}

int VirtualCameraFaultControl::framesPresented() const { return m_session->framesPresented(); }

QString VirtualCameraFaultControl::selectedDeviceName() const
{
    return QString::fromLatin1(VirtualCamera::deviceNames().value(m_session->selectedDevice));
}
