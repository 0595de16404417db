// SPDX-License-Identifier: MIT
#ifndef VIRTUALCAMPLUGIN_H
#define VIRTUALCAMPLUGIN_H

#include <QHash>
#include <QMediaService>
#include <QMediaServiceProviderPlugin>

class VirtualCameraSession;

// A camera service with every control the program uses.
class VirtualCameraService : public QMediaService
{
    Q_OBJECT

public:
    explicit VirtualCameraService(QObject *parent = nullptr);

    QMediaControl *requestControl(const char *name) override;
    void releaseControl(QMediaControl *control) override;

private:
    VirtualCameraSession *m_session;
    QHash<QByteArray, QMediaControl *> m_controls; // by interface id
};

// A Qt Multimedia backend that offers a virtual camera, so the program can
// be run, shown and tested on machines without a camera.
class VirtualCameraPlugin : public QMediaServiceProviderPlugin,
                            public QMediaServiceSupportedDevicesInterface,
                            public QMediaServiceDefaultDeviceInterface,
                            public QMediaServiceCameraInfoInterface
{
    Q_OBJECT
    Q_INTERFACES(QMediaServiceSupportedDevicesInterface)
    Q_INTERFACES(QMediaServiceDefaultDeviceInterface)
    Q_INTERFACES(QMediaServiceCameraInfoInterface)
    Q_PLUGIN_METADATA(IID "org.qt-project.qt.mediaserviceproviderfactory/5.0" FILE "virtualcam.json")

public:
    QMediaService *create(const QString &key) override;
    void release(QMediaService *service) override;

    QList<QByteArray> devices(const QByteArray &service) const override;
    QString deviceDescription(const QByteArray &service, const QByteArray &device) override;
    QByteArray defaultDevice(const QByteArray &service) const override;
    QCamera::Position cameraPosition(const QByteArray &device) const override;
    int cameraOrientation(const QByteArray &device) const override;
};

#endif // VIRTUALCAMPLUGIN_H
