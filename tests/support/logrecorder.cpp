// SPDX-License-Identifier: MIT
#include "logrecorder.h"

namespace {

QStringList recorded;
QtMessageHandler passOn = nullptr;

void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    recorded.append(message);
    if (passOn)
        passOn(type, context, message);
}

} // namespace

LogRecorder::LogRecorder()
{
    recorded.clear();
    m_previous = qInstallMessageHandler(record);
    passOn = m_previous;
}

LogRecorder::~LogRecorder()
{
    qInstallMessageHandler(m_previous);
    passOn = nullptr;
}

QStringList LogRecorder::lines() const
{
    return recorded;
}

QStringList LogRecorder::linesStartingWith(const QString &prefix) const
{
    QStringList result;
    for (const QString &line : recorded) {
        if (line.startsWith(prefix))
            result << line;
    }
    return result;
}
