// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/WebpFiles.h"

#include "worker/Failure.h"
#include "worker/MagickImages.h"

#include <webp/demux.h>

#include <QScopeGuard>

using MagickImages::blobOf;
using Protocol::Status;

// A WebP's bitstream features (size, alpha, animation, lossless), read by libwebp from its first
// bytes; nothing for a WebP it cannot read.
std::optional<WebPBitstreamFeatures> webpFeatures(const QByteArray& bytes)
{
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()), &features) !=
        VP8_STATUS_OK)
        return std::nullopt;
    return features;
}

std::optional<WebpHeader> webpHeader(const QByteArray& bytes)
{
    const WebPData data{reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size())};
    WebPDemuxer* demux = WebPDemux(&data);
    if (!demux)
        return std::nullopt;
    const auto release = qScopeGuard([&] { WebPDemuxDelete(demux); });
    WebpHeader header;
    header.width = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
    header.height = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
    header.frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
    if (const std::optional<WebPBitstreamFeatures> features = webpFeatures(bytes)) {
        header.alpha = features->has_alpha;
        header.lossless = features->format == 2;
    }
    for (const auto& [chunk, name] : {std::pair{"ICCP", "icc"}, {"EXIF", "exif"}, {"XMP ", "xmp"}}) {
        WebPChunkIterator iterator;
        if (WebPDemuxGetChunk(demux, chunk, 1, &iterator)) {
            header.profiles.emplace_back(
                name, QByteArray(reinterpret_cast<const char*>(iterator.chunk.bytes), qsizetype(iterator.chunk.size)));
            WebPDemuxReleaseChunkIterator(&iterator);
        }
    }
    return header;
}

// An animated WebP's frames as they are shown, each the whole canvas: libwebp's animation decoder
// places each frame at its offset, blends and disposes as the file says, on a transparent canvas.
// ImageMagick's reader left every frame at the corner, at its own size. The first frame only, or every
// one with its delay; the loop count and the container's profiles go with them.
std::list<Magick::Image> readWebpAnimation(const Source& source, bool everyFrame)
{
    const WebPData data{reinterpret_cast<const uint8_t*>(source.bytes.constData()), size_t(source.bytes.size())};
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        throw Failure{Status::Corrupt, "libwebp: no animation decoder"};
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
    if (!decoder)
        throw Failure{Status::Corrupt, "libwebp: not an animation it can decode"};
    const auto release = qScopeGuard([&] { WebPAnimDecoderDelete(decoder); });
    WebPAnimInfo info;
    if (!WebPAnimDecoderGetInfo(decoder, &info) || info.canvas_width == 0 || info.canvas_height == 0)
        throw Failure{Status::Corrupt, "libwebp: animation without a canvas"};
    const std::optional<WebpHeader> container = webpHeader(source.bytes);
    std::list<Magick::Image> frames;
    int shownAt = 0;
    while (WebPAnimDecoderHasMoreFrames(decoder)) {
        uint8_t* rgba = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(decoder, &rgba, &timestamp))
            throw Failure{Status::Corrupt, "libwebp: a frame could not be decoded"};
        Magick::Image frame(info.canvas_width, info.canvas_height, "RGBA", MagickCore::CharPixel, rgba);
        frame.quiet(true);
        // The decoder gives the time a frame's showing ends; GIF counts hundredths of a second.
        frame.animationDelay(size_t(std::max(0, timestamp - shownAt) + 5) / 10);
        shownAt = timestamp;
        frame.depth(8);
        frame.animationIterations(info.loop_count);
        if (container) {
            for (const auto& [name, bytes] : container->profiles)
                frame.profile(name, blobOf(bytes));
        }
        frames.push_back(std::move(frame));
        if (!everyFrame)
            break;
    }
    if (frames.empty())
        throw Failure{Status::Corrupt, "libwebp: animation without frames"};
    return frames;
}

bool isWebpAnimation(const Source& source)
{
    if (source.coder != "WEBP")
        return false;
    const std::optional<WebPBitstreamFeatures> features = webpFeatures(source.bytes);
    return features && features->has_animation;
}
