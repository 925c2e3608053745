// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Magick++.h>

#include <list>

/// ICO files: the picture at 16, 32, 48 and 256 pixels (those no larger than it), each centred on a
/// transparent square, the 256 entry stored as PNG; written by ImageMagick's coder.
namespace IcoWriter {
Magick::Blob ofFrames(const std::list<Magick::Image>& frames);
} // namespace IcoWriter
