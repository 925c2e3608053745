// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

/// Edits of the metadata a picture carries, on its bytes, for a picture that has been turned upright.
namespace Metadata {

/// The orientation (1 to 8) an EXIF block records, 0 when it records none or cannot be read: one
/// SHORT, LONG or SLONG of 1 to 8. The block may start with "Exif\0\0", as in a JPEG, or with the TIFF
/// header itself, as in a PNG.
int orientationOf(const QByteArray& exif);

/// How densely the pixels are meant to be printed, as an EXIF block's first directory records it.
struct Resolution {
    double x = 0;
    double y = 0;
    enum Unit { None, PerInch, PerCentimetre } unit = None;
};

/// The resolution an EXIF block records; all zero and None when it records none, or no unit, or cannot
/// be read.
Resolution resolutionOf(const QByteArray& exif);

/// The EXIF block a PNG's eXIf chunk holds, which ImageMagick's decoder leaves unread; empty when it has
/// none.
QByteArray pngExif(const QByteArray& png);

/// A PNG file's bytes with the EXIF block in an eXIf chunk right after the header, where readers look
/// for it (ImageMagick's encoder puts it after the pixels, where many do not). The block may start
/// with "Exif\0\0", as in a JPEG.
QByteArray pngWithExif(const QByteArray& png, const QByteArray& exif);

/// The EXIF block of a picture shown upright as it now is: orientation 1, as a SHORT, and no entry of a
/// type the standard does not allow for its tag. A picture that was turned loses the thumbnail too,
/// which would still show it as it was stored. Every other entry stays where it was; a block that
/// cannot be read is returned unchanged.
QByteArray upright(const QByteArray& exif, bool turned = true);

/// The XMP packet of a picture that is now upright: tiff:Orientation says 1, in either of the forms
/// XMP writes it.
QByteArray uprightXmp(const QByteArray& xmp);

/// A TIFF file's bytes with the EXIF block's camera entries added to its first page: Make, Model and
/// DateTime, the resolution where the page has none, and the EXIF and GPS directories, as a camera's
/// own TIFF holds them. Only entries exactly as the standard has them go in; the maker's note, whose
/// private offsets cannot be moved, and the entries that describe a JPEG's compression are left out,
/// and so is a directory left empty. The file is returned unchanged when either cannot be read, when
/// their byte orders differ, or when it already has EXIF.
QByteArray tiffWithExif(const QByteArray& tiff, const QByteArray& exif);

/// The EXIF block, after "Exif\0\0", that a TIFF file's first page holds: its description entries
/// (camera, times, orientation, resolution) and its EXIF and GPS directories; empty when it has no
/// camera entries and neither directory, or cannot be read.
QByteArray exifOfTiff(const QByteArray& tiff);

/// The EXIF block as a JPEG's APP1 segment holds it, after "Exif\0\0" (a PNG's and a WebP's has
/// none); empty when it is not an EXIF block.
QByteArray asJpegSegment(const QByteArray& exif);

/// True when the EXIF block's numbers are big-endian.
bool isBigEndian(const QByteArray& exif);

} // namespace Metadata
