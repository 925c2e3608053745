// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/TwipsLayout.h"

#include <algorithm>
#include <cmath>

namespace TwipsLayout {
namespace {
// 845 * (496 / 845.0) is 495.99999999999994 in doubles; without the slack the fitted size would lose a
// pixel it has room for.
constexpr double slack = 1e-9;

int scaledLength(int length, double scale, int unit)
{
    return static_cast<int>(std::floor(length * scale / unit + slack));
}
} // namespace

double fittedScale(QSize design, QSize available)
{
    if (design.isEmpty() || available.isEmpty())
        return 1.0;
    return std::min({1.0, double(available.width()) / design.width(), double(available.height()) / design.height()});
}

QRect scaled(const QRect& twips, double scale)
{
    return {scaledLength(twips.x(), scale, twipsPerPixel), scaledLength(twips.y(), scale, twipsPerPixel),
            scaledLength(twips.width(), scale, twipsPerPixel), scaledLength(twips.height(), scale, twipsPerPixel)};
}

QSize scaled(QSize pixels, double scale)
{
    return {scaledLength(pixels.width(), scale, 1), scaledLength(pixels.height(), scale, 1)};
}
qreal scaledFontSize(qreal size, double scale, qreal floor, qreal density)
{
    if (scale >= 1.0)
        return size;
    return std::max(size * scale, floor / density);
}
} // namespace TwipsLayout
