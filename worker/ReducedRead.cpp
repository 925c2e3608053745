// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/ReducedRead.h"

#include "worker/Failure.h"
#include "worker/MagickImages.h"
#include "worker/WebpFiles.h"

#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>

#include <QScopeGuard>
#include <QtEndian>

#include <csetjmp>
#include <optional>
#include <vector>

namespace {
using Protocol::Status;

using namespace MagickImages;
// A picture read at a fraction of its size, as 16-bit RGBA.
struct Reduced {
    size_t columns = 0;
    std::vector<quint16> rgba;
    // Whether any pixel is less than opaque.
    bool translucent = false;

    size_t rows() const { return rgba.size() / 4 / columns; }
};

// A PNG or TIFF wanted small (an icon, a preview) is decoded a row at a time and each block of
// factor x factor pixels averaged as its rows arrive, so that the whole picture is never held. An
// 80-megapixel PNG into an icon: read whole by ImageMagick, 2.3 s and 770 MiB (its own streaming read
// still sets up the whole picture's pixels); this way 2.0 s and under 140 MiB, 66 of them the file.
// The same picture as an LZW TIFF: 1.4 s and 794 MiB, now 1.2 s and 143 MiB. Colour is averaged by
// how opaque each pixel is, so that transparent pixels lend a block none of theirs.
class BlockAverage {
public:
    BlockAverage(size_t width, size_t height, size_t factor)
        : m_width(width)
        , m_height(height)
        , m_factor(factor)
        , m_columns((width + factor - 1) / factor)
        , m_sums(m_columns * 5)
    {
        m_rgba.reserve(m_columns * ((height + factor - 1) / factor) * 4);
    }

    Reduced take() { return {m_columns, std::move(m_rgba), m_translucent}; }

    // A row of 16-bit RGBA samples.
    void add(const quint16* row)
    {
        for (size_t x = 0; x < m_width; ++x, row += 4) {
            const quint64 alpha = row[3];
            quint64* sum = m_sums.data() + x / m_factor * 5;
            sum[0] += row[0] * alpha;
            sum[1] += row[1] * alpha;
            sum[2] += row[2] * alpha;
            sum[3] += alpha;
            sum[4] += 1;
        }
        ++m_row;
        if (m_row % m_factor == 0 || m_row == m_height)
            finishRow();
    }

private:
    void finishRow()
    {
        for (size_t column = 0; column < m_columns; ++column) {
            const quint64* sum = m_sums.data() + column * 5;
            const quint64 alpha = sum[3];
            for (int channel = 0; channel < 3; ++channel)
                m_rgba.push_back(alpha ? quint16((sum[channel] + alpha / 2) / alpha) : 0);
            m_rgba.push_back(quint16((alpha + sum[4] / 2) / sum[4]));
            m_translucent = m_translucent || m_rgba.back() != 0xffff;
        }
        std::fill(m_sums.begin(), m_sums.end(), 0);
    }

    size_t m_width;
    size_t m_height;
    size_t m_factor;
    size_t m_columns;
    std::vector<quint64> m_sums; // red, green and blue by alpha, alpha, pixels: per block of the row
    std::vector<quint16> m_rgba;
    size_t m_row = 0;
    bool m_translucent = false;
};

struct PngReading {
    const QByteArray* bytes = nullptr;
    size_t at = 0;
    std::jmp_buf failed;
    char fault[128] = {};
};

void pngFailed(png_structp png, png_const_charp message)
{
    auto* reading = static_cast<PngReading*>(png_get_error_ptr(png));
    std::snprintf(reading->fault, sizeof reading->fault, "libpng: %s", message ? message : "error");
    std::longjmp(reading->failed, 1);
}

void pngWarned(png_structp, png_const_charp) {}

void pngRead(png_structp png, png_bytep data, size_t length)
{
    auto* reading = static_cast<PngReading*>(png_get_io_ptr(png));
    if (length > size_t(reading->bytes->size()) - reading->at)
        png_error(png, "ends early");
    std::memcpy(data, reading->bytes->constData() + reading->at, length);
    reading->at += length;
}

// Feeds blocks every row of a PNG that is not interlaced, as 16-bit RGBA; false on any fault of the
// file, which the whole read then reports. Only plain data lives here, for the jump back from
// libpng's errors.
bool averageRows(const QByteArray& bytes, size_t factor, std::optional<BlockAverage>& blocks, std::vector<quint16>& row,
                 std::string* fault)
{
    PngReading reading;
    reading.bytes = &bytes;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reading, pngFailed, pngWarned);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(reading.failed)) {
        png_destroy_read_struct(&png, &info, nullptr);
        *fault = reading.fault;
        return false;
    }
    png_set_read_fn(png, &reading, pngRead);
    png_set_user_limits(png, 65535, 65535);
    png_read_info(png, info);
    if (png_get_interlace_type(png, info) != PNG_INTERLACE_NONE) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_expand(png);
    png_set_expand_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xffff, PNG_FILLER_AFTER);
    if constexpr (QSysInfo::ByteOrder == QSysInfo::LittleEndian)
        png_set_swap(png);
    png_read_update_info(png, info);
    const size_t width = png_get_image_width(png, info);
    const size_t height = png_get_image_height(png, info);
    if (png_get_rowbytes(png, info) != width * 8) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    blocks.emplace(width, height, factor);
    row.resize(width * 4);
    for (size_t y = 0; y < height; ++y) {
        png_read_row(png, reinterpret_cast<png_bytep>(row.data()), nullptr);
        blocks->add(row.data());
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// A TIFF's first page, read a row at a time by libtiff from memory, when it is of the kinds read so:
// strips of 8- or 16-bit RGB or grey samples, with or without an alpha that is not premultiplied, and
// stored upright. Others (tiles, palettes, CMYK, YCbCr, floats, turned pages) are read whole.
class TiffRows {
public:
    explicit TiffRows(const QByteArray& bytes)
        : m_bytes(bytes)
    {
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        if (!options)
            return;
        TIFFOpenOptionsSetErrorHandlerExtR(options, quiet, nullptr);
        TIFFOpenOptionsSetWarningHandlerExtR(options, quiet, nullptr);
        m_tiff = TIFFClientOpenExt("picture", "rm", this, read, write, seek, close, size, map, unmap, options);
        TIFFOpenOptionsFree(options);
        if (!m_tiff)
            return;
        quint16 bits = 0, samples = 0, photometric = 0, planar = 0, format = SAMPLEFORMAT_UINT;
        quint16 orientation = ORIENTATION_TOPLEFT, extras = 0;
        quint16* extraKinds = nullptr;
        quint32 width = 0, height = 0;
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_ORIENTATION, &orientation);
        TIFFGetFieldDefaulted(m_tiff, TIFFTAG_EXTRASAMPLES, &extras, &extraKinds);
        const bool known = TIFFGetField(m_tiff, TIFFTAG_PHOTOMETRIC, &photometric) &&
                           TIFFGetField(m_tiff, TIFFTAG_IMAGEWIDTH, &width) &&
                           TIFFGetField(m_tiff, TIFFTAG_IMAGELENGTH, &height);
        const quint16 colours = photometric == PHOTOMETRIC_RGB ? 3 : 1;
        const bool alpha = extras == 1 && extraKinds && extraKinds[0] == EXTRASAMPLE_UNASSALPHA;
        if (!known || TIFFIsTiled(m_tiff) || (bits != 8 && bits != 16) || planar != PLANARCONFIG_CONTIG ||
            format != SAMPLEFORMAT_UINT || orientation != ORIENTATION_TOPLEFT ||
            (photometric != PHOTOMETRIC_RGB && photometric != PHOTOMETRIC_MINISBLACK) ||
            samples != colours + (alpha ? 1 : 0) || extras > (alpha ? 1 : 0) || width == 0 || height == 0)
            return;
        m_width = width;
        m_height = height;
        m_bits = bits;
        m_colours = colours;
        m_samples = samples;
    }
    ~TiffRows()
    {
        if (m_tiff)
            TIFFClose(m_tiff);
    }
    TiffRows(const TiffRows&) = delete;
    TiffRows& operator=(const TiffRows&) = delete;

    // Zero when the page is not of a kind read a row at a time.
    size_t width() const { return m_width; }
    size_t height() const { return m_height; }

    // Every row into blocks as 16-bit RGBA; false on a fault of the file.
    bool averageInto(BlockAverage& blocks)
    {
        std::vector<quint8> line(size_t(TIFFScanlineSize64(m_tiff)));
        std::vector<quint16> rgba(m_width * 4);
        if (line.size() < m_width * m_samples * (m_bits / 8))
            return false;
        for (size_t row = 0; row < m_height; ++row) {
            if (TIFFReadScanline(m_tiff, line.data(), quint32(row)) < 0)
                return false;
            for (size_t x = 0; x < m_width; ++x) {
                quint16* out = rgba.data() + x * 4;
                for (size_t channel = 0; channel < 4; ++channel) {
                    // Grey fills red, green and blue; a missing alpha is opaque.
                    const size_t sample = channel < 3 ? (m_colours == 3 ? channel : 0) : m_colours;
                    const size_t at = x * m_samples + sample;
                    out[channel] = sample >= m_samples ? quint16(0xffff)
                                   : m_bits == 16      ? reinterpret_cast<const quint16*>(line.data())[at]
                                                       : quint16(line[at] * 257);
                }
            }
            blocks.add(rgba.data());
        }
        return true;
    }

private:
    // Faults surface as failed reads, and the whole read then says what they are.
    static int quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }
    static TiffRows* self(thandle_t handle) { return static_cast<TiffRows*>(handle); }
    static tmsize_t read(thandle_t handle, void* data, tmsize_t size)
    {
        TiffRows* rows = self(handle);
        const toff_t left = toff_t(rows->m_bytes.size()) - std::min(rows->m_at, toff_t(rows->m_bytes.size()));
        const toff_t count = std::min(toff_t(size), left);
        if (count == 0)
            return 0;
        std::memcpy(data, rows->m_bytes.constData() + rows->m_at, count);
        rows->m_at += count;
        return tmsize_t(count);
    }
    static tmsize_t write(thandle_t, void*, tmsize_t) { return 0; }
    static toff_t seek(thandle_t handle, toff_t offset, int whence)
    {
        TiffRows* rows = self(handle);
        const toff_t base = whence == SEEK_CUR ? rows->m_at : whence == SEEK_END ? toff_t(rows->m_bytes.size()) : 0;
        rows->m_at = base + offset;
        return rows->m_at;
    }
    static int close(thandle_t) { return 0; }
    static toff_t size(thandle_t handle) { return toff_t(self(handle)->m_bytes.size()); }
    static int map(thandle_t handle, void** base, toff_t* size)
    {
        *base = const_cast<char*>(self(handle)->m_bytes.constData());
        *size = toff_t(self(handle)->m_bytes.size());
        return 1;
    }
    static void unmap(thandle_t, void*, toff_t) {}

    const QByteArray& m_bytes;
    toff_t m_at = 0;
    TIFF* m_tiff = nullptr;
    size_t m_width = 0;
    size_t m_height = 0;
    size_t m_bits = 0;
    size_t m_colours = 0;
    size_t m_samples = 0;
};

// A still WebP decoded straight to the reduced size by libwebp's own scaler, which averages areas as
// the blocks do; nothing when libwebp cannot (an animation, a damaged file), and the whole read says
// why. An 80-megapixel photograph into an icon, read whole: lossy 1.60 s and 957 MiB, lossless 3.84 s
// and 1108 MiB; this way 0.36 s and 18 MiB, and 1.65 s and 375 MiB (libwebp's lossless decoder keeps
// every pixel, as its matches may reach back anywhere in the picture).
std::optional<Reduced> webpScaled(const QByteArray& bytes, size_t factor)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return std::nullopt;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    const size_t size = size_t(bytes.size());
    if (WebPGetFeatures(data, size, &config.input) != VP8_STATUS_OK || config.input.has_animation)
        return std::nullopt;
    Reduced reduced;
    reduced.columns = (size_t(config.input.width) + factor - 1) / factor;
    const size_t rows = (size_t(config.input.height) + factor - 1) / factor;
    config.options.use_scaling = 1;
    config.options.scaled_width = int(reduced.columns);
    config.options.scaled_height = int(rows);
    config.output.colorspace = MODE_RGBA;
    const auto release = qScopeGuard([&] { WebPFreeDecBuffer(&config.output); });
    if (WebPDecode(data, size, &config) != VP8_STATUS_OK)
        return std::nullopt;
    const WebPRGBABuffer& decoded = config.output.u.RGBA;
    const size_t stride = reduced.columns * 4;
    reduced.rgba.resize(stride * rows);
    for (size_t y = 0; y < rows; ++y) {
        const uint8_t* line = decoded.rgba + y * size_t(decoded.stride);
        quint16* out = reduced.rgba.data() + y * stride;
        for (size_t i = 0; i < stride; ++i)
            out[i] = quint16(line[i] * 257);
        for (size_t i = 3; i < stride; i += 4)
            reduced.translucent = reduced.translucent || line[i] != 255;
    }
    return reduced;
}

// The picture's size when it can be read reduced (an empty size otherwise): a PNG that is not
// interlaced (an interlaced one comes in passes over the whole picture) or a TIFF of the kinds
// TiffRows reads, a row at a time; a still WebP, which libwebp scales as it decodes.
QSize reducibleSize(const Source& source)
{
    if (source.coder == "PNG" && source.bytes.size() >= 33) {
        const auto* header = reinterpret_cast<const uchar*>(source.bytes.constData());
        if (header[28] != 0)
            return {};
        return QSize(int(std::min<quint32>(qFromBigEndian<quint32>(header + 16), INT_MAX)),
                     int(std::min<quint32>(qFromBigEndian<quint32>(header + 20), INT_MAX)));
    }
    if (source.coder == "TIFF") {
        const TiffRows rows(source.bytes);
        return QSize(int(std::min<size_t>(rows.width(), INT_MAX)), int(std::min<size_t>(rows.height(), INT_MAX)));
    }
    if (source.coder == "WEBP") {
        const std::optional<WebPBitstreamFeatures> features = webpFeatures(source.bytes);
        if (!features || features->has_animation)
            return {};
        return QSize(features->width, features->height);
    }
    return {};
}
} // namespace

// How many times over the picture's sides hold the hint; 1 when it is not read reduced.
size_t blockFactor(const Source& source, const QSize& hint)
{
    if (!hint.isValid() || hint.isEmpty())
        return 1;
    const QSize size = reducibleSize(source);
    if (size.isEmpty())
        return 1;
    return std::max(1, std::min(size.width() / hint.width(), size.height() / hint.height()));
}

// The picture reduced by factor, with the colour, profiles and orientation ImageMagick reads from its
// header. A picture that cannot be read so is damaged (blockFactor chose only kinds these readers
// serve), and is not read whole instead: the job was admitted for the reduced read.
Magick::Image readReduced(const Source& source, size_t factor)
{
    std::optional<Reduced> reduced;
    std::string fault;
    if (source.coder == "WEBP") {
        reduced = webpScaled(source.bytes, factor);
    } else if (source.coder == "TIFF") {
        TiffRows rows(source.bytes);
        if (rows.width() > 0) {
            BlockAverage blocks(rows.width(), rows.height(), factor);
            if (rows.averageInto(blocks))
                reduced = blocks.take();
        }
    } else {
        std::optional<BlockAverage> blocks;
        std::vector<quint16> row;
        if (averageRows(source.bytes, factor, blocks, row, &fault))
            reduced = blocks->take();
    }
    if (!reduced)
        throw Failure{Status::Corrupt, fault.empty() ? "rows could not be read" : fault};
    Magick::Image header;
    header.quiet(true);
    if (source.coder == "WEBP") {
        // Otherwise as ImageMagick reads a WebP: sRGB at 8 bits, no resolution or orientation.
        const std::optional<WebpHeader> container = webpHeader(source.bytes);
        if (!container)
            throw Failure{Status::Corrupt, "not a WebP container"};
        header = Magick::Image(Magick::Geometry(1, 1), Magick::Color(0, 0, 0));
        header.depth(8);
        header.matte(container->alpha);
        for (const auto& [name, bytes] : container->profiles)
            header.profile(name, blobOf(bytes));
    } else {
        try {
            header.ping(blobOf(source.bytes));
        } catch (const Magick::Exception& error) {
            throw failureOf(error);
        }
    }
    Magick::Image image(reduced->columns, reduced->rows(), "RGBA", MagickCore::ShortPixel, reduced->rgba.data());
    image.modifyImage();
    MagickCore::Image* core = image.image();
    const MagickCore::Image* original = header.constImage();
    MagickCore::CloneImageProfiles(core, original);
    core->colorspace = original->colorspace;
    core->gamma = original->gamma;
    core->chromaticity = original->chromaticity;
    core->rendering_intent = original->rendering_intent;
    core->orientation = original->orientation;
    core->units = original->units;
    core->x_resolution = original->x_resolution / double(factor);
    core->y_resolution = original->y_resolution / double(factor);
    // A picture keeps the alpha channel its header declares, as when read whole; ImageMagick's reading
    // of a TIFF's header does not declare one, so there the rows tell.
    image.matte(original->matte != MagickCore::MagickFalse || reduced->translucent);
    image.depth(std::min<size_t>(original->depth, 16));
    image.quiet(true);
    return image;
}
