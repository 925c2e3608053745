// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "worker/Source.h"

#include <Magick++.h>

#include <QSize>

#include <cstddef>

/// How many times over the picture's sides hold the hint when it can be read reduced, a row at a time
/// (a PNG that is not interlaced, a TIFF of strips, a still WebP); 1 when it is read whole.
size_t blockFactor(const Source& source, const QSize& hint);

/// The picture reduced by factor (from blockFactor), with the colour, profiles and orientation
/// ImageMagick reads from its header.
Magick::Image readReduced(const Source& source, size_t factor);
