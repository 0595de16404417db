// SPDX-License-Identifier: MIT
#include "virtualcamplugin.h"

#include "virtualcamcontrols.h"
#include "virtualcamsession.h"

VirtualCameraService::VirtualCameraService(QObject *parent)
    : QMediaService(parent)
    , m_session(new VirtualCameraSession(this))
{
    m_controls = {
        {QCameraControl_iid, new VirtualCameraControl(m_session, this)},
        {QVideoDeviceSelectorControl_iid, new VirtualDeviceSelectorControl(m_session, this)},
        {QCameraImageCaptureControl_iid, new VirtualImageCaptureControl(m_session, this)},
        {QCameraCaptureDestinationControl_iid, new VirtualCaptureDestinationControl(m_session, this)},
        {QVideoRendererControl_iid, new VirtualRendererControl(m_session, this)},
        {VirtualCameraFaultControl_iid, new VirtualCameraFaultControl(m_session, this)},
    };
}

QMediaControl *VirtualCameraService::requestControl(const char *name)
{
    return m_controls.value(QByteArray(name));
}

void VirtualCameraService::releaseControl(QMediaControl *)
{
    // The controls live as long as the service.
}

QMediaService *VirtualCameraPlugin::create(const QString &key)
{
    if (key == QLatin1String(Q_MEDIASERVICE_CAMERA))
        return new VirtualCameraService;
    return nullptr;
}

void VirtualCameraPlugin::release(QMediaService *service)
{
    delete service;
}

QList<QByteArray> VirtualCameraPlugin::devices(const QByteArray &service) const
{
    return service == Q_MEDIASERVICE_CAMERA ? VirtualCamera::deviceNames() : QList<QByteArray>();
}

QString VirtualCameraPlugin::deviceDescription(const QByteArray &service, const QByteArray &device)
{
    return devices(service).contains(device) ? VirtualCamera::deviceDescription(device) : QString();
}

QByteArray VirtualCameraPlugin::defaultDevice(const QByteArray &service) const
{
    return devices(service).value(0);
}

QCamera::Position VirtualCameraPlugin::cameraPosition(const QByteArray &) const
{
    return QCamera::UnspecifiedPosition;
}

int VirtualCameraPlugin::cameraOrientation(const QByteArray &) const
{
    return 0;
}
