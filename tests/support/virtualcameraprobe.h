// SPDX-License-Identifier: MIT
#ifndef VIRTUALCAMERAPROBE_H
#define VIRTUALCAMERAPROBE_H

#include <QCamera>
#include <QMediaControl>
#include <QPointer>
#include <QSignalSpy>

#include <memory>

class MainWindow;

// The window's camera as the virtual camera backend sees it. The camera is
// found as the window's child; faults and counters are reached through the
// backend's extra control, by name, so the tests link nothing of the plugin.
class VirtualCameraProbe
{
public:
    explicit VirtualCameraProbe(MainWindow &window);

    QCamera *camera() const { return m_camera; }
    bool isValid() const { return m_camera && m_faults; }

    int framesPresented() const;
    void setStartDelay(int ms, bool statusLate);
    void setStartError(const QString &message);
    void injectError(const QString &message, bool stopsCamera);
    bool setCaptureFault(const QString &mode);
    void setCaptureDelay(int ms);

    // Every state the program asked the backend for, as QCamera::State values.
    QList<int> requestedStates() const;

private:
    QPointer<QCamera> m_camera;
    QPointer<QMediaControl> m_faults;
    std::unique_ptr<QSignalSpy> m_requests;
};

#endif // VIRTUALCAMERAPROBE_H
