// SPDX-License-Identifier: GPL-3.0-or-later
// On 8-bit rows the wallpapers convert 2.45 to 6.90 times as fast as mogrify converts them (README, Benchmark).
#include "worker/PhotoRoute.h"

#include "worker/IccProfiles.h"
#include "worker/JpegReader.h"
#include "worker/Metadata.h"
#include "worker/writers/Bmp.h"
#include "worker/writers/Gif.h"
#include "worker/writers/Jpeg.h"
#include "worker/writers/Output.h"
#include "worker/writers/Pcx.h"
#include "worker/writers/Png.h"
#include "worker/writers/Tiff.h"

// Measured on Debian's 21 wallpapers (perf): of ImageMagick's JPEG to BMP, a third went to libjpeg,
// a tenth to its coder widening each sample to 16 bits, a tenth to the BMP coder and a twentieth to
// clearing buffers; the rest is the kernel copying the file. Decoding into 8-bit rows and writing them
// as they come leaves libjpeg and the copy.

bool PhotoRoute::convert(const QByteArray& jpeg, OutputFormat::Index format, Output& out,
                         const std::function<void(qint64 pixels)>& pixelsKnown,
                         const std::function<void(qint16 done)>& done)
{
    const OutputFormat::Traits& output = OutputFormat::traits(format);
    if (!output.fromJpegRows)
        return false;
    JpegReader reader(jpeg);
    if (!reader.open())
        return false;
    const int orientation = Metadata::orientationOf(reader.exif());
    if (orientation > 1)
        return false;
    reader.settleExif();
    // A profile that does not describe RGB pixels is dropped, as on the general path. Outputs whose
    // readers ignore profiles need pixels in sRGB, which only a source in sRGB has here.
    QByteArray icc = reader.icc();
    if (!icc.isEmpty() && IccProfiles::spaceOf(icc) != IccProfiles::Space::Rgb)
        icc.clear();
    if (!output.keepsProfile && !icc.isEmpty() && !IccProfiles::isSrgb(icc))
        return false;
    if (pixelsKnown)
        pixelsKnown(qint64(reader.width()) * qint64(reader.height()));
    reader.steps().tellTo(done);
    reader.steps().stage(output.jpegDecodingShare);
    switch (format) {
    case OutputFormat::Jpg:
        return JpegWriter::write(reader, {reader.isYcc(), reader.sampling(), reader.markers(), reader.density()}, out);
    case OutputFormat::Bmp:
        return BmpWriter::write(reader, reader.density(), out);
    case OutputFormat::Pcx:
        return PcxWriter::write(reader, reader.density(), out);
    case OutputFormat::Png:
        return PngWriter::write(reader, icc, reader.exif(), reader.xmp(), reader.density(), out);
    case OutputFormat::Gif:
        return GifWriter::write(reader, out);
    case OutputFormat::Tiff:
        return TiffWriter::write(reader, icc, reader.xmp(), reader.exif(), reader.density(), out);
    case OutputFormat::Ico:
        break;
    }
    return false;
}

std::optional<QByteArray> PhotoRoute::convert(const QByteArray& jpeg, OutputFormat::Index format)
{
    MemoryOutput out;
    if (!convert(jpeg, format, out))
        return std::nullopt;
    return out.bytes();
}
