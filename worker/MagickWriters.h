// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/OutputFormat.h"

#include <Magick++.h>

#include <list>

/// The file of format made of frames settled for it. photographic says they came from a camera:
/// noise everywhere, few long runs of equal bytes.
Magick::Blob encode(std::list<Magick::Image>& frames, OutputFormat::Index format, bool photographic);
