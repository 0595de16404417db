// SPDX-License-Identifier: MIT
#include "virtualcameraprobe.h"

#include "mainwindow.h"

#include <QMediaService>
#include <QMetaObject>

namespace {
const char FaultControlIid[] = "org.virelto.virtualcam.faults/1.0";
}

VirtualCameraProbe::VirtualCameraProbe(MainWindow &window)
    : m_camera(window.findChild<QCamera *>())
{
    if (m_camera && m_camera->service())
        m_faults = m_camera->service()->requestControl(FaultControlIid);
    if (m_faults)
        m_requests = std::make_unique<QSignalSpy>(m_faults.data(), SIGNAL(stateRequested(int)));
}

int VirtualCameraProbe::framesPresented() const
{
    int frames = -1;
    QMetaObject::invokeMethod(m_faults, "framesPresented", Q_RETURN_ARG(int, frames));
    return frames;
}

void VirtualCameraProbe::setStartDelay(int ms, bool statusLate)
{
    QMetaObject::invokeMethod(m_faults, "setStartDelay", Q_ARG(int, ms), Q_ARG(bool, statusLate));
}

void VirtualCameraProbe::setStartError(const QString &message)
{
    QMetaObject::invokeMethod(m_faults, "setStartError", Q_ARG(QString, message));
}

void VirtualCameraProbe::injectError(const QString &message, bool stopsCamera)
{
    QMetaObject::invokeMethod(m_faults, "injectError", Q_ARG(QString, message), Q_ARG(bool, stopsCamera));
}

bool VirtualCameraProbe::setCaptureFault(const QString &mode)
{
    bool ok = false;
    QMetaObject::invokeMethod(m_faults, "setCaptureFault", Q_RETURN_ARG(bool, ok), Q_ARG(QString, mode));
    return ok;
}

void VirtualCameraProbe::setCaptureDelay(int ms)
{
    QMetaObject::invokeMethod(m_faults, "setCaptureDelay", Q_ARG(int, ms));
}

QList<int> VirtualCameraProbe::requestedStates() const
{
    QList<int> states;
    if (m_requests) {
        for (const QList<QVariant> &call : *m_requests)
            states << call.value(0).toInt();
    }
    return states;
}
