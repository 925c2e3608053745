// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "worker/Source.h"

#include <Magick++.h>

#include <QSize>

#include <list>

/// The frames a conversion needs, decoded: every one, or the first, where a hint lets the JPEG decoder
/// scale down and PNGs, TIFFs and WebPs be read reduced. An icon's largest entry is its picture.
std::list<Magick::Image> readPicture(const Source& source, bool everyFrame, QSize hint = {});
