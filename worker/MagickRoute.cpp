// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/MagickRoute.h"

#include "worker/Failure.h"
#include "worker/HeaderGate.h"
#include "worker/IccProfiles.h"
#include "worker/MagickImages.h"
#include "worker/MagickRead.h"
#include "worker/Metadata.h"
#include "worker/SignsOfLife.h"
#include "worker/writers/Bmp.h"
#include "worker/writers/Gif.h"
#include "worker/writers/Ico.h"
#include "worker/writers/Jpeg.h"
#include "worker/writers/Pcx.h"
#include "worker/writers/Png.h"
#include "worker/writers/Tiff.h"

using namespace MagickImages;

// Turns the picture upright by the orientation it records. A JPEG's, a PNG's and a WebP's is in its
// EXIF block, read as the photograph path reads it (ImageMagick takes a RATIONAL, a BYTE or the first
// of two values too, which exiftool and PIL do not, and only for a JPEG); a TIFF's is its own tag, and
// a HEIC comes upright from libheif, as ImageMagick says. The metadata then says upright too, and the
// EXIF thumbnail, still as the picture was stored, goes.
void turnUpright(Magick::Image& image, const QByteArray& coder)
{
    // ImageMagick's TGA reader puts the rows in their place itself and then records the file's row
    // order as an orientation: turning by it again showed every bottom-up TGA upside down.
    if (coder == "TGA")
        image.orientation(MagickCore::TopLeftOrientation);
    const QByteArray exif = profileOf(image, "exif");
    const bool fromExif = !exif.isEmpty() && (coder == "JPEG" || coder == "PNG" || coder == "WEBP");
    const int orientation = fromExif ? Metadata::orientationOf(exif) : int(image.orientation());
    if (orientation <= MagickCore::TopLeftOrientation || orientation > MagickCore::LeftBottomOrientation) {
        // Encoders write the picture's orientation into the EXIF block, unknown as 0, which no reader
        // takes.
        if (!exif.isEmpty()) {
            image.orientation(MagickCore::TopLeftOrientation);
            image.profile("exif", blobOf(Metadata::upright(exif, false)));
        }
        return;
    }
    image.orientation(MagickCore::OrientationType(orientation));
    image.autoOrient();
    if (!exif.isEmpty())
        image.profile("exif", blobOf(Metadata::upright(exif)));
    if (const QByteArray xmp = profileOf(image, "xmp"); !xmp.isEmpty())
        image.profile("xmp", blobOf(Metadata::uprightXmp(xmp)));
}

// Colour as the output can show it. A profile that does not describe the pixels (an RGB profile on a
// grey picture) is dropped: it would only make readers fail. CMYK always becomes sRGB, through the
// picture's profile or a standard press profile, never by formula alone. A picture whose output keeps
// its profile keeps its own pixels, which is lossless and right in every colour-managed viewer; the
// others get pixels in sRGB.
void settleColour(Magick::Image& image, bool keepsProfile)
{
    const MagickCore::ColorspaceType space = image.colorSpace();
    const bool cmyk = space == MagickCore::CMYKColorspace;
    QByteArray icc = profileOf(image, "icc");
    if (!icc.isEmpty()) {
        const IccProfiles::Space described = IccProfiles::spaceOf(icc);
        const bool fits = cmyk            ? described == IccProfiles::Space::Cmyk
                          : isGrey(space) ? described == IccProfiles::Space::Grey
                                          : described == IccProfiles::Space::Rgb;
        if (!fits) {
            dropProfile(image, "icc");
            icc.clear();
        }
    }
    if (cmyk) {
        if (icc.isEmpty() && !IccProfiles::defaultCmyk().isEmpty()) {
            image.profile("icc", blobOf(IccProfiles::defaultCmyk()));
            icc = IccProfiles::defaultCmyk();
        }
        // With a profile, lcms converts the pixels and the picture carries sRGB's profile after.
        if (!icc.isEmpty())
            image.profile("icc", blobOf(IccProfiles::srgb()));
        else
            image.colorSpace(MagickCore::sRGBColorspace);
        if (!keepsProfile)
            dropProfile(image, "icc");
        return;
    }
    if (!icc.isEmpty() && !keepsProfile) {
        if (!isGrey(space) && !IccProfiles::isSrgb(icc))
            image.profile("icc", blobOf(IccProfiles::srgb()));
        dropProfile(image, "icc");
    }
    // Linear light (a PNG with gamma 1.0), YCbCr, Lab and the rest: sRGB, or its grey.
    const MagickCore::ColorspaceType now = image.colorSpace();
    if (now == MagickCore::LinearGRAYColorspace)
        image.colorSpace(MagickCore::GRAYColorspace);
    else if (now != MagickCore::sRGBColorspace && now != MagickCore::GRAYColorspace)
        image.colorSpace(MagickCore::sRGBColorspace);
}

// The frames as the output should hold them. A GIF keeps its frames as they are (framesAsStored), on a
// screen that holds the largest; everywhere else each frame is whole (an optimised animation's fragments are
// composed into the frames as shown) and its canvas is the picture itself, with no offset left from
// a rotation or a PNG's oFFs chunk.
void settleCanvas(std::list<Magick::Image>& frames, const QByteArray& coder, bool framesAsStored)
{
    if (framesAsStored && (frames.size() > 1 || coder == "GIF")) {
        // Pages of other sources (a TIFF's) have no place on a screen, and may have been turned:
        // each starts at the corner.
        if (coder != "GIF") {
            for (Magick::Image& frame : frames)
                frame.repage();
        }
        // An animated WebP's frames are whole pictures: each replaces the last, also where it is
        // transparent.
        if (coder == "WEBP") {
            for (Magick::Image& frame : frames)
                frame.gifDisposeMethod(MagickCore::BackgroundDispose);
        }
        size_t width = 0;
        size_t height = 0;
        for (const Magick::Image& frame : frames) {
            const Magick::Geometry page = frame.page();
            const ssize_t x = std::max<ssize_t>(0, page.xOff());
            const ssize_t y = std::max<ssize_t>(0, page.yOff());
            width = std::max({width, page.width(), size_t(x) + frame.columns()});
            height = std::max({height, page.height(), size_t(y) + frame.rows()});
        }
        for (Magick::Image& frame : frames) {
            Magick::Geometry page = frame.page();
            page.width(width);
            page.height(height);
            frame.page(page);
        }
        return;
    }
    if (coder == "GIF") {
        // Outside its frames a GIF's screen shows through, transparent, as viewers show it; the
        // composed canvas keeps the first frame's alpha, and without one it came out in the
        // background colour, opaque.
        for (Magick::Image& frame : frames)
            frame.matte(true);
        std::list<Magick::Image> whole;
        Magick::coalesceImages(&whole, frames.begin(), frames.end());
        frames.swap(whole);
        for (Magick::Image& frame : frames)
            frame.quiet(true);
    }
    for (Magick::Image& frame : frames)
        frame.repage();
}

Magick::Image MagickRoute::picture(const Source& source, QSize box, SignsOfLife& life)
{
    // The JPEG decoder scales by eighths to no less than the hint, and the thumbnail averages the
    // rest down to the box, which keeps it sharp. A hint of twice the box cost a 24-megapixel
    // photo 217 ms instead of 105 (kalvorin-bench --preview). The box may turn by a quarter when
    // the picture is rotated upright, so the hint is square.
    const int side = std::max(box.width(), box.height());
    std::list<Magick::Image> frames = readPicture(source, false, QSize(side, side));
    // As a screen shows it: the first frame whole, in sRGB.
    settleCanvas(frames, source.coder, false);
    Magick::Image& image = frames.front();
    life.pixelsKnown(qint64(image.columns()) * qint64(image.rows()));
    turnUpright(image, source.coder);
    settleColour(image, false);
    if (box.isValid()) {
        Magick::Geometry fit(size_t(box.width()), size_t(box.height()));
        fit.greater(true);
        image.thumbnail(fit);
    }
    return image;
}

Magick::Blob MagickRoute::convert(const Source& source, OutputFormat::Index format, SignsOfLife& life)
{
    const OutputFormat::Traits& output = OutputFormat::traits(format);
    std::list<Magick::Image> frames = readPicture(source, output.everyFrame, hintFor(format));
    life.pixelsKnown(pixelsOf(frames));
    for (Magick::Image& frame : frames) {
        turnUpright(frame, source.coder);
        dropProperties(frame, "exif:");
        settleColour(frame, output.keepsProfile);
    }
    settleCanvas(frames, source.coder, output.framesAsStored);
    if (output.flattensAlpha)
        flattenOnWhite(frames.front());
    // Camera pictures: noise everywhere, few long runs of equal bytes.
    const bool photographic = source.coder == "JPEG" || source.coder == "HEIC";
    switch (format) {
    case OutputFormat::Jpg:
        return JpegWriter::ofImage(frames.front());
    case OutputFormat::Bmp:
        return BmpWriter::ofImage(frames.front());
    case OutputFormat::Gif:
        return GifWriter::ofFrames(frames);
    case OutputFormat::Pcx:
        return PcxWriter::ofImage(frames.front());
    case OutputFormat::Png:
        return PngWriter::ofImage(frames.front());
    case OutputFormat::Ico:
        return IcoWriter::ofFrames(frames);
    case OutputFormat::Tiff:
        return TiffWriter::ofFrames(frames, photographic);
    }
    throw Failure{Protocol::Status::Unsupported, "unknown output format"};
}
