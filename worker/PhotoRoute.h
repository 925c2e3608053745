// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/OutputFormat.h"

#include <QByteArray>

#include <functional>
#include <optional>

class Output;

/// Camera photographs (8-bit colour JPEGs, upright as stored) converted on 8-bit rows with
/// libjpeg-turbo, without ImageMagick, which holds every pixel as four 16-bit samples. The files hold
/// what ImageMagick's would (the same pixels, colour and metadata; BMP and PCX are the very same bytes),
/// made in a fraction of the time and memory.
namespace PhotoRoute {

/// Writes the file of format made from jpeg to out and returns true; false when the picture needs the
/// general path: a format whose row says it is not written from JPEG rows (ICO), not an 8-bit colour
/// JPEG, to be turned, with a profile its output must convert, or any warning from the decoder. What
/// was written then is to be discarded. pixelsKnown is told the picture's size once the header is
/// read, and done the thousandths of the work done as rows are decoded (from 0 up to 1000).
bool convert(const QByteArray& jpeg, OutputFormat::Index format, Output& out,
             const std::function<void(qint64 pixels)>& pixelsKnown = {},
             const std::function<void(qint16 done)>& done = {});

/// The same file in memory, or nothing when the picture needs the general path.
std::optional<QByteArray> convert(const QByteArray& jpeg, OutputFormat::Index format);

} // namespace PhotoRoute
