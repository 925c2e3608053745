// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Magick++.h>

#include "worker/Metadata.h"

#include <QByteArray>

#include <cstddef>

class Output;
class RowSource;

/// TIFF files of 8-bit rows: one page, RGB or RGBA, in strips.
namespace TiffWriter {

/// The baseline TIFF of a photograph's rows, uncompressed as ImageMagick stores photographs, in strips
/// of 256 rows as it does, with the profile, XMP packet and resolution when given and the EXIF block's
/// camera entries (Metadata::tiffWithExif), in the EXIF block's byte order. False when the source is
/// damaged or the file would pass classic TIFF's 4 GiB.
bool write(RowSource& rows, const QByteArray& icc, const QByteArray& xmp, const QByteArray& exif,
           const Metadata::Resolution& resolution, Output& file);

/// A TIFF of one page of 8-bit RGB or RGBA rows (channels 3 or 4), Deflate-compressed with horizontal
/// differencing, in the given byte order, with the profile, XMP packet and resolution when given.
QByteArray deflatedTiff(const quint8* rows, size_t width, size_t height, int channels, const QByteArray& icc,
                        const QByteArray& xmp, const Metadata::Resolution& resolution, bool bigEndian);

/// Frames of the general route, every page; photographic ones (a camera's: noise everywhere)
/// uncompressed, the rest deflated.
Magick::Blob ofFrames(std::list<Magick::Image>& frames, bool photographic);

} // namespace TiffWriter
