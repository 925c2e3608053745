// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/writers/Ico.h"

#include "core/OutputFormat.h"

#include <array>

namespace {
// The largest entry is as large as the picture is read for an icon.
constexpr size_t largestIcon = size_t(OutputFormat::traits(OutputFormat::Ico).largestPicture);
constexpr std::array<size_t, 4> iconSizes{16, 32, 48, largestIcon};

// The picture shrunk to fit inside size x size and centred on a transparent square of that size.
Magick::Image iconEntry(const Magick::Image& picture, size_t size)
{
    Magick::Image entry = picture;
    Magick::Geometry fit(size, size);
    fit.greater(true);
    entry.resize(fit);
    entry.matte(true);
    entry.backgroundColor(Magick::Color("transparent"));
    entry.extent(Magick::Geometry(size, size), Magick::Color("transparent"), MagickCore::CenterGravity);
    entry.classType(MagickCore::DirectClass);
    // The icon coder stores the 256 entry as PNG when it is asked for no other compression.
    entry.compressType(size == largestIcon ? MagickCore::ZipCompression : MagickCore::NoCompression);
    entry.depth(8);
    entry.magick("ICO");
    return entry;
}
} // namespace

Magick::Blob IcoWriter::ofFrames(const std::list<Magick::Image>& frames)
{
    Magick::Blob blob;
    const Magick::Image& source = frames.front();
    const size_t longest = std::max(source.columns(), source.rows());
    // Each entry is made from a copy no larger than twice the largest entry: resizing the whole
    // picture four times over made a 150-megapixel panorama's icon take 17 s, from the copy 2.2 s.
    // (A JPEG is decoded at an eighth already.)
    Magick::Image picture = source;
    // Entries have alpha; given before resizing, it is defined in every pixel the resize reads
    // (decoders of pictures without alpha, BMP's among them, leave it unwritten: valgrind).
    picture.matte(true);
    if (longest > 2 * largestIcon) {
        Magick::Geometry fit(2 * largestIcon, 2 * largestIcon);
        fit.greater(true);
        picture.thumbnail(fit);
    }
    std::list<Magick::Image> entries;
    for (const size_t size : iconSizes) {
        if (size <= longest)
            entries.push_back(iconEntry(picture, size));
    }
    // A source smaller than every entry still gives one, its picture centred and not enlarged.
    if (entries.empty())
        entries.push_back(iconEntry(picture, iconSizes.front()));
    Magick::writeImages(entries.begin(), entries.end(), &blob, true);
    return blob;
}
