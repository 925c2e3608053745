// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/Naming.h"
#include "worker/Metadata.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <vector>

/// Camera photographs (8-bit colour JPEGs, upright as stored) converted on 8-bit rows with
/// libjpeg-turbo, without ImageMagick, which holds every pixel as four 16-bit samples; and the encoders
/// of 8-bit rows that pictures of the general path share. The files hold what ImageMagick's would (the
/// same pixels, colour and metadata; BMP and PCX are the very same bytes), made in a fraction of the
/// time and memory.
namespace JpegPhotos {

/// Where a file is written as it is made.
class Output {
public:
    virtual ~Output() = default;
    /// Adds bytes at the end of what has been written.
    virtual void append(const char* data, size_t size) = 0;
    /// Writes bytes at offset from the start, beyond the end as well.
    virtual void overwrite(quint64 offset, const char* data, size_t size) = 0;
};

/// Writes the file of format made from jpeg to out and returns true; false when the picture needs the
/// general path: not an 8-bit colour JPEG, to be turned, with a profile its output must convert, any
/// warning from the decoder, or ICO, which this path does not write. What was written then is
/// to be discarded. pixelsKnown is told the picture's size once the header is read, and done the
/// thousandths of the work done as rows are decoded (from 0 up to 1000).
bool convert(const QByteArray& jpeg, OutputFormat::Index format, Output& out,
             const std::function<void(qint64 pixels)>& pixelsKnown = {},
             const std::function<void(qint16 done)>& done = {});

/// The same file in memory, or nothing when the picture needs the general path.
std::optional<QByteArray> convert(const QByteArray& jpeg, OutputFormat::Index format);

/// The GIF of an opaque picture's 8-bit RGBA rows, in 256 colours; nothing when libimagequant refuses
/// the picture. dithered is told how much of the dithering is done, from 0 to 1.
std::optional<QByteArray> gif(const quint8* rgba, size_t width, size_t height,
                              const std::function<void(double fraction)>& dithered = {});

/// The GIF of a palette picture, as ImageMagick writes a single opaque one: indexes into palette, which
/// holds colours (1 to 256) as RGB triples.
QByteArray gifOfIndexes(const quint8* indexes, size_t width, size_t height, const quint8* palette, unsigned colours);

/// A TIFF of one page of 8-bit RGB or RGBA rows (channels 3 or 4), Deflate-compressed with horizontal
/// differencing, in the given byte order, with the profile, XMP packet and resolution when given.
QByteArray deflatedTiff(const quint8* rows, size_t width, size_t height, int channels, const QByteArray& icc,
                        const QByteArray& xmp, const Metadata::Resolution& resolution, bool bigEndian);

/// PNG's five filters tried on each row, the one whose bytes read as signed sum smallest kept: libpng's
/// adaptive filter, which ImageMagick uses for photographs.
class RowFilter {
public:
    RowFilter(size_t stride, size_t pixelBytes);
    /// line filtered against above (nullptr for the first row) into out: the type byte, then stride bytes.
    void filter(const quint8* line, const quint8* above, quint8* out);

private:
    size_t m_stride;
    size_t m_pixelBytes;
    std::vector<quint8> m_none;
};

/// The PNG of 8-bit rows (3 bytes a pixel for RGB, 4 for RGBA), each row filtered as libpng's adaptive
/// filter would and the whole deflated the fastest way that a sample shows within 1.1% of zlib's level
/// 7. icc, exif, xmp and the resolution are written when given.
QByteArray png(const quint8* rows, size_t width, size_t height, int channels, const QByteArray& icc,
               const QByteArray& exif, const QByteArray& xmp, const Metadata::Resolution& resolution = {});

} // namespace JpegPhotos
