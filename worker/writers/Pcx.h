// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Magick++.h>

#include "worker/Metadata.h"

class Output;
class RowSource;

/// PCX files of 8-bit rows.
namespace PcxWriter {

/// The file of an opaque picture's rows as ImageMagick's PCX coder writes it, byte for byte: version 5,
/// three run-length encoded 8-bit planes a row. False when the source is damaged or a side is over
/// PCX's 65535.
bool write(RowSource& rows, const Metadata::Resolution& density, Output& file);

/// A picture of the general route, flattened already: run-length encoded direct colour.
Magick::Blob ofImage(Magick::Image& image);

} // namespace PcxWriter
