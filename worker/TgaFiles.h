// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

/// What ImageMagick's TGA coder needs done to a TGA's bytes before it reads them, from the bytes alone.
namespace TgaFiles {

/// Whether the 18-byte header describes a picture: a known kind, a colour map where the kind needs
/// one, sample sizes that exist, and room in the file for the identifier and the colour map. A TGA has
/// no signature; this is all that tells one from any file named ".tga".
bool isPlausible(const QByteArray& bytes);

/// The picture as ImageMagick 6 reads it right. Grey with alpha, 16 bits a pixel, which it reads as
/// 5-bit RGB without alpha (false colours, transparency lost), becomes 32-bit BGRA of the same
/// pixels, packets and orientation; every other TGA is returned as it is. At most twice as long.
QByteArray forImageMagick(const QByteArray& bytes);

} // namespace TgaFiles
