// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Magick++.h>

#include "worker/Metadata.h"

class Output;
class RowSource;

/// BMP files of 8-bit rows.
namespace BmpWriter {

/// The file of an opaque picture's rows as ImageMagick's BMP coder writes it, byte for byte: a
/// version 5 header with the channel masks and density, 24 bits a pixel, bottom row first, rows padded
/// to four bytes. False when the source is damaged or the file would not fit BMP's 32-bit sizes.
bool write(RowSource& rows, const Metadata::Resolution& density, Output& file);

/// A picture of the general route: direct colour, with alpha only where it is transparent somewhere.
Magick::Blob ofImage(Magick::Image& image);

} // namespace BmpWriter
