// SPDX-License-Identifier: MIT
#include "windowparts.h"

#include "mainwindow.h"

#include <QAccessible>
#include <QBoxLayout>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTextEdit>
#include <QVideoWidget>

namespace {

template<typename T>
T *widgetAt(QLayout *layout, int index)
{
    if (!layout || index >= layout->count())
        return nullptr;
    return qobject_cast<T *>(layout->itemAt(index)->widget());
}

QLayout *layoutAt(QLayout *layout, int index)
{
    if (!layout || index >= layout->count())
        return nullptr;
    return layout->itemAt(index)->layout();
}

} // namespace

WindowParts::WindowParts(MainWindow &window)
{
    QLayout *main = window.centralWidget() ? window.centralWidget()->layout() : nullptr;
    video = widgetAt<QVideoWidget>(main, 0);
    status = widgetAt<QLabel>(main, 1);
    QLayout *buttons = layoutAt(main, 2);
    openCamera = widgetAt<QPushButton>(buttons, 0);
    capture = widgetAt<QPushButton>(buttons, 1);
    apiGroup = widgetAt<QGroupBox>(main, 3);
    QLayout *api = apiGroup ? apiGroup->layout() : nullptr;
    apiKey = widgetAt<QLineEdit>(layoutAt(api, 0), 1);
    secretKey = widgetAt<QLineEdit>(layoutAt(api, 1), 1);
    accessToken = widgetAt<QLineEdit>(layoutAt(api, 2), 1);
    getToken = widgetAt<QPushButton>(layoutAt(api, 2), 2);
    resultCaption = widgetAt<QLabel>(main, 4);
    QLayout *resultRow = layoutAt(main, 5);
    result = widgetAt<QTextEdit>(resultRow, 0);
    logo = widgetAt<QLabel>(resultRow, 1);
}

bool WindowParts::complete() const
{
    return video && status && openCamera && capture && apiGroup && apiKey && secretKey
            && accessToken && getToken && resultCaption && result && logo;
}

QString shownText(QLabel *label)
{
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(label);
    return accessible ? accessible->text(QAccessible::Name) : QString();
}

void deliverCapturedImage(MainWindow &window, const QImage &image, int id)
{
    QMetaObject::invokeMethod(&window, "onImageCaptured", Qt::DirectConnection,
                              Q_ARG(int, id), Q_ARG(QImage, image));
}

void deliverNullOcrReply(MainWindow &window)
{
    QMetaObject::invokeMethod(&window, "onOCRReply", Qt::DirectConnection,
                              Q_ARG(QNetworkReply *, nullptr));
}

QByteArray pngFromFormBody(const QByteArray &body)
{
    if (!body.startsWith("image="))
        return QByteArray();
    QByteArray value = body.mid(6);
    value.replace('+', ' '); // as a form decoder reads it
    return QByteArray::fromBase64(QByteArray::fromPercentEncoding(value));
}

QString notJsonText(const QByteArray &body)
{
    return notJsonText(body, QString::fromUtf8(body));
}

QString notJsonText(const QByteArray &body, const QString &shownBody)
{
    QJsonParseError error;
    QJsonDocument::fromJson(body, &error);
    return QStringLiteral("JSON parse error:\n") + error.errorString() + QStringLiteral("\n\nRaw response:\n") + shownBody;
}

Tone toneOf(const QImage &image, const QRect &area)
{
    const QImage part = image.copy(area).convertToFormat(QImage::Format_Grayscale8);
    qint64 sum = 0;
    qint64 dark = 0;
    for (int y = 0; y < part.height(); ++y) {
        const uchar *line = part.constScanLine(y);
        for (int x = 0; x < part.width(); ++x) {
            sum += line[x];
            dark += line[x] < 100;
        }
    }
    const qint64 count = qint64(part.width()) * part.height();
    return count ? Tone{double(dark) / count, int(sum / count)} : Tone();
}
