// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/MagickRead.h"

#include "worker/Failure.h"
#include "worker/MagickImages.h"
#include "worker/ReducedRead.h"
#include "worker/WebpFiles.h"

namespace {
using Protocol::Status;

using namespace MagickImages;
// Reads the first frame; a hint lets the JPEG decoder scale down while it decodes.
Magick::Image readFirstFrame(const Source& source, const QSize& hint = {})
{
    Magick::Image image;
    image.subImage(0);
    image.subRange(1);
    const std::string coder = source.coder.toStdString();
    try {
        if (hint.isValid() && coder == "JPEG") {
            // The decoder enlarges to the hint as readily as it shrinks, so only a larger picture gets it.
            Magick::Image header;
            header.quiet(true);
            header.ping(blobOf(source.bytes));
            if (header.columns() >= size_t(hint.width()) && header.rows() >= size_t(hint.height()))
                image.defineValue("jpeg", "size",
                                  QStringLiteral("%1x%2").arg(hint.width()).arg(hint.height()).toStdString());
        }
        image.read(blobOf(source.bytes), Magick::Geometry(), coder);
    } catch (const Magick::Warning& warning) {
        if (isTruncation(warning) || !image.isValid())
            throw failureOf(warning);
    }
    if (!image.isValid() || image.columns() == 0 || image.rows() == 0)
        throw Failure{Status::Corrupt, "no picture"};
    // A warning the decoder stored (an XMP packet it could not parse) is not thrown again when the
    // picture is written.
    image.quiet(true);
    return image;
}

std::list<Magick::Image> readAllFrames(const Source& source)
{
    std::list<Magick::Image> frames;
    Magick::ReadOptions options;
    std::strncpy(options.imageInfo()->magick, source.coder.constData(), MaxTextExtent - 1);
    try {
        Magick::readImages(&frames, blobOf(source.bytes), options);
    } catch (const Magick::Warning& warning) {
        if (isTruncation(warning) || frames.empty())
            throw failureOf(warning);
    }
    if (frames.empty())
        throw Failure{Status::Corrupt, "no picture"};
    // ImageMagick 6 leaves a decoder's warning (a JPEG that ends early, its last rows grey) in the frame
    // it read, not in what readImages throws: a damaged picture would be converted as if it were whole.
    for (Magick::Image& frame : frames) {
        try {
            Magick::throwException(&frame.image()->exception, false);
        } catch (const Magick::Exception& stored) {
            // An error too (pixels that point outside a TGA's colour map, read as its first colour):
            // reading the first frame alone throws it, so every frame is refused alike.
            if (isTruncation(stored) || dynamic_cast<const Magick::Error*>(&stored))
                throw failureOf(stored);
        }
        frame.quiet(true);
    }
    return frames;
}
} // namespace

// The frames a conversion needs: every one, or the first, where a hint lets the JPEG decoder scale
// down. An icon holds one picture at several sizes: its largest entry is the picture.
std::list<Magick::Image> readPicture(const Source& source, bool everyFrame, QSize hint)
{
    if (source.coder == "ICO") {
        const std::list<Magick::Image> entries = readAllFrames(source);
        const auto area = [](const Magick::Image& entry) { return qint64(entry.columns()) * qint64(entry.rows()); };
        return {*std::max_element(entries.begin(), entries.end(), [&](const Magick::Image& a, const Magick::Image& b) {
            return area(a) < area(b) || (area(a) == area(b) && a.depth() < b.depth());
        })};
    }
    std::list<Magick::Image> frames;
    if (isWebpAnimation(source))
        frames = readWebpAnimation(source, everyFrame);
    else if (everyFrame)
        frames = readAllFrames(source);
    else if (const size_t factor = blockFactor(source, hint); factor > 1)
        frames.push_back(readReduced(source, factor));
    else
        frames.push_back(readFirstFrame(source, hint));
    // The EXIF block as a JPEG holds it, after "Exif\0\0": ImageMagick's JPEG encoder writes the
    // profile as it stands, and a WebP's, stored without, was then no EXIF to any reader (nor is a
    // profile that is no EXIF block, which goes). Its decoders leave a PNG's eXIf chunk unread and make
    // none of a TIFF's own EXIF directories.
    Magick::Image& first = frames.front();
    QByteArray exif = profileOf(first, "exif");
    if (exif.isEmpty() && source.coder == "PNG")
        exif = Metadata::pngExif(source.bytes);
    else if (exif.isEmpty() && source.coder == "TIFF")
        exif = Metadata::exifOfTiff(source.bytes);
    if (!exif.isEmpty())
        first.profile("exif", blobOf(Metadata::asJpegSegment(exif)));
    return frames;
}
