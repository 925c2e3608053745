// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>
#include <QSize>
#include <QtGlobal>

/// The main window's layout is kept in twips; at its design size 15 of them make one logical pixel.
namespace TwipsLayout {
inline constexpr int twipsPerPixel = 15;

/// The factor that fits a layout of design size into available, keeping its proportions: the
/// smaller of the two ratios, never above 1. An empty design or available gives 1.
double fittedScale(QSize design, QSize available);

/// The pixel rectangle of a twips rectangle at scale; at scale 1 each coordinate is twips / 15, rounded
/// down.
QRect scaled(const QRect& twips, double scale);

/// The pixel size of a size given in pixels at the design size, at scale, rounded down: it fits
/// wherever fittedScale said it would.
QSize scaled(QSize pixels, double scale);
/// A font's size at scale, in points or pixels, but never below floor (same unit) in device pixels'
/// worth: density is the screen's device pixels per logical pixel. At scale 1 or more, size.
qreal scaledFontSize(qreal size, double scale, qreal floor, qreal density);
} // namespace TwipsLayout
