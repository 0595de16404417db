// SPDX-License-Identifier: MIT
#ifndef MESSAGEBOXRECORDER_H
#define MESSAGEBOXRECORDER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QTimer>

class QWidget;

struct SeenMessageBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget *parent = nullptr;
};

// While alive, notes every modal message box (title, text, icon, buttons)
// and closes it with its OK button, so that slots that open one return.
class MessageBoxRecorder : public QObject
{
    Q_OBJECT

public:
    explicit MessageBoxRecorder(QObject *parent = nullptr);

    QList<SeenMessageBox> boxes;

    QStringList titles() const;

private:
    void closeActiveBox();

    QTimer m_timer;
};

#endif // MESSAGEBOXRECORDER_H
