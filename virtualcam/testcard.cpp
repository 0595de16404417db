// SPDX-License-Identifier: MIT
#include "testcard.h"

#include <QFile>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>

namespace TestCard {

QStringList lines()
{
    QFile file(QStringLiteral(":/virtualcam/testcard.txt"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QImage render()
{
    QImage card(Width, Height, QImage::Format_RGB32);
    QPainter painter(&card);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    // Paper under even light, a touch warmer towards the bottom.
    QLinearGradient paper(0, 0, 0, Height);
    paper.setColorAt(0, QColor(0xfb, 0xfa, 0xf6));
    paper.setColorAt(1, QColor(0xf1, 0xee, 0xe6));
    painter.fillRect(card.rect(), paper);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(42);
    painter.setFont(font);
    painter.setPen(QColor(0x1a, 0x1a, 0x1a));

    const QStringList text = lines();
    const int lineHeight = 78;
    int baseline = (Height - lineHeight * text.size()) / 2 + 50;
    for (const QString &line : text) {
        painter.drawText(110, baseline, line);
        baseline += lineHeight;
    }
    return card;
}

void drawMovingMarker(QImage &frame, int frameNumber)
{
    QPainter painter(&frame);
    const int travel = frame.width() - 220;
    const int step = (frameNumber * 12) % (2 * travel);
    const int x = 110 + (step < travel ? step : 2 * travel - step);
    painter.fillRect(QRect(x, frame.height() - 14, 60, 6), QColor(0x4a, 0x90, 0xd9));
}

} // namespace TestCard
