// SPDX-License-Identifier: GPL-3.0-or-later
// The formats whose headers are a few fixed fields (JPEG, PNG, GIF, BMP, TGA, ICO, PCX, PNM) are read
// here; TIFF, WebP and HEIF, whose headers are structures of their own, by libtiff, libwebp and libheif,
// none of which decodes a pixel to answer.
#include "worker/PictureHeaders.h"

#include <libheif/heif.h>
#include <tiffio.h>
#include <webp/demux.h>

#include <QScopeGuard>
#include <QtEndian>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
using PictureHeaders::Header;
using PictureHeaders::Size;

struct Bad {
    std::string why;
};

// Reads of fixed fields at offsets that may lie past the end: those throw Bad.
class Fields {
public:
    explicit Fields(const QByteArray& bytes)
        : m_data(reinterpret_cast<const uchar*>(bytes.constData()))
        , m_size(size_t(bytes.size()))
    {
    }

    size_t size() const { return m_size; }
    bool has(size_t at, size_t count) const { return at <= m_size && count <= m_size - at; }
    const uchar* at(size_t offset, size_t count) const
    {
        if (!has(offset, count))
            throw Bad{"header ends early"};
        return m_data + offset;
    }
    quint8 u8(size_t offset) const { return *at(offset, 1); }
    quint16 le16(size_t offset) const { return qFromLittleEndian<quint16>(at(offset, 2)); }
    quint32 le32(size_t offset) const { return qFromLittleEndian<quint32>(at(offset, 4)); }
    quint16 be16(size_t offset) const { return qFromBigEndian<quint16>(at(offset, 2)); }
    quint32 be32(size_t offset) const { return qFromBigEndian<quint32>(at(offset, 4)); }

private:
    const uchar* m_data;
    size_t m_size;
};

Size sized(quint32 width, quint32 height)
{
    if (width == 0 || height == 0)
        throw Bad{"no pixels"};
    return {width, height};
}

Header single(Size size)
{
    return {size, {size}, 0};
}

Header jpeg(const Fields& in)
{
    size_t at = 2;
    for (;;) {
        // Fill bytes may precede a marker, and libjpeg passes over stray bytes between segments.
        while (in.u8(at) != 0xFF || in.u8(at + 1) == 0xFF)
            ++at;
        const quint8 marker = in.u8(at + 1);
        if (marker == 0xD9 || marker == 0xDA)
            throw Bad{"no frame header before the data"};
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        const size_t length = in.be16(at + 2);
        if (length < 2)
            throw Bad{"segment of no length"};
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            // A height of 0 would come later, in a DNL segment, which libjpeg does not read.
            return single(sized(in.be16(at + 7), in.be16(at + 5)));
        }
        at += 2 + length;
    }
}

Header png(const Fields& in)
{
    if (in.be32(8) != 13 || std::memcmp(in.at(12, 4), "IHDR", 4) != 0)
        throw Bad{"no header chunk"};
    const quint32 width = in.be32(16);
    const quint32 height = in.be32(20);
    if (width > 0x7fffffffu || height > 0x7fffffffu)
        throw Bad{"size beyond PNG's"};
    return single(sized(width, height));
}

// Skips a GIF's data sub-blocks from at, to the byte after their terminator.
size_t skipSubBlocks(const Fields& in, size_t at)
{
    for (;;) {
        const quint8 length = in.u8(at);
        at += 1 + length;
        if (length == 0)
            return at;
    }
}

Header gif(const Fields& in)
{
    Header header;
    header.canvas = {in.le16(6), in.le16(8)};
    const quint8 flags = in.u8(10);
    size_t at = 13;
    if (flags & 0x80)
        at += 3u << ((flags & 7) + 1);
    // A GIF cut short keeps the frames it has, as decoders show it.
    while (in.has(at, 1)) {
        const quint8 kind = in.u8(at);
        if (kind == 0x3B)
            break;
        if (kind == 0x21) {
            if (!in.has(at + 2, 1))
                break;
            at = skipSubBlocks(in, at + 2);
        } else if (kind == 0x2C) {
            if (!in.has(at, 10))
                break;
            header.frames.push_back(sized(in.le16(at + 5), in.le16(at + 7)));
            if (header.frames.size() > PictureHeaders::maxFrames)
                return header;
            const quint8 local = in.u8(at + 9);
            at += 10;
            if (local & 0x80)
                at += 3u << ((local & 7) + 1);
            // The LZW code size, then the data.
            if (!in.has(at + 1, 1))
                break;
            at = skipSubBlocks(in, at + 1);
        } else {
            break;
        }
    }
    if (header.frames.empty())
        throw Bad{"no frame"};
    if (header.canvas.area() == 0)
        header.canvas = header.frames.front();
    return header;
}

Header bmp(const Fields& in)
{
    const quint32 infoSize = in.le32(14);
    if (infoSize == 12)
        return single(sized(in.le16(18), in.le16(20)));
    if (infoSize < 16)
        throw Bad{"unknown information header"};
    const qint32 width = qint32(in.le32(18));
    const qint32 height = qint32(in.le32(22));
    // Negative heights are stored top to bottom.
    if (width <= 0 || height == 0 || height == std::numeric_limits<qint32>::min())
        throw Bad{"no pixels"};
    return single(sized(quint32(width), quint32(height < 0 ? -height : height)));
}

Header tga(const Fields& in)
{
    return single(sized(in.le16(12), in.le16(14)));
}

// An icon's entries, each as its own data says: a PNG, or a BMP without its file header whose height
// counts the mask's rows too.
Header ico(const Fields& in)
{
    const quint16 count = in.le16(4);
    if (count == 0)
        throw Bad{"no entry"};
    Header header;
    for (size_t entry = 0; entry < count; ++entry) {
        const size_t at = 6 + entry * 16;
        const quint32 length = in.le32(at + 8);
        const quint32 offset = in.le32(at + 12);
        // Some icons overstate an entry's length; its header must be there.
        if (length < 16 || !in.has(offset, 24))
            throw Bad{"entry past the end"};
        if (std::memcmp(in.at(offset, 8), "\x89PNG\r\n\x1a\n", 8) == 0) {
            if (!in.has(offset, 24) || std::memcmp(in.at(offset + 12, 4), "IHDR", 4) != 0)
                throw Bad{"entry without a PNG header"};
            header.frames.push_back(sized(in.be32(offset + 16), in.be32(offset + 20)));
        } else {
            const qint32 width = qint32(in.le32(offset + 4));
            const qint32 height = qint32(in.le32(offset + 8));
            if (width <= 0 || height <= 0)
                throw Bad{"entry without pixels"};
            header.frames.push_back(sized(quint32(width), quint32(std::max(1, height / 2))));
        }
    }
    header.canvas = *std::max_element(header.frames.begin(), header.frames.end(),
                                      [](const Size& a, const Size& b) { return a.area() < b.area(); });
    return header;
}

Header pcx(const Fields& in)
{
    const quint16 left = in.le16(4), top = in.le16(6), right = in.le16(8), bottom = in.le16(10);
    if (right < left || bottom < top)
        throw Bad{"no pixels"};
    return single(sized(quint32(right - left) + 1, quint32(bottom - top) + 1));
}

// PNM's headers are text: a magic number, then numbers or (P7) named fields, with comments.
class PnmHeader {
public:
    PnmHeader(const Fields& in, size_t at)
        : m_in(in)
        , m_at(at)
    {
    }

    size_t at() const { return m_at; }

    // The next number; false at the end.
    std::optional<quint64> number()
    {
        skipSpace();
        if (!m_in.has(m_at, 1) || !std::isdigit(m_in.u8(m_at)))
            return std::nullopt;
        quint64 value = 0;
        while (m_in.has(m_at, 1) && std::isdigit(m_in.u8(m_at))) {
            value = value * 10 + (m_in.u8(m_at++) - '0');
            if (value > 0xffffffffu)
                throw Bad{"number too long"};
        }
        return value;
    }

    QByteArray word()
    {
        skipSpace();
        QByteArray word;
        while (m_in.has(m_at, 1) && !std::isspace(m_in.u8(m_at)) && word.size() < 16)
            word.append(char(m_in.u8(m_at++)));
        return word;
    }

    void skipSpace()
    {
        while (m_in.has(m_at, 1)) {
            const quint8 c = m_in.u8(m_at);
            if (c == '#') {
                while (m_in.has(m_at, 1) && m_in.u8(m_at) != '\n' && m_in.u8(m_at) != '\r')
                    ++m_at;
            } else if (std::isspace(c)) {
                ++m_at;
            } else {
                break;
            }
        }
    }

    // Past the single white-space byte that ends a binary header.
    void endHeader() { ++m_at; }
    void skip(quint64 count) { m_at = count > m_in.size() - std::min(m_at, m_in.size()) ? m_in.size() : m_at + count; }

private:
    const Fields& m_in;
    size_t m_at;
};

// Every picture of a PNM file: the format allows several, one after another, as ImageMagick reads them.
Header pnm(const Fields& in)
{
    Header header;
    size_t at = 0;
    while (in.has(at, 2) && in.u8(at) == 'P' && header.frames.size() <= PictureHeaders::maxFrames) {
        const int kind = in.u8(at + 1) - '0';
        if (kind < 1 || kind > 7)
            break;
        PnmHeader text(in, at + 2);
        quint64 width = 0, height = 0, maximum = 1, depth = 1;
        if (kind == 7) {
            for (QByteArray field = text.word(); field != "ENDHDR"; field = text.word()) {
                if (field.isEmpty())
                    throw Bad{"header without ENDHDR"};
                if (field == "TUPLTYPE") {
                    text.word();
                    continue;
                }
                const std::optional<quint64> value = text.number();
                if (!value)
                    throw Bad{"field without a number"};
                if (field == "WIDTH")
                    width = *value;
                else if (field == "HEIGHT")
                    height = *value;
                else if (field == "DEPTH")
                    depth = *value;
                else if (field == "MAXVAL")
                    maximum = *value;
            }
        } else {
            const std::optional<quint64> w = text.number();
            const std::optional<quint64> h = text.number();
            if (!w || !h)
                throw Bad{"no size"};
            width = *w;
            height = *h;
            if (kind != 1 && kind != 4) {
                const std::optional<quint64> m = text.number();
                if (!m)
                    throw Bad{"no maximum"};
                maximum = *m;
            }
            depth = kind == 3 || kind == 6 ? 3 : 1;
        }
        header.frames.push_back(
            sized(quint32(std::min<quint64>(width, 0xffffffffu)), quint32(std::min<quint64>(height, 0xffffffffu))));
        text.endHeader();
        // Where the next picture would start: known for the binary kinds, and for the text kinds
        // found by reading past as many numbers as the picture has samples.
        const quint64 samples = width * height * depth;
        if (kind >= 4) {
            const quint64 sampleBytes = maximum > 255 ? 2 : 1;
            text.skip(kind == 4 ? (width + 7) / 8 * height : samples * sampleBytes);
            at = text.at();
        } else {
            for (quint64 i = 0; i < samples; ++i) {
                if (kind == 1) {
                    text.skipSpace();
                    if (!in.has(text.at(), 1))
                        break;
                    text.skip(1);
                } else if (!text.number()) {
                    break;
                }
            }
            at = text.at();
        }
        // Pictures follow after white space, if at all.
        while (in.has(at, 1) && std::isspace(in.u8(at)))
            ++at;
    }
    if (header.frames.empty())
        throw Bad{"no picture"};
    header.canvas = header.frames.front();
    return header;
}

// libtiff reading from memory, for its directories only.
class TiffDirectories {
public:
    explicit TiffDirectories(const QByteArray& bytes)
        : m_bytes(bytes)
    {
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        if (!options)
            throw std::bad_alloc();
        TIFFOpenOptionsSetErrorHandlerExtR(options, error, this);
        TIFFOpenOptionsSetWarningHandlerExtR(options, warning, nullptr);
        // Directories are small; this bounds what libtiff allocates for one of a hostile file.
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, 64 << 20);
        m_tiff = TIFFClientOpenExt("picture", "rm", this, read, write, seek, close, size, map, unmap, options);
        TIFFOpenOptionsFree(options);
        if (!m_tiff)
            throw Bad{m_error.empty() ? std::string("not a TIFF") : m_error};
    }
    ~TiffDirectories() { TIFFClose(m_tiff); }
    TiffDirectories(const TiffDirectories&) = delete;
    TiffDirectories& operator=(const TiffDirectories&) = delete;

    Header header()
    {
        Header header;
        do {
            quint32 width = 0, height = 0;
            if (!TIFFGetField(m_tiff, TIFFTAG_IMAGEWIDTH, &width) ||
                !TIFFGetField(m_tiff, TIFFTAG_IMAGELENGTH, &height))
                throw Bad{"directory without a size"};
            header.frames.push_back(sized(width, height));
            if (header.frames.size() > PictureHeaders::maxFrames)
                break;
            // A decoder holds a whole tile or strip at once, whatever the picture's size.
            const quint64 block = TIFFIsTiled(m_tiff) ? TIFFTileSize64(m_tiff) : TIFFStripSize64(m_tiff);
            header.largestBlock =
                std::max(header.largestBlock, qint64(std::min<quint64>(block, std::numeric_limits<qint64>::max())));
        } while (TIFFReadDirectory(m_tiff));
        header.canvas = header.frames.front();
        return header;
    }

private:
    static int error(TIFF*, void* self, const char* module, const char* format, va_list args)
    {
        char text[256];
        std::vsnprintf(text, sizeof text, format, args);
        auto* directories = static_cast<TiffDirectories*>(self);
        if (directories->m_error.empty())
            directories->m_error = std::string(module ? module : "libtiff") + ": " + text;
        return 1;
    }
    static int warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }
    static TiffDirectories* self(thandle_t handle) { return static_cast<TiffDirectories*>(handle); }
    static tmsize_t read(thandle_t handle, void* data, tmsize_t size)
    {
        TiffDirectories* in = self(handle);
        const toff_t total = toff_t(in->m_bytes.size());
        const toff_t count = std::min(toff_t(size), total - std::min(in->m_at, total));
        if (count > 0)
            std::memcpy(data, in->m_bytes.constData() + in->m_at, count);
        in->m_at += count;
        return tmsize_t(count);
    }
    static tmsize_t write(thandle_t, void*, tmsize_t) { return 0; }
    static toff_t seek(thandle_t handle, toff_t offset, int whence)
    {
        TiffDirectories* in = self(handle);
        const toff_t base = whence == SEEK_CUR ? in->m_at : whence == SEEK_END ? toff_t(in->m_bytes.size()) : 0;
        in->m_at = base + offset;
        return in->m_at;
    }
    static int close(thandle_t) { return 0; }
    static toff_t size(thandle_t handle) { return toff_t(self(handle)->m_bytes.size()); }
    static int map(thandle_t, void**, toff_t*) { return 0; }
    static void unmap(thandle_t, void*, toff_t) {}

    const QByteArray& m_bytes;
    toff_t m_at = 0;
    TIFF* m_tiff = nullptr;
    std::string m_error;
};

Header webp(const QByteArray& bytes)
{
    const WebPData data{reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size())};
    WebPDemuxer* demux = WebPDemux(&data);
    if (!demux)
        throw Bad{"not a WebP container"};
    const auto release = qScopeGuard([&] { WebPDemuxDelete(demux); });
    Header header;
    header.canvas = sized(WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH), WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT));
    WebPIterator frame;
    if (WebPDemuxGetFrame(demux, 1, &frame)) {
        do {
            header.frames.push_back(sized(quint32(frame.width), quint32(frame.height)));
        } while (header.frames.size() <= PictureHeaders::maxFrames && WebPDemuxNextFrame(&frame));
        WebPDemuxReleaseIterator(&frame);
    }
    if (header.frames.empty())
        throw Bad{"no frame"};
    return header;
}

// HEIF and AVIF: the top-level pictures, the primary first, each at the size it is shown at (a grid
// of tiles at the whole grid's).
Header heif(const QByteArray& bytes)
{
    heif_context* context = heif_context_alloc();
    if (!context)
        throw std::bad_alloc();
    const auto release = qScopeGuard([&] { heif_context_free(context); });
    const heif_error read =
        heif_context_read_from_memory_without_copy(context, bytes.constData(), size_t(bytes.size()), nullptr);
    // libheif refuses pictures beyond its own limits, which lie beyond the worker's: the gate hears
    // of them as too large.
    if (read.code != heif_error_Ok && read.subcode == heif_suberror_Security_limit_exceeded)
        return single({0xffffffffu, 0xffffffffu});
    if (read.code != heif_error_Ok)
        throw Bad{read.message ? read.message : "not a HEIF file"};
    heif_item_id primary = 0;
    if (heif_context_get_primary_image_ID(context, &primary).code != heif_error_Ok)
        throw Bad{"no primary picture"};
    const int count = std::min<int>(heif_context_get_number_of_top_level_images(context), PictureHeaders::maxFrames);
    std::vector<heif_item_id> ids(size_t(std::max(count, 0)));
    heif_context_get_list_of_top_level_image_IDs(context, ids.data(), count);
    std::stable_partition(ids.begin(), ids.end(), [&](heif_item_id id) { return id == primary; });
    Header header;
    for (const heif_item_id id : ids) {
        heif_image_handle* handle = nullptr;
        if (heif_context_get_image_handle(context, id, &handle).code != heif_error_Ok)
            throw Bad{"picture without a header"};
        const int width = heif_image_handle_get_width(handle);
        const int height = heif_image_handle_get_height(handle);
        heif_image_handle_release(handle);
        if (width <= 0 || height <= 0)
            throw Bad{"no pixels"};
        header.frames.push_back(sized(quint32(width), quint32(height)));
    }
    if (header.frames.empty())
        throw Bad{"no picture"};
    header.canvas = header.frames.front();
    return header;
}

} // namespace

std::optional<Header> PictureHeaders::read(const QByteArray& bytes, const QByteArray& coder, std::string* fault)
{
    try {
        const Fields in(bytes);
        if (coder == "JPEG")
            return jpeg(in);
        if (coder == "PNG")
            return png(in);
        if (coder == "GIF")
            return gif(in);
        if (coder == "BMP")
            return bmp(in);
        if (coder == "TGA")
            return tga(in);
        if (coder == "ICO")
            return ico(in);
        if (coder == "PCX")
            return pcx(in);
        if (coder == "PNM")
            return pnm(in);
        if (coder == "TIFF")
            return TiffDirectories(bytes).header();
        if (coder == "WEBP")
            return webp(bytes);
        if (coder == "HEIC")
            return heif(bytes);
        throw Bad{"no reader of its header"};
    } catch (const Bad& bad) {
        if (fault)
            *fault = bad.why;
        return std::nullopt;
    }
}
