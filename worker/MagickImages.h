// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "worker/Metadata.h"

#include <Magick++.h>

#include <QByteArray>

#include <list>
#include <optional>
#include <vector>

/// Small facts and edits of ImageMagick pictures that the readers, routes and writers share.
namespace MagickImages {

qint64 pixelsOf(const std::list<Magick::Image>& frames);
Magick::Blob blobOf(const QByteArray& bytes);
QByteArray bytesOf(const Magick::Blob& blob);
bool hasTransparency(const Magick::Image& image);
/// The picture as 8-bit RGBA rows, opaque where it has no alpha.
std::vector<quint8> rgbaOf(Magick::Image& image);
/// The profile ("icc", "exif", "xmp") as it stands; empty when there is none.
QByteArray profileOf(const Magick::Image& image, const char* name);
void dropProfile(Magick::Image& image, const char* name);
/// Drops the text properties named with prefix ("exif:", "tiff:").
void dropProperties(Magick::Image& image, const char* prefix);
bool isGrey(MagickCore::ColorspaceType space);
/// Transparent pixels laid on white, and no alpha channel left.
void flattenOnWhite(Magick::Image& image);
void makeTrueColour(Magick::Image& image, bool keepAlpha);
/// The resolution the picture records, in the unit it records it in.
Metadata::Resolution resolutionOf(const Magick::Image& image);

/// The 8-bit RGB or RGBA rows of an sRGB picture of more than 256 colours, for the writers of 8-bit
/// rows; nothing for the rest (fewer colours, which ImageMagick's coders store as a palette, 16-bit
/// samples and grey).
struct Rows {
    std::vector<quint8> bytes;
    int channels = 3;
};
std::optional<Rows> rowsOfManyColours(Magick::Image& image);

} // namespace MagickImages
