// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

/// The colour profiles the worker converts pictures with, and what it needs to know of a picture's
/// own profile.
namespace IccProfiles {

/// What a profile describes; Unusable for bytes that are not a profile lcms can open.
enum class Space { Unusable, Rgb, Grey, Cmyk, Other };

Space spaceOf(const QByteArray& profile);

/// True for a profile of sRGB itself, whose pixels need no conversion to be shown as sRGB.
bool isSrgb(const QByteArray& profile);

/// sRGB, as lcms builds it.
const QByteArray& srgb();

/// A standard press profile for CMYK pictures that carry none; empty when the system has none.
const QByteArray& defaultCmyk();

} // namespace IccProfiles
