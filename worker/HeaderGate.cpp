// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/HeaderGate.h"

#include "worker/Failure.h"
#include "worker/PictureHeaders.h"
#include "worker/ReducedRead.h"
#include "worker/WebpFiles.h"

#include <Magick++.h>

#include <algorithm>
#include <climits>

using OutputFormat::Index;
using Protocol::Status;

// The least the picture is read at for an output that stores it small (an icon): the JPEG decoder
// can stop at an eighth of a photo, and PNGs, TIFFs and WebPs are read reduced.
QSize hintFor(std::optional<Index> format)
{
    const int side = format ? OutputFormat::traits(*format).largestPicture : 0;
    return side > 0 ? QSize(side, side) : QSize();
}

// The one gate every picture passes before any of it is decoded: the sizes its header declares,
// against the limits of the worker's policy (sides, and a gigapixel for all that one job decodes),
// and the pixels the job will hold, for the window to admit it by. format is the output's, nothing
// for a preview. Every read after this one reads no more than the gate counted.
qint64 gate(const Source& source, std::optional<Index> format)
{
    std::string fault;
    const std::optional<PictureHeaders::Header> header = PictureHeaders::read(source.bytes, source.coder, &fault);
    if (!header)
        throw Failure{Status::Corrupt, fault};
    const qint64 maxWidth = qint64(std::min<MagickCore::MagickSizeType>(Magick::ResourceLimits::width(), LLONG_MAX));
    const qint64 maxHeight = qint64(std::min<MagickCore::MagickSizeType>(Magick::ResourceLimits::height(), LLONG_MAX));
    const qint64 maxArea = qint64(std::min<MagickCore::MagickSizeType>(Magick::ResourceLimits::area(), LLONG_MAX));
    const auto fits = [&](const PictureHeaders::Size& size) {
        return size.width <= maxWidth && size.height <= maxHeight && size.area() <= maxArea;
    };
    if (!fits(header->canvas) || !std::all_of(header->frames.begin(), header->frames.end(), fits))
        throw Failure{Status::TooLarge, "beyond the size limits"};
    if (header->frames.size() > PictureHeaders::maxFrames)
        throw Failure{Status::TooLarge, "too many frames"};
    qint64 largestFrame = 0;
    for (const PictureHeaders::Size& frame : header->frames)
        largestFrame = std::max(largestFrame, frame.area());
    // A tile or strip is never larger than its page at 16 bytes a pixel, give or take a tile's edge.
    if (header->largestBlock > largestFrame * 16 + (qint64(1) << 20))
        throw Failure{Status::TooLarge, "a tile or strip larger than its picture"};
    // libjpeg's own limit (the JPG row's maxSide), whichever way the picture is turned: it neither
    // writes nor reads more.
    const OutputFormat::Traits* output = format ? &OutputFormat::traits(*format) : nullptr;
    const int jpegSide = OutputFormat::traits(OutputFormat::Jpg).maxSide;
    const int maxSide = source.coder == "JPEG" ? jpegSide : output ? output->maxSide : 0;
    const quint32 longest = std::max(header->frames.front().width, header->frames.front().height);
    if (maxSide > 0 && longest > quint32(maxSide))
        throw Failure{Status::TooLarge, "beyond " + std::to_string(maxSide) + " pixels a side"};

    const bool everyFrame = output && output->everyFrame;
    const bool animated = source.coder == "GIF" || (source.coder == "WEBP" && header->frames.size() > 1);
    qint64 pixels = 0;
    if (source.coder == "ICO") {
        pixels = largestFrame;
    } else if (source.coder == "WEBP" && animated) {
        // Its decoder keeps two canvases and hands out each frame whole.
        pixels = header->canvas.area() * (2 + (everyFrame ? qint64(header->frames.size()) : 1));
    } else if (everyFrame) {
        for (const PictureHeaders::Size& frame : header->frames)
            pixels += frame.area();
        // Every frame of an animation composed whole.
        if (animated && !output->framesAsStored)
            pixels += header->canvas.area() * qint64(header->frames.size());
    } else {
        pixels = header->frames.front().area() + (animated ? header->canvas.area() : 0);
    }
    if (pixels > maxArea)
        throw Failure{Status::TooLarge, "frames beyond a gigapixel in all"};
    // Pictures read reduced hold a few rows and the small picture.
    const QSize hint = hintFor(format);
    if (hint.isValid() && source.coder == "JPEG")
        return pixels / 64;
    // libwebp's lossless decoder holds every pixel even so.
    std::optional<WebPBitstreamFeatures> webp;
    if (source.coder == "WEBP")
        webp = webpFeatures(source.bytes);
    const bool heldWhole = webp && webp->format == 2;
    if (const size_t factor = hint.isValid() && !heldWhole ? blockFactor(source, hint) : 1; factor > 1)
        return pixels / qint64(factor * factor);
    return pixels;
}
