// SPDX-License-Identifier: MIT
#include "virtualcamsession.h"

#include "testcard.h"

#include <QAbstractVideoSurface>
#include <QDir>
#include <QImageReader>
#include <QStandardPaths>
#include <QVideoFrame>
#include <QVideoSurfaceFormat>

namespace {

int environmentNumber(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

} // namespace

VirtualCameraFaults VirtualCameraFaults::fromEnvironment()
{
    VirtualCameraFaults faults;
    faults.startDelayMs = qMax(0, environmentNumber("VIRELTO_VIRTUALCAM_START_DELAY_MS", 0));
    faults.statusLate = qEnvironmentVariable("VIRELTO_VIRTUALCAM_START_DELAY_MODE") == QLatin1String("status");
    faults.startError = qEnvironmentVariable("VIRELTO_VIRTUALCAM_START_ERROR");
    faults.failAfterMs = environmentNumber("VIRELTO_VIRTUALCAM_FAIL_AFTER_MS", -1);
    if (qEnvironmentVariableIsSet("VIRELTO_VIRTUALCAM_FAIL_MESSAGE"))
        faults.streamError = qEnvironmentVariable("VIRELTO_VIRTUALCAM_FAIL_MESSAGE");
    parseCapture(qEnvironmentVariable("VIRELTO_VIRTUALCAM_CAPTURE"), &faults.capture);
    faults.captureDelayMs = qMax(0, environmentNumber("VIRELTO_VIRTUALCAM_CAPTURE_DELAY_MS", 0));
    return faults;
}

bool VirtualCameraFaults::parseCapture(const QString &name, Capture *capture)
{
    static const QHash<QString, Capture> names = {
        {QStringLiteral(""), Capture::Normal},
        {QStringLiteral("normal"), Capture::Normal},
        {QStringLiteral("null"), Capture::NullImage},
        {QStringLiteral("error"), Capture::Error},
        {QStringLiteral("never"), Capture::NoAnswer},
    };
    const auto found = names.constFind(name);
    if (found == names.constEnd())
        return false;
    *capture = *found;
    return true;
}

VirtualCameraSession::VirtualCameraSession(QObject *parent)
    : QObject(parent)
    , faults(VirtualCameraFaults::fromEnvironment())
{
    const int fps = qBound(1, environmentNumber("VIRELTO_VIRTUALCAM_FPS", 15), 120);
    m_frameTimer.setInterval(1000 / fps);
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_frameTimer, &QTimer::timeout, this, &VirtualCameraSession::presentFrame);

    m_startTimer.setSingleShot(true);
    connect(&m_startTimer, &QTimer::timeout, this, &VirtualCameraSession::becomeActive);

    m_failTimer.setSingleShot(true);
    connect(&m_failTimer, &QTimer::timeout, this, [this] { failNow(faults.streamError, true); });

    const QString picture = qEnvironmentVariable("VIRELTO_VIRTUALCAM_IMAGE");
    if (picture.isEmpty()) {
        m_card = TestCard::render();
        m_isTestCard = true;
    } else {
        QImageReader reader(picture);
        reader.setAutoTransform(true);
        m_card = reader.read().convertToFormat(QImage::Format_RGB32);
        if (m_card.isNull())
            m_pictureError = QStringLiteral("Cannot read %1: %2").arg(picture, reader.errorString());
    }
}

VirtualCameraSession::~VirtualCameraSession()
{
    stopStreaming();
}

void VirtualCameraSession::setState(QCamera::State state)
{
    emit stateRequested(state);

    if (state != QCamera::ActiveState) {
        ++m_epoch;
        m_startTimer.stop();
        m_failTimer.stop();
        stopStreaming();
        changeState(state);
        changeStatus(state == QCamera::LoadedState ? QCamera::LoadedStatus : QCamera::UnloadedStatus);
        return;
    }

    if (m_status == QCamera::ActiveStatus || m_status == QCamera::StartingStatus)
        return; // already running or on its way

    const QString startError = m_pictureError.isEmpty() ? faults.startError : m_pictureError;
    if (!startError.isEmpty()) {
        // As the GStreamer backend does: active at once, then the error, then unloaded.
        changeState(QCamera::ActiveState);
        changeStatus(QCamera::StartingStatus);
        const quint64 epoch = m_epoch;
        QTimer::singleShot(0, this, [this, epoch, startError] {
            if (epoch == m_epoch)
                failNow(startError, true);
        });
        return;
    }

    if (faults.startDelayMs > 0) {
        if (faults.statusLate)
            changeState(QCamera::ActiveState);
        else if (m_state == QCamera::UnloadedState)
            changeState(QCamera::LoadedState);
        changeStatus(QCamera::StartingStatus);
        m_startTimer.start(faults.startDelayMs);
        return;
    }

    changeState(QCamera::ActiveState);
    changeStatus(QCamera::StartingStatus);
    m_startTimer.start(0); // the first frame comes from the event loop, as from a device
}

void VirtualCameraSession::failNow(const QString &message, bool stops)
{
    if (stops) {
        ++m_epoch;
        m_startTimer.stop();
        m_failTimer.stop();
        stopStreaming();
    }
    emit error(QCamera::CameraError, message);
    if (stops) {
        changeState(QCamera::UnloadedState);
        changeStatus(QCamera::UnloadedStatus);
    }
}

void VirtualCameraSession::setCaptureMode(QCamera::CaptureModes mode)
{
    if (mode == m_captureMode)
        return;
    m_captureMode = mode;
    emit captureModeChanged(mode);
}

void VirtualCameraSession::setSurface(QAbstractVideoSurface *surface)
{
    if (surface == m_surface)
        return;
    if (m_surface && m_surface->isActive())
        m_surface->stop();
    m_surface = surface;
    if (m_status == QCamera::ActiveStatus)
        presentFrame();
}

void VirtualCameraSession::setCaptureDestination(QCameraImageCapture::CaptureDestinations destination)
{
    if (destination == m_destination)
        return;
    m_destination = destination;
    emit captureDestinationChanged(destination);
}

int VirtualCameraSession::capture(const QString &fileName)
{
    const int id = ++m_lastCaptureId;
    if (!isReadyForCapture()) {
        QTimer::singleShot(0, this, [this, id] {
            emit captureError(id, QCameraImageCapture::NotReadyError, QStringLiteral("Camera is not ready"));
        });
        return id;
    }

    const quint64 epoch = m_epoch;
    QTimer::singleShot(faults.captureDelayMs, this, [this, id, epoch, fileName] {
        if (epoch != m_epoch) {
            emit captureError(id, QCameraImageCapture::NotReadyError,
                              QStringLiteral("Camera stopped before the image was taken"));
            return;
        }
        deliverCapture(id, fileName);
    });
    return id;
}

void VirtualCameraSession::cancelCaptures()
{
    ++m_epoch;
}

void VirtualCameraSession::changeState(QCamera::State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void VirtualCameraSession::changeStatus(QCamera::Status status)
{
    if (status == m_status)
        return;
    const bool wasReady = isReadyForCapture();
    m_status = status;
    emit statusChanged(status);
    if (wasReady != isReadyForCapture())
        emit readyForCaptureChanged(isReadyForCapture());
}

void VirtualCameraSession::becomeActive()
{
    changeState(QCamera::ActiveState);
    changeStatus(QCamera::ActiveStatus);
    presentFrame();
    m_frameTimer.start();
    if (faults.failAfterMs >= 0)
        m_failTimer.start(faults.failAfterMs);
}

void VirtualCameraSession::stopStreaming()
{
    m_frameTimer.stop();
    if (m_surface && m_surface->isActive())
        m_surface->stop();
}

void VirtualCameraSession::presentFrame()
{
    ++m_frameNumber;
    if (!m_surface)
        return;
    const QImage frame = currentFrame();
    if (!m_surface->isActive()) {
        const QVideoSurfaceFormat format(frame.size(), QVideoFrame::Format_RGB32);
        if (!m_surface->start(format))
            return;
    }
    if (m_surface->present(QVideoFrame(frame)))
        ++m_framesPresented;
}

QImage VirtualCameraSession::currentFrame() const
{
    if (!m_isTestCard)
        return m_card;
    QImage frame = m_card.copy();
    TestCard::drawMovingMarker(frame, m_frameNumber);
    return frame;
}

void VirtualCameraSession::deliverCapture(int id, const QString &fileName)
{
    switch (faults.capture) {
    case VirtualCameraFaults::Capture::NoAnswer:
        return;
    case VirtualCameraFaults::Capture::Error:
        emit captureError(id, QCameraImageCapture::ResourceError,
                          QStringLiteral("Could not read the image sensor"));
        return;
    case VirtualCameraFaults::Capture::NullImage:
        emit imageExposed(id);
        emit imageCaptured(id, QImage());
        return;
    case VirtualCameraFaults::Capture::Normal:
        break;
    }

    const QImage image = currentFrame();
    emit imageExposed(id);
    emit imageCaptured(id, image);
    if (m_destination & QCameraImageCapture::CaptureToBuffer)
        emit imageAvailable(id, QVideoFrame(image));
    if (m_destination & QCameraImageCapture::CaptureToFile) {
        QString path = fileName;
        if (path.isEmpty()) {
            QString dir = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
            if (dir.isEmpty() || !QDir().mkpath(dir))
                dir = QDir::tempPath();
            path = QDir(dir).filePath(QStringLiteral("virtualcam_%1.jpg").arg(id, 4, 10, QLatin1Char('0')));
        }
        if (image.save(path))
            emit imageSaved(id, path);
        else
            emit captureError(id, QCameraImageCapture::ResourceError,
                              QStringLiteral("Could not save the image to %1").arg(path));
    }
}
