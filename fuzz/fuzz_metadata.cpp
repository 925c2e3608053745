// SPDX-License-Identifier: GPL-3.0-or-later
// The metadata edits, on bytes from a picture's file: an EXIF block, a PNG, a TIFF. The same bytes are
// each in turn, and what one function makes from them goes on to the next.
#include "worker/Metadata.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    Metadata::orientationOf(bytes);
    Metadata::resolutionOf(bytes);
    Metadata::isBigEndian(bytes);
    Metadata::uprightXmp(bytes);
    for (const bool turned : {true, false}) {
        const QByteArray upright = Metadata::upright(bytes, turned);
        // An edit in place: never a byte more or less, and the picture says upright or nothing.
        if (upright.size() != bytes.size() || Metadata::orientationOf(upright) > 1)
            std::abort();
    }
    const QByteArray segment = Metadata::asJpegSegment(bytes);
    if (!segment.isEmpty() && Metadata::orientationOf(segment) != Metadata::orientationOf(bytes))
        std::abort();

    const QByteArray exif = Metadata::exifOfTiff(bytes);
    Metadata::orientationOf(exif);
    Metadata::upright(exif);
    const QByteArray tiff = Metadata::tiffWithExif(bytes, exif.isEmpty() ? bytes : exif);
    Metadata::exifOfTiff(tiff);
    Metadata::tiffWithExif(bytes, bytes);

    const QByteArray png = Metadata::pngWithExif(bytes, exif.isEmpty() ? bytes : exif);
    Metadata::pngExif(png);
    Metadata::pngExif(bytes);
    return 0;
}
