// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Magick++.h>

#include <QByteArray>

#include <cstddef>
#include <functional>
#include <optional>

class Output;
class RowSource;

/// GIF files of single opaque pictures: 256 colours chosen and dithered by libimagequant, written as
/// ImageMagick writes such a picture.
namespace GifWriter {

/// The GIF of an opaque picture's 8-bit RGBA rows, in 256 colours; nothing when libimagequant refuses
/// the picture. dithered is told how much of the dithering is done, from 0 to 1.
std::optional<QByteArray> gif(const quint8* rgba, size_t width, size_t height,
                              const std::function<void(double fraction)>& dithered = {});

/// The GIF of a palette picture, as ImageMagick writes a single opaque one: indexes into palette, which
/// holds colours (1 to 256) as RGB triples.
QByteArray gifOfIndexes(const quint8* indexes, size_t width, size_t height, const quint8* palette, unsigned colours);

/// The same of an opaque picture's rows; false when the source is damaged or libimagequant refuses it.
bool write(RowSource& rows, Output& file);

/// Frames of the general route: a single opaque picture by gif(), animations and transparency by
/// ImageMagick, which keeps each frame's transparent colour and offsets.
Magick::Blob ofFrames(std::list<Magick::Image>& frames);

} // namespace GifWriter
