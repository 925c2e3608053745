// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/PictureJobs.h"

#include "core/Naming.h"
#include "ipc/LongPath.h"
#include "worker/FinalName.h"
#include "worker/IccProfiles.h"
#include "worker/Metadata.h"
#include "worker/PhotoRoute.h"
#include "worker/PictureHeaders.h"
#include "worker/TgaFiles.h"
#include "worker/writers/Gif.h"
#include "worker/writers/Output.h"
#include "worker/writers/Png.h"
#include "worker/writers/RowFilter.h"
#include "worker/writers/Tiff.h"

#include <Magick++.h>
#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSysInfo>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csetjmp>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <list>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <utility>
#include <vector>
#include <zlib.h>

namespace {
using Protocol::Status;

using namespace OutputFormat;

constexpr qint64 maxSourceBytes = 1024LL * 1024 * 1024;
constexpr size_t largestIcon = 256;
constexpr std::array<size_t, 4> iconSizes{16, 32, 48, largestIcon};
static_assert(largestIcon == 256, "the ICO row of OutputFormat's table");

// The least the picture is read at for an output that stores it small (an icon): the JPEG decoder
// can stop at an eighth of a photo, and PNGs, TIFFs and WebPs are read reduced.
QSize hintFor(std::optional<Index> format)
{
    const int side = format ? OutputFormat::traits(*format).largestPicture : 0;
    return side > 0 ? QSize(side, side) : QSize();
}

struct Failure {
    Status status;
    std::string detail;
};

struct Source {
    QByteArray bytes;
    QByteArray coder;
};

std::string systemWords(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

bool isNoSpace(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

Source readSource(const QString& path)
{
    if (path.isEmpty())
        throw Failure{Status::Missing, {}};
    // Non-blocking, so that a pipe under a picture's name cannot hold the worker; it is refused below.
    const LongPath::Fd file = LongPath::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!file.isValid()) {
        const int error = errno;
        throw Failure{error == ENOENT || error == ENOTDIR ? Status::Missing : Status::Unreadable,
                      systemWords("open", error)};
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        throw Failure{Status::Unreadable, systemWords("fstat", errno)};
    if (!S_ISREG(info.st_mode))
        throw Failure{Status::Unreadable, "not a file"};
    if (info.st_size > maxSourceBytes)
        throw Failure{Status::TooLarge, "file too large"};
    Source source;
    source.bytes.resize(qsizetype(info.st_size));
    qsizetype got = 0;
    while (got < source.bytes.size()) {
        const ssize_t n = ::read(file.get(), source.bytes.data() + got, size_t(source.bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure{Status::Unreadable, systemWords("read", errno)};
        if (n == 0)
            break;
        got += n;
    }
    // A file that shrank while it was read is judged by what it still holds.
    source.bytes.truncate(got);
    source.coder = PictureJobs::sniffCoder(source.bytes, path);
    if (source.coder.isEmpty())
        throw Failure{Status::Unsupported, {}};
    if (source.coder == "TGA")
        source.bytes = TgaFiles::forImageMagick(source.bytes);
    return source;
}

// Warnings are not failures: a JPEG with a malformed XMP packet still has good pixels. A picture that
// ends early is, or its missing part would be written out as grey.
bool isTruncation(const Magick::Exception& warning)
{
    const char* what = warning.what();
    return std::strstr(what, "Premature end") || std::strstr(what, "premature end") ||
           std::strstr(what, "unexpected end") || std::strstr(what, "Unexpected end") ||
           std::strstr(what, "insufficient image data") || std::strstr(what, "Corrupt image");
}

bool mentions(const char* what, std::initializer_list<const char*> words)
{
    return std::any_of(words.begin(), words.end(), [&](const char* word) { return std::strstr(what, word); });
}

// The coders say "too large" in many ways, some of them as warnings with no picture, and some only
// as the failure it caused further on (a PNG writer that ran out of room says "No IDATs written").
Failure failureOf(const Magick::Exception& error)
{
    const char* what = error.what();
    if (mentions(what, {"No space left on device", "Disk quota exceeded"}))
        return {Status::DiskFull, what};
    const bool tooLarge =
        dynamic_cast<const Magick::ErrorResourceLimit*>(&error) ||
        dynamic_cast<const Magick::WarningResourceLimit*>(&error) ||
        mentions(what, {"exceeds limit", "ResourceLimit", "MemoryAllocationFailed", "memory allocation failed",
                        "cache resources exhausted", "UnableToExtendCache", "unable to extend cache",
                        "No IDATs written", "PixelCacheAllocationFailed", "pixel cache allocation failed"});
    return {tooLarge ? Status::TooLarge : Status::Corrupt, what};
}

// Signs of life while a job runs: a second thread reports every second, with the picture's pixels
// once they are known and how much of it is done where the job counts that (the photo path's rows).
// ImageMagick's own progress monitor is no use for this: its dithering calls it for every pixel,
// formatting a message each time, which halved the speed of GIF conversions.
class SignsOfLife {
public:
    explicit SignsOfLife(const PictureJobs::Hooks& hooks)
        : m_hooks(hooks)
    {
        if (m_hooks.progress)
            m_thread = std::thread([this] { beat(); });
    }
    ~SignsOfLife()
    {
        if (!m_thread.joinable())
            return;
        {
            const std::lock_guard lock(m_mutex);
            m_over = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    SignsOfLife(const SignsOfLife&) = delete;
    SignsOfLife& operator=(const SignsOfLife&) = delete;

    void pixelsKnown(qint64 pixels)
    {
        m_pixels = pixels;
        if (m_hooks.progress)
            m_hooks.progress(pixels, m_done);
    }
    // Told at the next beat, or at once when the hooks ask for every step.
    void doneSoFar(qint16 done)
    {
        done = std::clamp<qint16>(done, 0, Protocol::perMille);
        if (m_done.exchange(done) != done && m_hooks.everyStep && m_hooks.progress)
            m_hooks.progress(m_pixels, done);
    }

private:
    void beat()
    {
        std::unique_lock lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_over; }))
            m_hooks.progress(m_pixels, m_done);
    }

    const PictureJobs::Hooks& m_hooks;
    std::atomic<qint64> m_pixels = 0;
    std::atomic<qint16> m_done = 0;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_over = false;
    std::thread m_thread;
};

qint64 pixelsOf(const std::list<Magick::Image>& frames)
{
    qint64 pixels = 0;
    for (const Magick::Image& frame : frames)
        pixels += qint64(frame.columns()) * qint64(frame.rows());
    return pixels;
}

Magick::Blob blobOf(const QByteArray& bytes)
{
    return Magick::Blob(bytes.constData(), size_t(bytes.size()));
}

// Reads the first frame; a hint lets the JPEG decoder scale down while it decodes.
Magick::Image readFirstFrame(const Source& source, const QSize& hint = {})
{
    Magick::Image image;
    image.subImage(0);
    image.subRange(1);
    const std::string coder = source.coder.toStdString();
    try {
        if (hint.isValid() && coder == "JPEG") {
            // The decoder enlarges to the hint as readily as it shrinks, so only a larger picture gets it.
            Magick::Image header;
            header.quiet(true);
            header.ping(blobOf(source.bytes));
            if (header.columns() >= size_t(hint.width()) && header.rows() >= size_t(hint.height()))
                image.defineValue("jpeg", "size",
                                  QStringLiteral("%1x%2").arg(hint.width()).arg(hint.height()).toStdString());
        }
        image.read(blobOf(source.bytes), Magick::Geometry(), coder);
    } catch (const Magick::Warning& warning) {
        if (isTruncation(warning) || !image.isValid())
            throw failureOf(warning);
    }
    if (!image.isValid() || image.columns() == 0 || image.rows() == 0)
        throw Failure{Status::Corrupt, "no picture"};
    // A warning the decoder stored (an XMP packet it could not parse) is not thrown again when the
    // picture is written.
    image.quiet(true);
    return image;
}

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

std::list<Magick::Image> readAllFrames(const Source& source)
{
    std::list<Magick::Image> frames;
    Magick::ReadOptions options;
    std::strncpy(options.imageInfo()->magick, source.coder.constData(), MaxTextExtent - 1);
    try {
        Magick::readImages(&frames, blobOf(source.bytes), options);
    } catch (const Magick::Warning& warning) {
        if (isTruncation(warning) || frames.empty())
            throw failureOf(warning);
    }
    if (frames.empty())
        throw Failure{Status::Corrupt, "no picture"};
    // ImageMagick 6 leaves a decoder's warning (a JPEG that ends early, its last rows grey) in the frame
    // it read, not in what readImages throws: a damaged picture would be converted as if it were whole.
    for (Magick::Image& frame : frames) {
        try {
            Magick::throwException(&frame.image()->exception, false);
        } catch (const Magick::Exception& stored) {
            // An error too (pixels that point outside a TGA's colour map, read as its first colour):
            // reading the first frame alone throws it, so every frame is refused alike.
            if (isTruncation(stored) || dynamic_cast<const Magick::Error*>(&stored))
                throw failureOf(stored);
        }
        frame.quiet(true);
    }
    return frames;
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

QByteArray profileOf(const Magick::Image& image, const char* name);

// The frames a conversion needs: every one, or the first, where a hint lets the JPEG decoder scale
// down. An icon holds one picture at several sizes: its largest entry is the picture.
std::list<Magick::Image> readPicture(const Source& source, bool everyFrame, QSize hint = {})
{
    if (source.coder == "ICO") {
        const std::list<Magick::Image> entries = readAllFrames(source);
        const auto area = [](const Magick::Image& entry) { return qint64(entry.columns()) * qint64(entry.rows()); };
        return {*std::max_element(entries.begin(), entries.end(), [&](const Magick::Image& a, const Magick::Image& b) {
            return area(a) < area(b) || (area(a) == area(b) && a.depth() < b.depth());
        })};
    }
    std::list<Magick::Image> frames;
    if (isWebpAnimation(source))
        frames = readWebpAnimation(source, everyFrame);
    else if (everyFrame)
        frames = readAllFrames(source);
    else if (const size_t factor = blockFactor(source, hint); factor > 1)
        frames.push_back(readReduced(source, factor));
    else
        frames.push_back(readFirstFrame(source, hint));
    // The EXIF block as a JPEG holds it, after "Exif\0\0": ImageMagick's JPEG encoder writes the
    // profile as it stands, and a WebP's, stored without, was then no EXIF to any reader (nor is a
    // profile that is no EXIF block, which goes). Its decoders leave a PNG's eXIf chunk unread and make
    // none of a TIFF's own EXIF directories.
    Magick::Image& first = frames.front();
    QByteArray exif = profileOf(first, "exif");
    if (exif.isEmpty() && source.coder == "PNG")
        exif = Metadata::pngExif(source.bytes);
    else if (exif.isEmpty() && source.coder == "TIFF")
        exif = Metadata::exifOfTiff(source.bytes);
    if (!exif.isEmpty())
        first.profile("exif", blobOf(Metadata::asJpegSegment(exif)));
    return frames;
}

bool hasTransparency(const Magick::Image& image)
{
    return image.matte() && !image.isOpaque();
}

// The picture as 8-bit RGBA rows. A picture without an alpha channel is read as RGB and made opaque
// here: ImageMagick exports the alpha it finds in the pixel cache whether or not the picture has one,
// and decoders of pictures without alpha (a palette BMP) never write it, so it held whatever the
// previous job left in that memory (a palette BMP into GIF came out speckled after a large JPEG).
std::vector<quint8> rgbaOf(Magick::Image& image)
{
    const size_t width = image.columns();
    const size_t height = image.rows();
    std::vector<quint8> rgba(width * height * 4);
    if (image.matte()) {
        image.write(0, 0, width, height, "RGBA", MagickCore::CharPixel, rgba.data());
        return rgba;
    }
    // RGB into the buffer's last three quarters, then spread forward: a pixel's place never reaches
    // the samples of one not yet spread.
    image.write(0, 0, width, height, "RGB", MagickCore::CharPixel, rgba.data() + width * height);
    const quint8* rgb = rgba.data() + width * height;
    for (size_t i = 0; i < width * height; ++i, rgb += 3) {
        rgba[i * 4] = rgb[0];
        rgba[i * 4 + 1] = rgb[1];
        rgba[i * 4 + 2] = rgb[2];
        rgba[i * 4 + 3] = 255;
    }
    return rgba;
}

QByteArray bytesOf(const Magick::Blob& blob)
{
    return QByteArray(static_cast<const char*>(blob.data()), qsizetype(blob.length()));
}

QByteArray profileOf(const Magick::Image& image, const char* name)
{
    return bytesOf(image.profile(name));
}

void dropProfile(Magick::Image& image, const char* name)
{
    image.profile(name, Magick::Blob());
}

// The decoders copy EXIF entries and a TIFF's tags into text properties ("exif:Orientation",
// "tiff:rows-per-strip" and the like) named with prefix, which the PNG encoder would write out as text
// chunks, stale once the picture is turned. The EXIF block itself is the record and stays.
void dropProperties(Magick::Image& image, const char* prefix)
{
    image.modifyImage();
    MagickCore::Image* core = image.image();
    std::vector<std::string> names;
    MagickCore::ResetImagePropertyIterator(core);
    while (const char* name = MagickCore::GetNextImageProperty(core)) {
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0)
            names.emplace_back(name);
    }
    for (const std::string& name : names)
        MagickCore::DeleteImageProperty(core, name.c_str());
}

// Turns the picture upright by the orientation it records. A JPEG's, a PNG's and a WebP's is in its
// EXIF block, read as the photograph path reads it (ImageMagick takes a RATIONAL, a BYTE or the first
// of two values too, which exiftool and PIL do not, and only for a JPEG); a TIFF's is its own tag, and
// a HEIC comes upright from libheif, as ImageMagick says. The metadata then says upright too, and the
// EXIF thumbnail, still as the picture was stored, goes.
void turnUpright(Magick::Image& image, const QByteArray& coder)
{
    // ImageMagick's TGA reader puts the rows in their place itself and then records the file's row
    // order as an orientation: turning by it again showed every bottom-up TGA upside down.
    if (coder == "TGA")
        image.orientation(MagickCore::TopLeftOrientation);
    const QByteArray exif = profileOf(image, "exif");
    const bool fromExif = !exif.isEmpty() && (coder == "JPEG" || coder == "PNG" || coder == "WEBP");
    const int orientation = fromExif ? Metadata::orientationOf(exif) : int(image.orientation());
    if (orientation <= MagickCore::TopLeftOrientation || orientation > MagickCore::LeftBottomOrientation) {
        // Encoders write the picture's orientation into the EXIF block, unknown as 0, which no reader
        // takes.
        if (!exif.isEmpty()) {
            image.orientation(MagickCore::TopLeftOrientation);
            image.profile("exif", blobOf(Metadata::upright(exif, false)));
        }
        return;
    }
    image.orientation(MagickCore::OrientationType(orientation));
    image.autoOrient();
    if (!exif.isEmpty())
        image.profile("exif", blobOf(Metadata::upright(exif)));
    if (const QByteArray xmp = profileOf(image, "xmp"); !xmp.isEmpty())
        image.profile("xmp", blobOf(Metadata::uprightXmp(xmp)));
}

bool isGrey(MagickCore::ColorspaceType space)
{
    return space == MagickCore::GRAYColorspace || space == MagickCore::LinearGRAYColorspace;
}

// Colour as the output can show it. A profile that does not describe the pixels (an RGB profile on a
// grey picture) is dropped: it would only make readers fail. CMYK always becomes sRGB, through the
// picture's profile or a standard press profile, never by formula alone. A picture whose output keeps
// its profile keeps its own pixels, which is lossless and right in every colour-managed viewer; the
// others get pixels in sRGB.
void settleColour(Magick::Image& image, bool keepsProfile)
{
    const MagickCore::ColorspaceType space = image.colorSpace();
    const bool cmyk = space == MagickCore::CMYKColorspace;
    QByteArray icc = profileOf(image, "icc");
    if (!icc.isEmpty()) {
        const IccProfiles::Space described = IccProfiles::spaceOf(icc);
        const bool fits = cmyk            ? described == IccProfiles::Space::Cmyk
                          : isGrey(space) ? described == IccProfiles::Space::Grey
                                          : described == IccProfiles::Space::Rgb;
        if (!fits) {
            dropProfile(image, "icc");
            icc.clear();
        }
    }
    if (cmyk) {
        if (icc.isEmpty() && !IccProfiles::defaultCmyk().isEmpty()) {
            image.profile("icc", blobOf(IccProfiles::defaultCmyk()));
            icc = IccProfiles::defaultCmyk();
        }
        // With a profile, lcms converts the pixels and the picture carries sRGB's profile after.
        if (!icc.isEmpty())
            image.profile("icc", blobOf(IccProfiles::srgb()));
        else
            image.colorSpace(MagickCore::sRGBColorspace);
        if (!keepsProfile)
            dropProfile(image, "icc");
        return;
    }
    if (!icc.isEmpty() && !keepsProfile) {
        if (!isGrey(space) && !IccProfiles::isSrgb(icc))
            image.profile("icc", blobOf(IccProfiles::srgb()));
        dropProfile(image, "icc");
    }
    // Linear light (a PNG with gamma 1.0), YCbCr, Lab and the rest: sRGB, or its grey.
    const MagickCore::ColorspaceType now = image.colorSpace();
    if (now == MagickCore::LinearGRAYColorspace)
        image.colorSpace(MagickCore::GRAYColorspace);
    else if (now != MagickCore::sRGBColorspace && now != MagickCore::GRAYColorspace)
        image.colorSpace(MagickCore::sRGBColorspace);
}

// The frames as the output should hold them. A GIF keeps its frames as they are (framesAsStored), on a
// screen that holds the largest; everywhere else each frame is whole (an optimised animation's fragments are
// composed into the frames as shown) and its canvas is the picture itself, with no offset left from
// a rotation or a PNG's oFFs chunk.
void settleCanvas(std::list<Magick::Image>& frames, const QByteArray& coder, bool framesAsStored)
{
    if (framesAsStored && (frames.size() > 1 || coder == "GIF")) {
        // Pages of other sources (a TIFF's) have no place on a screen, and may have been turned:
        // each starts at the corner.
        if (coder != "GIF") {
            for (Magick::Image& frame : frames)
                frame.repage();
        }
        // An animated WebP's frames are whole pictures: each replaces the last, also where it is
        // transparent.
        if (coder == "WEBP") {
            for (Magick::Image& frame : frames)
                frame.gifDisposeMethod(MagickCore::BackgroundDispose);
        }
        size_t width = 0;
        size_t height = 0;
        for (const Magick::Image& frame : frames) {
            const Magick::Geometry page = frame.page();
            const ssize_t x = std::max<ssize_t>(0, page.xOff());
            const ssize_t y = std::max<ssize_t>(0, page.yOff());
            width = std::max({width, page.width(), size_t(x) + frame.columns()});
            height = std::max({height, page.height(), size_t(y) + frame.rows()});
        }
        for (Magick::Image& frame : frames) {
            Magick::Geometry page = frame.page();
            page.width(width);
            page.height(height);
            frame.page(page);
        }
        return;
    }
    if (coder == "GIF") {
        // Outside its frames a GIF's screen shows through, transparent, as viewers show it; the
        // composed canvas keeps the first frame's alpha, and without one it came out in the
        // background colour, opaque.
        for (Magick::Image& frame : frames)
            frame.matte(true);
        std::list<Magick::Image> whole;
        Magick::coalesceImages(&whole, frames.begin(), frames.end());
        frames.swap(whole);
        for (Magick::Image& frame : frames)
            frame.quiet(true);
    }
    for (Magick::Image& frame : frames)
        frame.repage();
}

void flattenOnWhite(Magick::Image& image)
{
    if (image.matte()) {
        image.backgroundColor(Magick::Color("white"));
        image.alphaChannel(MagickCore::RemoveAlphaChannel);
        image.matte(false);
    }
}

void makeTrueColour(Magick::Image& image, bool keepAlpha)
{
    image.classType(MagickCore::DirectClass);
    image.type(keepAlpha ? MagickCore::TrueColorMatteType : MagickCore::TrueColorType);
    image.depth(8);
}

// The picture shrunk to fit inside size x size and centred on a transparent square of that size.
Magick::Image iconEntry(const Magick::Image& picture, size_t size)
{
    Magick::Image entry = picture;
    Magick::Geometry fit(size, size);
    fit.greater(true);
    entry.resize(fit);
    entry.matte(true);
    entry.backgroundColor(Magick::Color("transparent"));
    entry.extent(Magick::Geometry(size, size), Magick::Color("transparent"), MagickCore::CenterGravity);
    entry.classType(MagickCore::DirectClass);
    // The icon coder stores the 256 entry as PNG when it is asked for no other compression.
    entry.compressType(size == largestIcon ? MagickCore::ZipCompression : MagickCore::NoCompression);
    entry.depth(8);
    entry.magick("ICO");
    return entry;
}

// Measured on Debian's 21 wallpapers: the whole picture's ratio of run-length to full search was the
// sample's plus 0.00 to 0.05; at 0.96 sampled, no picture came out more than 1.1% larger than with
// the full search.
constexpr double runLengthMargin = 0.96;

size_t deflatedSize(const std::vector<quint8>& bytes, int level, int strategy)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, 15, 8, strategy) != Z_OK)
        return 0;
    std::vector<quint8> out(deflateBound(&stream, uLong(bytes.size())));
    stream.next_in = const_cast<quint8*>(bytes.data());
    stream.avail_in = uInt(bytes.size());
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    const size_t size = stream.total_out;
    deflateEnd(&stream);
    return size;
}

// Whether run-length matching compresses the picture nearly as well as zlib's full search: both are
// tried on bands of rows spread over the picture, filtered as the encoder will filter them. The
// sample favours run-length matching by a few percent, hence the margin. Small pictures, where time
// does not matter, always get the full search.
bool runLengthPays(Magick::Image& image)
{
    constexpr size_t bands = 16;
    constexpr size_t bandRows = 8;
    const size_t width = image.columns();
    const size_t height = image.rows();
    if (height < bands * bandRows * 4 || width < 64)
        return false;
    const std::string map = image.matte() ? "RGBA" : "RGB";
    const size_t stride = width * map.size();
    std::vector<quint8> rows(bandRows * stride);
    std::vector<quint8> filtered(bands * (bandRows - 1) * (stride + 1));
    RowFilter filter(stride, map.size());
    quint8* out = filtered.data();
    for (size_t band = 0; band < bands; ++band) {
        const size_t top = (height - bandRows) * band / (bands - 1);
        image.write(0, ssize_t(top), width, bandRows, map, MagickCore::CharPixel, rows.data());
        for (size_t row = 1; row < bandRows; ++row)
            filter.filter(rows.data() + row * stride, rows.data() + (row - 1) * stride,
                          std::exchange(out, out + stride + 1));
    }
    const size_t full = deflatedSize(filtered, 7, Z_DEFAULT_STRATEGY);
    const size_t runs = deflatedSize(filtered, 6, Z_RLE);
    return full > 0 && runs > 0 && double(runs) <= double(full) * runLengthMargin;
}

// The 8-bit RGB or RGBA rows of an sRGB picture of more than 256 colours, for the encoders of 8-bit
// rows: PNG's and TIFF's filtering as ImageMagick's, compressed in a fraction of its time. ImageMagick's
// encoders keep the rest: fewer colours, which they store as a palette, 16-bit samples and grey.
struct Rows {
    std::vector<quint8> bytes;
    int channels = 3;
};

std::optional<Rows> rowsOfManyColours(Magick::Image& image)
{
    if (image.depth() > 8 || image.colorSpace() != MagickCore::sRGBColorspace)
        return std::nullopt;
    const size_t width = image.columns();
    const size_t height = image.rows();
    Rows rows;
    rows.channels = image.matte() ? 4 : 3;
    rows.bytes.resize(width * height * size_t(rows.channels));
    image.write(0, 0, width, height, rows.channels == 4 ? "RGBA" : "RGB", MagickCore::CharPixel, rows.bytes.data());
    // A photograph shows its 257th colour within a few rows.
    std::unordered_set<quint32> colours;
    for (size_t at = 0; at < rows.bytes.size() && colours.size() <= 256; at += size_t(rows.channels)) {
        quint32 colour = 0;
        std::memcpy(&colour, rows.bytes.data() + at, size_t(rows.channels));
        colours.insert(colour);
    }
    if (colours.size() <= 256)
        return std::nullopt;
    return rows;
}

Metadata::Resolution resolutionOf(const Magick::Image& image)
{
    const MagickCore::ResolutionType units = image.resolutionUnits();
    if (image.xResolution() <= 0 || image.yResolution() <= 0 ||
        (units != MagickCore::PixelsPerInchResolution && units != MagickCore::PixelsPerCentimeterResolution))
        return {};
    return {image.xResolution(), image.yResolution(),
            units == MagickCore::PixelsPerInchResolution ? Metadata::Resolution::PerInch
                                                         : Metadata::Resolution::PerCentimetre};
}

// TIFF requires a resolution (exiftool's validation: "Missing required XResolution"); a picture that
// records none gets the 72 pixels an inch readers assume.
constexpr Metadata::Resolution tiffResolution{72, 72, Metadata::Resolution::PerInch};

Metadata::Resolution tiffResolutionOf(const Magick::Image& image)
{
    const Metadata::Resolution recorded = resolutionOf(image);
    return recorded.unit == Metadata::Resolution::None ? tiffResolution : recorded;
}

Failure writeFailure(const char* what, int error)
{
    return {isNoSpace(error) ? Status::DiskFull : Status::NotWritable, systemWords(what, error)};
}

// A palette grown to 256 entries, the new ones copies of the first, which no pixel uses: the TIFF
// coder then stores 8-bit indices. As direct colour instead, a 16-colour 3-megapixel picture took
// 1.6 times the bytes (1385 KB, as a palette 883 KB; 855 KB at 4 bits) and a tenth more time.
// (Magick++'s colorMapSize() would replace the colours with a grey ramp.)
void padPalette(Magick::Image& frame)
{
    frame.modifyImage();
    MagickCore::Image* core = frame.image();
    if (!core->colormap || core->colors == 0)
        return;
    constexpr size_t entries = 256;
    auto* grown = static_cast<MagickCore::PixelPacket*>(
        MagickCore::ResizeQuantumMemory(core->colormap, entries, sizeof(MagickCore::PixelPacket)));
    if (!grown)
        throw std::bad_alloc();
    std::fill(grown + core->colors, grown + entries, grown[0]);
    core->colormap = grown;
    core->colors = entries;
}

// The frames as a TIFF file, written through a file of the worker's own. In memory, libtiff's seeks
// past the end (the byte that puts each directory on a word boundary) leave gaps in ImageMagick's blob
// that hold whatever the memory held before: the same picture came out with different bytes after
// different jobs. A file's gaps read as zeros. ImageMagick's TIFF coder also fails some
// Deflate-compressed pictures in memory ("IO error writing tag data": a 240 x 160 photo from a Go
// library's test data, some 30-frame animations) that it writes to a file without complaint. The file
// is opened here and handed over open, so that no part of its name is ever read as a frame range or
// a format.
Magick::Blob tiffOf(std::list<Magick::Image>& frames)
{
    QByteArray pattern = QFile::encodeName(QDir::tempPath()) + "/tiff-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        throw writeFailure("create", errno);
    ::unlink(pattern.constData());
    FILE* file = ::fdopen(fd, "w+b");
    if (!file) {
        ::close(fd);
        throw writeFailure("create", errno);
    }
    const auto closeFile = qScopeGuard([&] { std::fclose(file); });
    Magick::linkImages(frames.begin(), frames.end());
    const auto unlink = qScopeGuard([&] { Magick::unlinkImages(frames.begin(), frames.end()); });
    MagickCore::ImageInfo* info = MagickCore::CloneImageInfo(frames.front().imageInfo());
    const auto destroyInfo = qScopeGuard([&] { MagickCore::DestroyImageInfo(info); });
    info->file = file;
    info->adjoin = MagickCore::MagickTrue;
    std::strncpy(info->magick, "TIFF", MaxTextExtent - 1);
    MagickCore::Image* first = frames.front().image();
    std::strncpy(first->filename, "TIFF:", MaxTextExtent - 1);
    MagickCore::ExceptionInfo* exception = MagickCore::AcquireExceptionInfo();
    auto destroyException = qScopeGuard([&] { MagickCore::DestroyExceptionInfo(exception); });
    const bool written = MagickCore::WriteImages(info, first, "TIFF:", exception) == MagickCore::MagickTrue;
    if (!written || exception->severity >= MagickCore::ErrorException) {
        // Magick++ destroys the record as it throws it.
        destroyException.dismiss();
        Magick::throwException(exception, false);
        MagickCore::DestroyExceptionInfo(exception);
        throw Failure{Status::Corrupt, "TIFF not written"};
    }
    if (std::fflush(file) != 0)
        throw writeFailure("write", errno);
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        throw writeFailure("fstat", errno);
    QByteArray bytes(qsizetype(status.st_size), '\0');
    if (::pread(fd, bytes.data(), size_t(bytes.size()), 0) != ssize_t(bytes.size()))
        throw writeFailure("read", errno);
    return blobOf(bytes);
}

Magick::Blob encode(std::list<Magick::Image>& frames, Index format, bool photographic)
{
    Magick::Blob blob;
    switch (format) {
    case Jpg: {
        Magick::Image& image = frames.front();
        flattenOnWhite(image);
        image.quality(90);
        image.depth(8);
        image.write(&blob, "JPEG");
        break;
    }
    case Bmp: {
        Magick::Image& image = frames.front();
        const bool alpha = hasTransparency(image);
        if (!alpha)
            image.matte(false);
        makeTrueColour(image, alpha);
        image.compressType(MagickCore::NoCompression);
        image.write(&blob, "BMP");
        break;
    }
    case Gif:
        if (frames.size() == 1 && !hasTransparency(frames.front())) {
            Magick::Image& image = frames.front();
            const std::vector<quint8> rgba = rgbaOf(image);
            if (const std::optional<QByteArray> gif = GifWriter::gif(rgba.data(), image.columns(), image.rows())) {
                blob = blobOf(*gif);
                break;
            }
        }
        // Animations and transparency: ImageMagick keeps each frame's transparent colour and offsets.
        // It gives a loop extension's count to the frames after it and writes the first frame's: one
        // that stands after the first frame, as some encoders put it, was lost.
        if (const auto looped =
                std::find_if(frames.begin(), frames.end(),
                             [](const Magick::Image& frame) { return frame.animationIterations() != 1; });
            looped != frames.end())
            frames.front().animationIterations(looped->animationIterations());
        for (Magick::Image& frame : frames) {
            frame.quantizeColors(256);
            frame.quantizeDither(true);
            frame.magick("GIF");
        }
        Magick::writeImages(frames.begin(), frames.end(), &blob, true);
        break;
    case Pcx: {
        Magick::Image& image = frames.front();
        flattenOnWhite(image);
        makeTrueColour(image, false);
        image.compressType(MagickCore::RLECompression);
        image.write(&blob, "PCX");
        break;
    }
    case Png: {
        Magick::Image& image = frames.front();
        if (!hasTransparency(image))
            image.matte(false);
        if (const std::optional<Rows> rows = rowsOfManyColours(image)) {
            blob = blobOf(PngWriter::png(rows->bytes.data(), image.columns(), image.rows(), rows->channels,
                                         profileOf(image, "icc"), profileOf(image, "exif"), profileOf(image, "xmp"),
                                         resolutionOf(image)));
            break;
        }
        // Adaptive filtering. Run-length matching at zlib level 6 takes a quarter of the time of the full
        // search at level 7 (ImageMagick's own choice), and on some photographs gives a smaller file;
        // on others a fifth larger (measured on Debian's wallpapers: 0.97 to 1.26 times convert's
        // size). A sample of the picture decides. An 8-bit picture here has 256 colours or fewer: it
        // is written as a palette or grey, whose unfiltered indexes a sample of its RGB rows says
        // nothing about (a horizontal gradient's palette came out 2.7 times convert's with run-length
        // matching), so it keeps ImageMagick's own settings.
        image.compressType(MagickCore::ZipCompression);
        if (image.depth() > 8 && runLengthPays(image)) {
            image.quality(65);
            image.defineValue("png", "compression-strategy", "3");
        } else {
            image.quality(75);
        }
        // The encoder would store a 16-bit picture whose samples fit in 8 bits as an 8-bit palette.
        // The colour type stays its choice: a single transparent colour goes in a tRNS chunk, where
        // an alpha channel made a file up to 1.08 times convert's.
        const bool alpha = image.matte();
        if (image.depth() > 8) {
            image.defineValue("png", "bit-depth", "16");
        } else if (!isGrey(image.colorSpace()) && !profileOf(image, "icc").isEmpty()) {
            // It would store a picture of grey colours as grey, and libpng then drops its RGB profile
            // (a GIF's, of grey colours, lost its profile).
            MagickCore::ExceptionInfo* exception = MagickCore::AcquireExceptionInfo();
            const bool greyColours =
                MagickCore::IdentifyImageGray(image.constImage(), exception) != MagickCore::UndefinedType;
            MagickCore::DestroyExceptionInfo(exception);
            if (greyColours)
                image.defineValue("png", "color-type", alpha ? "6" : "2");
        }
        // It would write a profile it knows as sRGB's (one of a list of checksums) as an sRGB chunk,
        // and drop the profile.
        image.defineValue("png", "preserve-iCCP", "true");
        // The time of writing (a tIME chunk, date:create and date:modify text) would make every run's
        // file differ.
        image.defineValue("png", "exclude-chunks", "date,tIME");
        // A TIFF's decoder leaves its tags as properties too (tiff:rows-per-strip and the like), which
        // would follow the pixels as text that exiftool warns of; what describes the picture is in the
        // EXIF block.
        dropProperties(image, "tiff:");
        // EXIF goes in by hand, before the pixels, where readers look for it.
        const QByteArray exif = profileOf(image, "exif");
        if (!exif.isEmpty())
            dropProfile(image, "exif");
        image.write(&blob, "PNG");
        if (!exif.isEmpty())
            blob = blobOf(Metadata::pngWithExif(bytesOf(blob), exif));
        break;
    }
    case Ico: {
        const Magick::Image& source = frames.front();
        const size_t longest = std::max(source.columns(), source.rows());
        // Each entry is made from a copy no larger than twice the largest entry: resizing the whole
        // picture four times over made a 150-megapixel panorama's icon take 17 s, from the copy 2.2 s.
        // (A JPEG is decoded at an eighth already.)
        Magick::Image picture = source;
        // Entries have alpha; given before resizing, it is defined in every pixel the resize reads
        // (decoders of pictures without alpha, BMP's among them, leave it unwritten: valgrind).
        picture.matte(true);
        if (longest > 2 * largestIcon) {
            Magick::Geometry fit(2 * largestIcon, 2 * largestIcon);
            fit.greater(true);
            picture.thumbnail(fit);
        }
        std::list<Magick::Image> entries;
        for (const size_t size : iconSizes) {
            if (size <= longest)
                entries.push_back(iconEntry(picture, size));
        }
        // A source smaller than every entry still gives one, its picture centred and not enlarged.
        if (entries.empty())
            entries.push_back(iconEntry(picture, iconSizes.front()));
        Magick::writeImages(entries.begin(), entries.end(), &blob, true);
        break;
    }
    case Tiff: {
        // ImageMagick's TIFF coder leaves EXIF out; it is added afterwards, which needs the file in the
        // EXIF block's byte order.
        const QByteArray exif = profileOf(frames.front(), "exif");
        if (frames.size() == 1 && !photographic) {
            Magick::Image& image = frames.front();
            if (!hasTransparency(image))
                image.matte(false);
            if (const std::optional<Rows> rows = rowsOfManyColours(image)) {
                const bool bigEndian = !exif.isEmpty() && Metadata::isBigEndian(exif);
                QByteArray tiff = TiffWriter::deflatedTiff(rows->bytes.data(), image.columns(), image.rows(),
                                                           rows->channels, profileOf(image, "icc"),
                                                           profileOf(image, "xmp"), tiffResolutionOf(image), bigEndian);
                blob = blobOf(exif.isEmpty() ? tiff : Metadata::tiffWithExif(tiff, exif));
                break;
            }
        }
        for (Magick::Image& frame : frames) {
            if (!exif.isEmpty())
                frame.defineValue("tiff", "endian", Metadata::isBigEndian(exif) ? "msb" : "lsb");
            const bool alpha = hasTransparency(frame);
            if (!alpha)
                frame.matte(false);
            // The coder stores a palette in as few bits as its colours need (1 or 4 for a bilevel or
            // 16-colour picture), a palette with alpha as 2- or 4-bit alpha, and other samples at the
            // picture's depth (5 from a 16-bit TGA): PIL and vips cannot read some of those. A palette
            // of 8 bits, direct colour with alpha, samples of 8 or 16 bits instead; floating-point and
            // 32-bit samples come out as integers no common reader opens.
            if (frame.classType() == MagickCore::PseudoClass && alpha) {
                frame.classType(MagickCore::DirectClass);
                frame.type(MagickCore::TrueColorMatteType);
            } else if (frame.classType() == MagickCore::PseudoClass && frame.colorMapSize() <= 16) {
                padPalette(frame);
            }
            frame.depth(frame.depth() > 8 ? 16 : 8);
            // Deflate costs a photograph three times the time of the whole conversion for a quarter
            // off its size (measured on 12-megapixel camera JPEGs); it stays for everything else,
            // where it pays.
            frame.compressType(photographic ? MagickCore::NoCompression : MagickCore::ZipCompression);
            if (resolutionOf(frame).unit == Metadata::Resolution::None) {
                frame.density(Magick::Geometry(size_t(tiffResolution.x), size_t(tiffResolution.y)));
                frame.resolutionUnits(MagickCore::PixelsPerInchResolution);
            }
            frame.magick("TIFF");
        }
        blob = tiffOf(frames);
        if (!exif.isEmpty())
            blob = blobOf(Metadata::tiffWithExif(bytesOf(blob), exif));
        break;
    }
    default:
        throw Failure{Status::Unsupported, "unknown output format"};
    }
    return blob;
}

// Held while an output's file is created, moved to its name or removed, and for good by a worker that
// ends on a signal: after abandonOutput() no job can create or name a file.
std::mutex g_placing;
// The temporary file the job is writing, for a worker that has to end in the middle.
struct Unfinished {
    int folder = -1;
    QByteArray name;
};
Unfinished g_unfinished;

// The numbered names tried when others took the output's name meanwhile; past them the job fails
// rather than search a folder without end.
constexpr int mostNumbers = 10'000;

// The output's temporary file in the output folder, created on the first write (never through a link,
// never over a file), synced and moved to its final name by commit(), and removed unless committed.
class TemporaryFile : public Output {
public:
    TemporaryFile(const PictureJobs::ConvertRequest& request, const PictureJobs::Hooks& hooks)
        : m_request(request)
        , m_hooks(hooks)
        , m_temporary(LongPath::encodeName(request.temporaryName))
    {
    }
    ~TemporaryFile() override { discard(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    void append(const char* data, size_t size) override
    {
        writeAt(m_end, data, size);
        m_end += size;
    }

    void overwrite(quint64 offset, const char* data, size_t size) override
    {
        writeAt(offset, data, size);
        m_end = std::max(m_end, offset + size);
    }

    // Everything written so far goes, and the next write starts a new file.
    void discard()
    {
        if (!m_file.isValid())
            return;
        m_file = LongPath::Fd();
        removeTemporary();
        m_end = 0;
    }

    // Moves the finished file to its name, and tells hooks.renamed which name that is.
    void commit()
    {
        if (!m_file.isValid())
            open();
        if (::fsync(m_file.get()) != 0)
            throw writeFailure("fsync", errno);
        if (::close(m_file.release()) != 0) {
            const int error = errno;
            removeTemporary();
            throw writeFailure("close", error);
        }
        const QString name = moveToName();
        if (m_hooks.renamed)
            m_hooks.renamed(name);
    }

private:
    void open()
    {
        {
            const std::lock_guard placing(g_placing);
            m_file = LongPath::Fd(::openat(m_request.folder, m_temporary.constData(),
                                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (!m_file.isValid())
                throw writeFailure("create", errno);
            g_unfinished = {m_request.folder, m_temporary};
        }
        // A file replaced at the user's word keeps its permissions.
        struct stat replaced {};
        if (m_request.replace &&
            ::fstatat(m_request.folder, LongPath::encodeName(m_request.finalName).constData(), &replaced,
                      AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(replaced.st_mode))
            ::fchmod(m_file.get(), replaced.st_mode & 0777);
    }

    // The final name, or the first free numbered one when something else has it now.
    QString moveToName()
    {
        const std::lock_guard placing(g_placing);
        g_unfinished = {};
        QString name = m_request.finalName;
        bool replace = m_request.replace;
        for (int n = 2;; ++n) {
            const FinalName::Outcome moved =
                FinalName::place(m_request.folder, m_temporary, LongPath::encodeName(name), replace);
            if (moved == FinalName::Outcome::Moved)
                return name;
            if (moved != FinalName::Outcome::Taken || n > mostNumbers) {
                const int error = moved == FinalName::Outcome::Taken ? EEXIST : errno;
                ::unlinkat(m_request.folder, m_temporary.constData(), 0);
                throw writeFailure("rename", error);
            }
            name = numberedName(m_request.source, m_request.format, n);
            replace = false;
        }
    }

    void removeTemporary()
    {
        const std::lock_guard placing(g_placing);
        ::unlinkat(m_request.folder, m_temporary.constData(), 0);
        g_unfinished = {};
    }

    void writeAt(quint64 offset, const char* data, size_t size)
    {
        if (!m_file.isValid())
            open();
        // The first piece alone, so that the tests can stop a worker with part of a file written.
        constexpr size_t piece = size_t(8) << 20;
        size_t done = 0;
        while (done < size) {
            const ssize_t put = ::pwrite(m_file.get(), data + done, std::min(piece, size - done), off_t(offset + done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                throw writeFailure("write", errno);
            // The disk starts on what is written while the rest is made, so that commit's sync waits
            // for little: without it, uncompressed files (BMP, TIFF) took a third longer on Debian's
            // wallpapers, the workers idle while the sync wrote them. It only starts the writing;
            // errors surface at the sync.
            ::sync_file_range(m_file.get(), off_t(offset + done), put, SYNC_FILE_RANGE_WRITE);
            done += size_t(put);
            if (!m_partTold && m_hooks.partWritten) {
                m_partTold = true;
                m_hooks.partWritten();
            }
        }
    }

    const PictureJobs::ConvertRequest& m_request;
    const PictureJobs::Hooks& m_hooks;
    const QByteArray m_temporary;
    LongPath::Fd m_file;
    quint64 m_end = 0;
    bool m_partTold = false;
};

bool startsWith(const QByteArray& bytes, const char* prefix, qsizetype at = 0)
{
    return bytes.mid(at).startsWith(QByteArray(prefix));
}
} // namespace

void PictureJobs::abandonOutput()
{
    // Never unlocked: the worker is ending, and no job may create or name a file after this.
    g_placing.lock();
    if (g_unfinished.folder >= 0)
        ::unlinkat(g_unfinished.folder, g_unfinished.name.constData(), 0);
    g_unfinished = {};
}

void PictureJobs::limitResources(qint64 pixelMemory)
{
    Magick::ResourceLimits::thread(1);
    Magick::ResourceLimits::listLength(10000);
    if (pixelMemory > 0) {
        Magick::ResourceLimits::memory(MagickCore::MagickSizeType(pixelMemory));
        Magick::ResourceLimits::map(MagickCore::MagickSizeType(pixelMemory));
    }
}

QByteArray PictureJobs::sniffCoder(const QByteArray& bytes, const QString& path)
{
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? quint8(bytes[i]) : quint8(0); };
    if (byte(0) == 0xFF && byte(1) == 0xD8 && byte(2) == 0xFF)
        return "JPEG";
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n"))
        return "PNG";
    if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a"))
        return "GIF";
    if (startsWith(bytes, "BM") && bytes.size() >= 26)
        return "BMP";
    if (startsWith(bytes, "II*") || startsWith(bytes, "II+") ||
        (startsWith(bytes, "MM") && byte(2) == 0 && (byte(3) == '*' || byte(3) == '+')))
        return "TIFF";
    if (byte(0) == 0 && byte(1) == 0 && byte(2) == 1 && byte(3) == 0 && (byte(4) | byte(5)) != 0)
        return "ICO";
    if (startsWith(bytes, "RIFF") && startsWith(bytes, "WEBP", 8))
        return "WEBP";
    if (startsWith(bytes, "ftyp", 4)) {
        static const std::array<const char*, 10> brands{"heic", "heix", "hevc", "hevx", "heim",
                                                        "heis", "mif1", "msf1", "avif", "avis"};
        for (const char* brand : brands) {
            if (startsWith(bytes, brand, 8))
                return "HEIC";
        }
    }
    if (byte(0) == 0x0A && byte(1) <= 5 && byte(1) != 1 && byte(2) <= 1 &&
        (byte(3) == 1 || byte(3) == 2 || byte(3) == 4 || byte(3) == 8) && bytes.size() > 128)
        return "PCX";
    if (byte(0) == 'P' && byte(1) >= '1' && byte(1) <= '7' &&
        (byte(2) == ' ' || byte(2) == '\n' || byte(2) == '\r' || byte(2) == '\t'))
        return "PNM";
    if (path.endsWith(QStringLiteral(".tga"), Qt::CaseInsensitive) && TgaFiles::isPlausible(bytes))
        return "TGA";
    return {};
}

PictureJobs::Preview PictureJobs::preview(const QString& path, QSize box, const Hooks& hooks)
{
    SignsOfLife life(hooks);
    Preview answer;
    try {
        const Source source = readSource(path);
        gate(source, std::nullopt);
        // The JPEG decoder scales by eighths to no less than the hint, and the thumbnail averages the
        // rest down to the box, which keeps it sharp. A hint of twice the box cost a 24-megapixel
        // photo 217 ms instead of 105 (kalvorin-bench --preview). The box may turn by a quarter when
        // the picture is rotated upright, so the hint is square.
        const int side = std::max(box.width(), box.height());
        std::list<Magick::Image> frames = readPicture(source, false, QSize(side, side));
        // As a screen shows it: the first frame whole, in sRGB.
        settleCanvas(frames, source.coder, false);
        Magick::Image& image = frames.front();
        life.pixelsKnown(qint64(image.columns()) * qint64(image.rows()));
        turnUpright(image, source.coder);
        settleColour(image, false);
        if (box.isValid()) {
            Magick::Geometry fit(size_t(box.width()), size_t(box.height()));
            fit.greater(true);
            image.thumbnail(fit);
        }
        answer.size = QSize(int(image.columns()), int(image.rows()));
        const std::vector<quint8> rgba = rgbaOf(image);
        answer.rgba = QByteArray(reinterpret_cast<const char*>(rgba.data()), qsizetype(rgba.size()));
    } catch (const Failure& failure) {
        answer = {failure.status, {}, {}};
    } catch (const Magick::Exception& error) {
        answer = {failureOf(error).status, {}, {}};
    } catch (const std::bad_alloc&) {
        answer = {Status::TooLarge, {}, {}};
    }
    return answer;
}

Protocol::Status PictureJobs::convert(const ConvertRequest& request, const Hooks& hooks, QString* detail)
{
    SignsOfLife life(hooks);
    const auto fail = [&](const Failure& failure) {
        if (detail)
            *detail = QString::fromStdString(failure.detail);
        return failure.status;
    };
    try {
        const Source input = readSource(request.source);
        const Index formatIndex = request.format;
        const qint64 pixels = gate(input, formatIndex);
        if (hooks.admit)
            hooks.admit(pixels);
        TemporaryFile file(request, hooks);
        if (input.coder == "JPEG") {
            const auto known = [&](qint64 pixels) { life.pixelsKnown(pixels); };
            const auto done = [&](qint16 done) { life.doneSoFar(done); };
            if (PhotoRoute::convert(input.bytes, formatIndex, file, known, done)) {
                file.commit();
                return Status::Ok;
            }
            file.discard();
            life.doneSoFar(0);
        }
        const OutputFormat::Traits& output = OutputFormat::traits(formatIndex);
        std::list<Magick::Image> frames = readPicture(input, output.everyFrame, hintFor(formatIndex));
        life.pixelsKnown(pixelsOf(frames));
        for (Magick::Image& frame : frames) {
            turnUpright(frame, input.coder);
            dropProperties(frame, "exif:");
            settleColour(frame, output.keepsProfile);
        }
        settleCanvas(frames, input.coder, output.framesAsStored);
        // Camera pictures: noise everywhere, few long runs of equal bytes.
        const bool photographic = input.coder == "JPEG" || input.coder == "HEIC";
        const Magick::Blob blob = encode(frames, formatIndex, photographic);
        file.append(static_cast<const char*>(blob.data()), blob.length());
        file.commit();
        return Status::Ok;
    } catch (const Failure& failure) {
        return fail(failure);
    } catch (const Magick::Exception& error) {
        return fail(failureOf(error));
    } catch (const std::bad_alloc&) {
        return fail({Status::TooLarge, "out of memory"});
    }
}
