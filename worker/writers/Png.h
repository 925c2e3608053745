// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Magick++.h>

#include "worker/Metadata.h"

#include <QByteArray>

#include <cstddef>

class Output;
class RowSource;

/// PNG files of 8-bit rows: each row filtered as libpng's adaptive filter would (RowFilter) and the
/// whole deflated the fastest way that a sample shows within 1.1% of zlib's level 7, ImageMagick's.
namespace PngWriter {

/// The PNG of 8-bit rows (3 bytes a pixel for RGB, 4 for RGBA); icc, exif, xmp and the resolution are
/// written when given.
QByteArray png(const quint8* rows, size_t width, size_t height, int channels, const QByteArray& icc,
               const QByteArray& exif, const QByteArray& xmp, const Metadata::Resolution& resolution = {});

/// The same of an opaque picture's rows, filtered as they are decoded; false when the source is
/// damaged.
bool write(RowSource& rows, const QByteArray& icc, const QByteArray& exif, const QByteArray& xmp,
           const Metadata::Resolution& resolution, Output& file);

/// A picture of the general route: many colours as 8-bit rows by png(), the rest (palettes, grey,
/// 16-bit samples) by ImageMagick's coder.
Magick::Blob ofImage(Magick::Image& image);

} // namespace PngWriter
