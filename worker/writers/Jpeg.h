// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Magick++.h>

#include "worker/Metadata.h"

#include <QByteArray>

#include <array>
#include <utility>
#include <vector>

class Output;
class RowSource;

/// JPEG files of a JPEG's own rows, through libjpeg.
namespace JpegWriter {

/// What the file keeps of the JPEG its rows come from.
struct Original {
    /// Stored as YCbCr, so the rows stay in YCbCr between decoder and encoder (two colour conversions
    /// fewer); RGB otherwise.
    bool ycc = true;
    /// Chroma sampling of each component, horizontal and vertical.
    std::array<std::pair<int, int>, 3> sampling{};
    /// The markers after the header, in their order: APP1 to APP15 and comments.
    std::vector<std::pair<int, QByteArray>> markers;
    Metadata::Resolution density;
};

/// Encodes the rows at quality 90 with the original's chroma sampling and optimised Huffman tables, as
/// ImageMagick encodes a JPEG, writing every marker the original carried (EXIF, XMP, the profile, IPTC,
/// comments; not Adobe's APP14, which libjpeg writes itself) again as it was. The file is made in
/// memory, then appended to file. False when the source is damaged.
bool write(RowSource& rows, const Original& original, Output& file);

/// A picture of the general route, flattened already: quality 90, 8 bits a sample.
Magick::Blob ofImage(Magick::Image& image);

} // namespace JpegWriter
