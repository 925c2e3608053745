// SPDX-License-Identifier: GPL-3.0-or-later
// The header reader of every format the worker reads. The first byte picks the format, the rest is
// the file.
#include "worker/PictureHeaders.h"

#include <array>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::array<QByteArray, 11> coders{"JPEG", "PNG", "GIF", "TIFF", "WEBP", "BMP",
                                                   "TGA",  "ICO", "PCX", "PNM",  "HEIC"};
    if (size < 1)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    std::string fault;
    if (const std::optional<PictureHeaders::Header> header =
            PictureHeaders::read(bytes, coders[data[0] % coders.size()], &fault)) {
        // What the gate reads of every header it accepts is never negative.
        bool sane = !header->frames.empty() && header->canvas.area() >= 0 && header->largestBlock >= 0;
        for (const PictureHeaders::Size& frame : header->frames)
            sane = sane && frame.area() >= 0;
        if (!sane)
            __builtin_trap();
    }
    return 0;
}
