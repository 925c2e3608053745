// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/OutputFormat.h"
#include "worker/Source.h"

#include <Magick++.h>

#include <QByteArray>
#include <QSize>

#include <list>

class SignsOfLife;

/// The general route: pictures decoded by ImageMagick, settled by the output's rules and written by
/// its writer.
namespace MagickRoute {
/// The file of format made from source.
Magick::Blob convert(const Source& source, OutputFormat::Index format, SignsOfLife& life);
/// The first frame upright, in sRGB, scaled down to fit inside box: the window's preview.
Magick::Image picture(const Source& source, QSize box, SignsOfLife& life);
} // namespace MagickRoute

/// The route's rules, each on its own for the tests.
/// Turns the picture upright by the orientation it records, and says so in its metadata.
void turnUpright(Magick::Image& image, const QByteArray& coder);
/// Colour as the output can show it: its own pixels and profile where keepsProfile, else sRGB.
void settleColour(Magick::Image& image, bool keepsProfile);
/// Frames as stored on a screen that holds them all (framesAsStored), or each frame whole on a canvas
/// of its own size.
void settleCanvas(std::list<Magick::Image>& frames, const QByteArray& coder, bool framesAsStored);
