// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "worker/Source.h"

#include <Magick++.h>
#include <webp/decode.h>

#include <QByteArray>

#include <list>
#include <optional>
#include <utility>
#include <vector>

// What a WebP's container says, read by libwebp without decoding: ImageMagick's reading of the
// header decodes the whole picture (an 80-megapixel photograph: 0.55 s and 335 MiB lossy, 1.7 s and
// 757 MiB lossless), each time a job asks its size; that photograph into JPG took 2.31 s and 1.89 s
// without it (lossless 4.66 s and 3.01 s). The profiles are the chunks ImageMagick's reader takes them
// from, as they stand.
struct WebpHeader {
    size_t width = 0;
    size_t height = 0;
    size_t frames = 0;
    bool alpha = false;
    bool lossless = false;
    std::vector<std::pair<const char*, QByteArray>> profiles;
};
/// A WebP's bitstream features (size, alpha, animation, lossless), read by libwebp from its first
/// bytes; nothing for a WebP it cannot read.
std::optional<WebPBitstreamFeatures> webpFeatures(const QByteArray& bytes);
std::optional<WebpHeader> webpHeader(const QByteArray& bytes);
bool isWebpAnimation(const Source& source);
/// An animated WebP's frames as they are shown, each the whole canvas: the first only, or every one.
std::list<Magick::Image> readWebpAnimation(const Source& source, bool everyFrame);
