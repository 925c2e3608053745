// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Magick++.h>

#include <QByteArray>

#include <list>

/// The general path's rules for pictures decoded by ImageMagick, before a writer gets them.

/// Turns the picture upright by the orientation it records, and says so in its metadata.
void turnUpright(Magick::Image& image, const QByteArray& coder);
/// Colour as the output can show it: its own pixels and profile where keepsProfile, else sRGB.
void settleColour(Magick::Image& image, bool keepsProfile);
/// Frames as stored on a screen that holds them all (framesAsStored), or each frame whole on a canvas
/// of its own size.
void settleCanvas(std::list<Magick::Image>& frames, const QByteArray& coder, bool framesAsStored);
