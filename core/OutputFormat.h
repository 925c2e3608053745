// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <array>

/// The seven output formats, indexed by the format button's member index, and every fact about one
/// that the window or the worker decides by: a format's rules are its row in the table and its writer.
namespace OutputFormat {
inline constexpr int Count = 7;
enum Index : int { Jpg = 0, Bmp = 1, Gif = 2, Pcx = 3, Png = 4, Ico = 5, Tiff = 6 };

struct Traits {
    /// ".jpg", ".bmp", ...
    const char16_t* extension;
    /// The format button's caption, "JPG保存路径" and so on.
    const char16_t* caption;
    /// Holds every frame of an animation or page of a document, not only the first.
    bool everyFrame;
    /// An animation's frames stay as stored (fragments at their offsets), not composed whole.
    bool framesAsStored;
    /// Its readers honour an embedded colour profile, so pictures keep theirs; the others' readers
    /// ignore one, and get pixels in sRGB.
    bool keepsProfile;
    /// Has no alpha: transparent pixels are laid on white.
    bool flattensAlpha;
    /// The longest side it can hold (libjpeg's 65500); 0 when only the worker's limits apply.
    int maxSide;
    /// The largest picture it stores (an icon's largest entry); 0 for the picture as it is.
    int largestPicture;
    /// Written straight from an 8-bit JPEG's rows, without ImageMagick (the photo route).
    bool fromJpegRows;
    /// The thousandths of such a conversion that decoding the rows takes, the rest being encoding:
    /// BMP, PCX and TIFF are written as the rows come. Measured on two wallpapers of 20 and 24
    /// megapixels, a photograph and a smooth one: JPEG 32 and 34%, PNG 26 and 84% (its deflate is the
    /// rest), GIF 3 and 13%, its dithering ending at 94 and 85%.
    int jpegDecodingShare;
};

// clang-format off
inline constexpr std::array<Traits, Count> table{{
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

/// The row of a valid index.
constexpr const Traits& traits(Index format)
{
    return table[size_t(format >= 0 && format < Count ? format : 0)];
}

/// ".jpg", ".bmp", ... for a valid index; empty otherwise.
QString extension(int index);
/// The format button's caption, "JPG保存路径" and so on.
QString caption(int index);
} // namespace OutputFormat
