// SPDX-License-Identifier: MIT
#ifndef TEMPORARYWORKINGDIRECTORY_H
#define TEMPORARYWORKINGDIRECTORY_H

#include <QDir>
#include <QTemporaryDir>

// While alive, the process works in a fresh temporary folder (the window
// writes ocr_debug.png where it runs); the folder it left is restored, and
// the temporary one removed, however the scope ends.
class TemporaryWorkingDirectory
{
public:
    TemporaryWorkingDirectory()
        : m_previous(QDir::currentPath())
    {
        m_entered = m_dir.isValid() && QDir::setCurrent(m_dir.path());
    }
    ~TemporaryWorkingDirectory()
    {
        if (m_entered)
            QDir::setCurrent(m_previous);
    }
    TemporaryWorkingDirectory(const TemporaryWorkingDirectory &) = delete;
    TemporaryWorkingDirectory &operator=(const TemporaryWorkingDirectory &) = delete;

    bool isValid() const { return m_entered; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
    bool m_entered = false;
};

#endif // TEMPORARYWORKINGDIRECTORY_H
