// SPDX-License-Identifier: MIT
#ifndef LOGRECORDER_H
#define LOGRECORDER_H

#include <QStringList>
#include <QtGlobal>

// Collects every Qt log line while alive (and still passes them on).
class LogRecorder
{
public:
    LogRecorder();
    ~LogRecorder();
    LogRecorder(const LogRecorder &) = delete;
    LogRecorder &operator=(const LogRecorder &) = delete;

    QStringList lines() const;
    // The lines that start with prefix.
    QStringList linesStartingWith(const QString &prefix) const;
    QString joined() const { return lines().join(QLatin1Char('\n')); }

private:
    QtMessageHandler m_previous;
};

#endif // LOGRECORDER_H
