// SPDX-License-Identifier: GPL-3.0-or-later
// giflib writes the very same bytes in 1.61 times this LZW encoder's time (README, Benchmark).
#include "worker/writers/Gif.h"
#include "worker/MagickImages.h"

#include "worker/writers/ByteWriter.h"
#include "worker/writers/Output.h"
#include "worker/writers/RowSource.h"

#include <QScopeGuard>

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <vector>

#include <libimagequant.h>

namespace {

// The LZW codes of GIF's pixel data, packed from the lowest bit up into sub-blocks of at most 255
// bytes. The table of strings is a hash of (prefix code, next index); when its 4096 codes are used up
// a clear code starts it again.
class LzwEncoder {
public:
    LzwEncoder(QByteArray& out, int minimumCodeSize)
        : m_out(out)
        , m_literalBits(minimumCodeSize)
    {
        m_out.append(char(minimumCodeSize));
        reset();
        put(clearCode());
    }

    void encode(const quint8* indexes, size_t count)
    {
        if (count == 0)
            return;
        quint32 code = indexes[0];
        for (size_t i = 1; i < count; ++i) {
            const quint32 key = code << 8 | indexes[i];
            size_t slot = hashOf(key);
            bool found = false;
            while (m_table[slot] != empty) {
                if (m_table[slot] >> 12 == key) {
                    code = m_table[slot] & 0xfff;
                    found = true;
                    break;
                }
                slot = (slot + 1) & (tableSize - 1);
            }
            if (found)
                continue;
            put(code);
            code = indexes[i];
            if (nextCode())
                m_table[slot] = key << 12 | m_highest;
        }
        put(code);
        nextCode();
        put(clearCode() + 1); // end of information
        flushBits();
        m_out.append('\0');
    }

private:
    static constexpr size_t tableSize = 1 << 14;
    static constexpr quint32 empty = 0xffffffffu;
    static constexpr quint32 lastCode = 4095;

    quint32 clearCode() const { return 1u << m_literalBits; }
    static size_t hashOf(quint32 key) { return (key >> 12 ^ key) & (tableSize - 1); }

    void reset()
    {
        m_table.assign(tableSize, empty);
        m_bits = m_literalBits + 1;
        m_highest = clearCode() + 1;
        m_overflow = clearCode() << 1;
    }

    // Takes the next code for a new string; false when the table was full and has been cleared.
    bool nextCode()
    {
        ++m_highest;
        if (m_highest == m_overflow) {
            ++m_bits;
            m_overflow <<= 1;
        }
        if (m_highest == lastCode) {
            put(clearCode());
            reset();
            return false;
        }
        return true;
    }

    void put(quint32 code)
    {
        m_accumulator |= quint64(code) << m_pending;
        m_pending += m_bits;
        while (m_pending >= 8) {
            byte(quint8(m_accumulator));
            m_accumulator >>= 8;
            m_pending -= 8;
        }
    }

    void flushBits()
    {
        if (m_pending > 0)
            byte(quint8(m_accumulator));
        m_accumulator = 0;
        m_pending = 0;
        if (m_blockLength > 0)
            endBlock();
    }

    void byte(quint8 value)
    {
        m_block[m_blockLength++] = value;
        if (m_blockLength == 255)
            endBlock();
    }

    void endBlock()
    {
        m_out.append(char(m_blockLength));
        m_out.append(reinterpret_cast<const char*>(m_block.data()), qsizetype(m_blockLength));
        m_blockLength = 0;
    }

    QByteArray& m_out;
    int m_literalBits;
    int m_bits = 0;
    quint32 m_highest = 0;
    quint32 m_overflow = 0;
    std::vector<quint32> m_table;
    quint64 m_accumulator = 0;
    int m_pending = 0;
    std::array<quint8, 255> m_block{};
    size_t m_blockLength = 0;
};

} // namespace

// The file as ImageMagick writes a single opaque picture: GIF89a, a global table of a power of two
// colours, a graphic control block without transparency or delay, and the pixels, not interlaced.
QByteArray GifWriter::gifOfIndexes(const quint8* indexes, size_t width, size_t height, const quint8* palette,
                                   unsigned colours)
{
    int bits = 1;
    while ((1u << bits) < colours)
        ++bits;
    QByteArray out("GIF89a");
    ByteWriter put(out);
    put.u16(quint16(width));
    put.u16(quint16(height));
    put.u8(quint8(0x80 | 0x70 | (bits - 1)));
    put.u8(0);
    put.u8(0);
    out.append(reinterpret_cast<const char*>(palette), qsizetype(colours) * 3);
    put.zeros(qsizetype((1u << bits) - colours) * 3);
    out.append("\x21\xf9\x04\x00\x00\x00\x00\x00", 8);
    put.u8(0x2c);
    put.u16(0);
    put.u16(0);
    put.u16(quint16(width));
    put.u16(quint16(height));
    put.u8(0);
    LzwEncoder(out, std::max(2, bits)).encode(indexes, width * height);
    put.u8(0x3b);
    return out;
}

// Three quarters of a GIF's time went to choosing and dithering to 256 colours (perf, on Debian's
// wallpapers). ImageMagick's own palette chosen from a sample and then mapped was slower than its
// plain quantiser: the cost is the dithering, not the choosing. libimagequant, choosing from a
// megapixel sample and dithering the whole with Floyd and Steinberg's error diffusion, on one thread,
// for two wallpapers of 20 and 13 megapixels (ImageMagick: 3.4 and 2.4 s, 33.4 and 31.0 dB; vips,
// which uses libimagequant at a higher effort: 36.3 and 33.2 dB, 13.21 and 8.49 MB):
//   speed 8: 2.45 and 1.80 s, 35.7 and 32.9 dB, 13.48 and 8.57 MB (it drops the lowest bit of input);
//   speed 6: 2.51 and 1.97 s, 36.3 and 33.7 dB, 13.39 and 8.43 MB;
//   speed 5 adds a dither map, and a third to the time.
std::optional<QByteArray> GifWriter::gif(const quint8* rgba, size_t width, size_t height,
                                         const std::function<void(double fraction)>& dithered)
{
    if (width == 0 || height == 0 || width > 0xffff || height > 0xffff)
        return std::nullopt;
    liq_attr* attributes = liq_attr_create();
    if (!attributes)
        throw std::bad_alloc();
    const auto freeAttributes = qScopeGuard([&] { liq_attr_destroy(attributes); });
    liq_set_max_colors(attributes, 256);
    liq_set_speed(attributes, 6);
    liq_image* input = liq_image_create_rgba(attributes, rgba, int(width), int(height), 0);
    if (!input)
        return std::nullopt;
    const auto freeInput = qScopeGuard([&] { liq_image_destroy(input); });
    // Every step-th pixel of every step-th row: about a megapixel.
    const size_t step = std::max<size_t>(1, size_t(std::sqrt(double(width * height) / double(1 << 20))));
    const size_t sampleWidth = (width + step - 1) / step;
    const size_t sampleHeight = (height + step - 1) / step;
    std::vector<quint8> sampled;
    sampled.reserve(sampleWidth * sampleHeight * 4);
    for (size_t y = 0; y < height; y += step) {
        for (size_t x = 0; x < width; x += step)
            sampled.insert(sampled.end(), rgba + (y * width + x) * 4, rgba + (y * width + x) * 4 + 4);
    }
    liq_image* sample = liq_image_create_rgba(attributes, sampled.data(), int(sampleWidth), int(sampleHeight), 0);
    if (!sample)
        return std::nullopt;
    const auto freeSample = qScopeGuard([&] { liq_image_destroy(sample); });
    liq_result* result = nullptr;
    if (liq_image_quantize(step > 1 ? sample : input, attributes, &result) != LIQ_OK)
        return std::nullopt;
    const auto freeResult = qScopeGuard([&] { liq_result_destroy(result); });
    liq_set_dithering_level(result, 1.0f);
    const auto told = [](float percent, void* tell) {
        (*static_cast<const std::function<void(double)>*>(tell))(double(percent) / 100);
        return 1;
    };
    if (dithered)
        liq_result_set_progress_callback(result, told, const_cast<std::function<void(double)>*>(&dithered));
    std::vector<quint8> indexes(width * height);
    if (liq_write_remapped_image(result, input, indexes.data(), indexes.size()) != LIQ_OK)
        return std::nullopt;
    const liq_palette* palette = liq_get_palette(result);
    std::vector<quint8> rgb;
    for (unsigned i = 0; i < palette->count; ++i)
        rgb.insert(rgb.end(), {palette->entries[i].r, palette->entries[i].g, palette->entries[i].b});
    return gifOfIndexes(indexes.data(), width, height, rgb.data(), palette->count);
}

bool GifWriter::write(RowSource& source, Output& file)
{
    const size_t stride = source.width() * 4;
    std::vector<quint8> rgba(stride * source.height());
    if (!source.read(RowSource::Samples::Rgba, [&](size_t row) { return rgba.data() + row * stride; }))
        return false;
    source.steps().stage(900);
    const std::optional<QByteArray> made =
        gif(rgba.data(), source.width(), source.height(), [&](double fraction) { source.steps().at(fraction); });
    if (made)
        file.append(made->constData(), size_t(made->size()));
    return made.has_value();
}

// Pictures of the general route, decoded and settled by ImageMagick, written by its coder with the
// settings below.

using namespace MagickImages;

Magick::Blob GifWriter::ofFrames(std::list<Magick::Image>& frames)
{
    Magick::Blob blob;
    if (frames.size() == 1 && !hasTransparency(frames.front())) {
        Magick::Image& image = frames.front();
        const std::vector<quint8> rgba = rgbaOf(image);
        if (const std::optional<QByteArray> gif = GifWriter::gif(rgba.data(), image.columns(), image.rows())) {
            return blobOf(*gif);
        }
    }
    // Animations and transparency: ImageMagick keeps each frame's transparent colour and offsets.
    // It gives a loop extension's count to the frames after it and writes the first frame's: one
    // that stands after the first frame, as some encoders put it, was lost.
    if (const auto looped = std::find_if(frames.begin(), frames.end(),
                                         [](const Magick::Image& frame) { return frame.animationIterations() != 1; });
        looped != frames.end())
        frames.front().animationIterations(looped->animationIterations());
    for (Magick::Image& frame : frames) {
        frame.quantizeColors(256);
        frame.quantizeDither(true);
        frame.magick("GIF");
    }
    Magick::writeImages(frames.begin(), frames.end(), &blob, true);
    return blob;
}
