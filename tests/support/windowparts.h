// SPDX-License-Identifier: MIT
#ifndef WINDOWPARTS_H
#define WINDOWPARTS_H

#include <QByteArray>
#include <QImage>
#include <QString>

class MainWindow;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;
class QVideoWidget;

// The window's widgets, found the way a user sees them: by their place in
// the layout. A missing or misplaced widget fails the lookup.
struct WindowParts
{
    explicit WindowParts(MainWindow &window);

    QVideoWidget *video = nullptr;
    QLabel *status = nullptr;
    QPushButton *openCamera = nullptr;
    QPushButton *capture = nullptr;
    QGroupBox *apiGroup = nullptr;
    QLineEdit *apiKey = nullptr;
    QLineEdit *secretKey = nullptr;
    QLineEdit *accessToken = nullptr;
    QPushButton *getToken = nullptr;
    QLabel *resultCaption = nullptr;
    QTextEdit *result = nullptr;
    QLabel *logo = nullptr;

    bool complete() const;
};

// A label's text as it is presented to the user (Qt's accessible name):
// markup that the label renders shows up here without its tags.
QString shownText(QLabel *label);

// Share of dark pixels (printed text) and mean lightness (0-255) of an area
// of an image: what a picture looks like, roughly.
struct Tone
{
    double darkShare = 0;
    int lightness = 0;
};
Tone toneOf(const QImage &image, const QRect &area);
inline Tone toneOf(const QImage &image) { return toneOf(image, image.rect()); }

// Hands an image to the window as if the camera had just delivered it.
void deliverCapturedImage(MainWindow &window, const QImage &image, int id = 1);

// Hands a null reply to the reply handler.
void deliverNullOcrReply(MainWindow &window);

// What the result box shows for a reply that is not JSON: Qt's parser
// message, then the body as shown (the whole body unless given).
QString notJsonText(const QByteArray &body);
QString notJsonText(const QByteArray &body, const QString &shownBody);

// A result column's value for "the box keeps the text it had".
inline const QString Unchanged = QStringLiteral("<unchanged>");

// The PNG bytes carried by an "image=<percent-encoded Base64>" form body.
QByteArray pngFromFormBody(const QByteArray &body);

#endif // WINDOWPARTS_H
