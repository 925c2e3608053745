// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/MagickImages.h"

#include <QString>

#include <cstring>
#include <unordered_set>

namespace MagickImages {

qint64 pixelsOf(const std::list<Magick::Image>& frames)
{
    qint64 pixels = 0;
    for (const Magick::Image& frame : frames)
        pixels += qint64(frame.columns()) * qint64(frame.rows());
    return pixels;
}

Magick::Blob blobOf(const QByteArray& bytes)
{
    return Magick::Blob(bytes.constData(), size_t(bytes.size()));
}

bool hasTransparency(const Magick::Image& image)
{
    return image.matte() && !image.isOpaque();
}

// The picture as 8-bit RGBA rows. A picture without an alpha channel is read as RGB and made opaque
// here: ImageMagick exports the alpha it finds in the pixel cache whether or not the picture has one,
// and decoders of pictures without alpha (a palette BMP) never write it, so it held whatever the
// previous job left in that memory (a palette BMP into GIF came out speckled after a large JPEG).
std::vector<quint8> rgbaOf(Magick::Image& image)
{
    const size_t width = image.columns();
    const size_t height = image.rows();
    std::vector<quint8> rgba(width * height * 4);
    if (image.matte()) {
        image.write(0, 0, width, height, "RGBA", MagickCore::CharPixel, rgba.data());
        return rgba;
    }
    // RGB into the buffer's last three quarters, then spread forward: a pixel's place never reaches
    // the samples of one not yet spread.
    image.write(0, 0, width, height, "RGB", MagickCore::CharPixel, rgba.data() + width * height);
    const quint8* rgb = rgba.data() + width * height;
    for (size_t i = 0; i < width * height; ++i, rgb += 3) {
        rgba[i * 4] = rgb[0];
        rgba[i * 4 + 1] = rgb[1];
        rgba[i * 4 + 2] = rgb[2];
        rgba[i * 4 + 3] = 255;
    }
    return rgba;
}

QByteArray bytesOf(const Magick::Blob& blob)
{
    return QByteArray(static_cast<const char*>(blob.data()), qsizetype(blob.length()));
}

QByteArray profileOf(const Magick::Image& image, const char* name)
{
    return bytesOf(image.profile(name));
}

void dropProfile(Magick::Image& image, const char* name)
{
    image.profile(name, Magick::Blob());
}

// The decoders copy EXIF entries and a TIFF's tags into text properties ("exif:Orientation",
// "tiff:rows-per-strip" and the like) named with prefix, which the PNG encoder would write out as text
// chunks, stale once the picture is turned. The EXIF block itself is the record and stays.
void dropProperties(Magick::Image& image, const char* prefix)
{
    image.modifyImage();
    MagickCore::Image* core = image.image();
    std::vector<std::string> names;
    MagickCore::ResetImagePropertyIterator(core);
    while (const char* name = MagickCore::GetNextImageProperty(core)) {
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0)
            names.emplace_back(name);
    }
    for (const std::string& name : names)
        MagickCore::DeleteImageProperty(core, name.c_str());
}

bool isGrey(MagickCore::ColorspaceType space)
{
    return space == MagickCore::GRAYColorspace || space == MagickCore::LinearGRAYColorspace;
}

void flattenOnWhite(Magick::Image& image)
{
    if (image.matte()) {
        image.backgroundColor(Magick::Color("white"));
        image.alphaChannel(MagickCore::RemoveAlphaChannel);
        image.matte(false);
    }
}

void makeTrueColour(Magick::Image& image, bool keepAlpha)
{
    image.classType(MagickCore::DirectClass);
    image.type(keepAlpha ? MagickCore::TrueColorMatteType : MagickCore::TrueColorType);
    image.depth(8);
}

Metadata::Resolution resolutionOf(const Magick::Image& image)
{
    const MagickCore::ResolutionType units = image.resolutionUnits();
    if (image.xResolution() <= 0 || image.yResolution() <= 0 ||
        (units != MagickCore::PixelsPerInchResolution && units != MagickCore::PixelsPerCentimeterResolution))
        return {};
    return {image.xResolution(), image.yResolution(),
            units == MagickCore::PixelsPerInchResolution ? Metadata::Resolution::PerInch
                                                         : Metadata::Resolution::PerCentimetre};
}

std::optional<Rows> rowsOfManyColours(Magick::Image& image)
{
    if (image.depth() > 8 || image.colorSpace() != MagickCore::sRGBColorspace)
        return std::nullopt;
    const size_t width = image.columns();
    const size_t height = image.rows();
    Rows rows;
    rows.channels = image.matte() ? 4 : 3;
    rows.bytes.resize(width * height * size_t(rows.channels));
    image.write(0, 0, width, height, rows.channels == 4 ? "RGBA" : "RGB", MagickCore::CharPixel, rows.bytes.data());
    // A photograph shows its 257th colour within a few rows.
    std::unordered_set<quint32> colours;
    for (size_t at = 0; at < rows.bytes.size() && colours.size() <= 256; at += size_t(rows.channels)) {
        quint32 colour = 0;
        std::memcpy(&colour, rows.bytes.data() + at, size_t(rows.channels));
        colours.insert(colour);
    }
    if (colours.size() <= 256)
        return std::nullopt;
    return rows;
}

} // namespace MagickImages
