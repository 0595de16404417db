// SPDX-License-Identifier: MIT
#include "testcard.h"

#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QVector>

#include <algorithm>

namespace TestCard {

namespace {

constexpr int PixelSize = 42;

bool isChinese(const QString &line)
{
    const QVector<uint> characters = line.toUcs4();
    return std::any_of(characters.begin(), characters.end(),
                       [](uint c) { return QChar::script(c) == QChar::Script_Han; });
}

bool covers(const QFont &font, const QString &line)
{
    const QFontMetrics metrics(font);
    const QVector<uint> characters = line.toUcs4();
    return std::all_of(characters.begin(), characters.end(), [&](uint c) {
        return QChar::isSpace(c) || metrics.inFontUcs4(c);
    });
}

// Han characters take different shapes in Chinese, Japanese and Korean faces,
// and fontconfig's own fallback follows the locale, not the text: name a
// Simplified Chinese face, or else any installed face that has every
// character of the line.
QFont chineseFont(const QString &line)
{
    QStringList candidates{QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Sans SC"),
                           QStringLiteral("Source Han Sans CN"), QStringLiteral("WenQuanYi Zen Hei"),
                           QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("AR PL UMing CN")};
    const QFontDatabase database;
    const QStringList installed = database.families(QFontDatabase::SimplifiedChinese);
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](const QString &family) { return !installed.contains(family); }),
                     candidates.end());
    candidates += installed;
    for (const QString &family : qAsConst(candidates)) {
        QFont font(family);
        font.setPixelSize(PixelSize);
        if (covers(font, line))
            return font;
    }
    // Nothing covers it: Qt's per-character fallback is the best left.
    QFont font;
    font.setPixelSize(PixelSize);
    return font;
}

} // namespace

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

    QFont latin(QStringLiteral("DejaVu Sans"));
    latin.setPixelSize(PixelSize);
    painter.setPen(QColor(0x1a, 0x1a, 0x1a));

    const QStringList text = lines();
    // Eight lines fill the card; the moving marker keeps its strip at the bottom.
    const int lineHeight = 74;
    int baseline = (Height - lineHeight * text.size()) / 2 + 50;
    for (const QString &line : text) {
        painter.setFont(isChinese(line) ? chineseFont(line) : latin);
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
