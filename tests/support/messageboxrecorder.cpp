// SPDX-License-Identifier: MIT
#include "messageboxrecorder.h"

#include <QAbstractButton>
#include <QApplication>

MessageBoxRecorder::MessageBoxRecorder(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, &MessageBoxRecorder::closeActiveBox);
    m_timer.start();
}

QStringList MessageBoxRecorder::titles() const
{
    QStringList result;
    for (const auto &box : boxes)
        result << box.title;
    return result;
}

void MessageBoxRecorder::closeActiveBox()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box->property("recorded").toBool())
        return;
    box->setProperty("recorded", true);

    SeenMessageBox seen;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.buttons = box->standardButtons();
    seen.parent = box->parentWidget();
    boxes.append(seen);

    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->reject();
}
