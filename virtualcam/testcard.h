// SPDX-License-Identifier: MIT
#ifndef TESTCARD_H
#define TESTCARD_H

#include <QImage>
#include <QStringList>

// The built-in picture: a well-lit page of known printed text, six lines of
// English and two of Simplified Chinese.
namespace TestCard {

inline constexpr int Width = 1280;
inline constexpr int Height = 720;

QStringList lines();
QImage render();
// A small marker that moves along the bottom edge, so the live picture
// visibly changes; it stays clear of the text.
void drawMovingMarker(QImage &frame, int frameNumber);

} // namespace TestCard

#endif // TESTCARD_H
