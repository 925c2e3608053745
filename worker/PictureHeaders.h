// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <limits>
#include <optional>
#include <string>
#include <vector>

/// What a picture's header says of its size, read before anything is decoded, for every format the
/// worker reads: the one place where a picture's cost is known before it is paid. The bytes are
/// untrusted; nothing here allocates by what they say.
namespace PictureHeaders {

struct Size {
    quint32 width = 0;
    quint32 height = 0;

    /// Saturates: sides of 32 bits can multiply past what a qint64 holds.
    qint64 area() const
    {
        const quint64 product = quint64(width) * quint64(height);
        return product > quint64(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                                     : qint64(product);
    }
};

struct Header {
    /// The screen of an animation, the first page or picture otherwise.
    Size canvas;
    /// Every frame, page or icon entry in the order of the file, each at the size it is decoded at.
    std::vector<Size> frames;
    /// The largest tile or strip a decoder holds at once, where the format has them (TIFF).
    qint64 largestBlock = 0;
};

/// More frames than this is not a picture anyone converts (ImageMagick's list limit in the worker).
inline constexpr size_t maxFrames = 10000;

/// The header of bytes, whose decoder sniffing chose (coder: "JPEG", "PNG", "GIF", "TIFF", "WEBP",
/// "BMP", "TGA", "ICO", "PCX", "PNM", "HEIC"); nothing when it is not a header of that format, with
/// the reason in fault.
std::optional<Header> read(const QByteArray& bytes, const QByteArray& coder, std::string* fault = nullptr);

} // namespace PictureHeaders
