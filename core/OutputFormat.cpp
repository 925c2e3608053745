// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/OutputFormat.h"

#include <array>

namespace {
using OutputFormat::Traits;

// clang-format off
constexpr std::array<Traits, OutputFormat::Count> table{{
    // extension caption          every  stored profile flatten maxSide largest jpegRows decoding
    {u".jpg",  u"JPG保存路径",  false, false, true,  true,  65500, 0,   true,  300},
    {u".bmp",  u"BMP保存路径",  false, false, false, false, 0,     0,   true,  1000},
    {u".gif",  u"GIF保存路径",  true,  true,  false, false, 0,     0,   true,  80},
    {u".pcx",  u"PCX保存路径",  false, false, false, true,  0,     0,   true,  1000},
    {u".png",  u"PNG保存路径",  false, false, true,  false, 0,     0,   true,  400},
    {u".ico",  u"ICO保存路径",  false, false, false, false, 0,     256, false, 0},
    {u".tiff", u"TIFF保存路径", true,  false, true,  false, 0,     0,   true,  1000},
}};
// clang-format on

bool validIndex(int index)
{
    return index >= 0 && index < OutputFormat::Count;
}
} // namespace

const Traits& OutputFormat::traits(Index format)
{
    return table[size_t(validIndex(format) ? format : 0)];
}

QString OutputFormat::extension(int index)
{
    return validIndex(index) ? QString::fromUtf16(table[size_t(index)].extension) : QString();
}

QString OutputFormat::caption(int index)
{
    return validIndex(index) ? QString::fromUtf16(table[size_t(index)].caption) : QString();
}
