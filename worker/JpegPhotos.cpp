// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/JpegPhotos.h"

#include "worker/IccProfiles.h"
#include "worker/Metadata.h"
#include "worker/RunLengthDeflate.h"

#include <QScopeGuard>
#include <QSize>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <libdeflate.h>
#include <libimagequant.h>
#include <zlib.h>

// The row filter works on 16 bytes at a time where SSE2 is there (every x86-64), on one elsewhere.
#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define ROW_FILTER_SSE2
#endif

using namespace OutputFormat;

namespace {

// Measured on Debian's 21 wallpapers (perf): of ImageMagick's JPEG to BMP, a third went to libjpeg,
// a tenth to its coder widening each sample to 16 bits, a tenth to the BMP coder and a twentieth to
// clearing buffers; the rest is the kernel copying the file. Decoding into 8-bit rows and writing them
// as they come leaves libjpeg and the copy.

constexpr char xmpHeader[] = "http://ns.adobe.com/xap/1.0/";
constexpr char exifHeader[] = "Exif\0";

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void leave(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void quietly(j_common_ptr) {}

// How densely the pixels were meant to be printed. Its units are numbered as JFIF numbers them.
using Density = Metadata::Resolution;
static_assert(Density::None == 0 && Density::PerInch == 1 && Density::PerCentimetre == 2);

// The thousandths of a conversion done, told as it goes: each stage covers a fixed part, measured on
// Debian's wallpapers, and reports the fraction of itself done.
class Steps {
public:
    void tellTo(const std::function<void(qint16 done)>& tell) { m_tell = tell; }
    // The next stage, which ends at until thousandths.
    void stage(int until)
    {
        m_from = m_until;
        m_until = until;
    }
    void at(double fraction) const
    {
        if (m_tell)
            m_tell(qint16(m_from + std::lround((m_until - m_from) * std::clamp(fraction, 0.0, 1.0))));
    }

private:
    std::function<void(qint16 done)> m_tell;
    int m_from = 0;
    int m_until = 0;
};

// A JPEG being decoded, with the markers an output carries on. Errors of libjpeg come back as a
// return of false, never as an exit of the process; a warning (data that ends early, a bad marker)
// counts as an error here, so that such a picture takes the general path and is reported as it is
// there.
class Decoder {
public:
    explicit Decoder(const QByteArray& bytes)
        : m_bytes(bytes)
    {
        m_info.err = jpeg_std_error(&m_error.base);
        m_error.base.error_exit = leave;
        m_error.base.output_message = quietly;
        jpeg_create_decompress(&m_info);
    }
    ~Decoder() { jpeg_destroy_decompress(&m_info); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Reads the header and the markers; false for anything but an 8-bit three-component picture.
    bool open()
    {
        if (setjmp(m_error.jump))
            return false;
        jpeg_mem_src(&m_info, reinterpret_cast<const unsigned char*>(m_bytes.constData()),
                     static_cast<unsigned long>(m_bytes.size()));
        jpeg_save_markers(&m_info, JPEG_COM, 0xffff);
        for (int marker = JPEG_APP0 + 1; marker <= JPEG_APP0 + 15; ++marker)
            jpeg_save_markers(&m_info, marker, 0xffff);
        if (jpeg_read_header(&m_info, TRUE) != JPEG_HEADER_OK)
            return false;
        if (m_info.num_components != 3 || m_info.data_precision != 8 ||
            (m_info.jpeg_color_space != JCS_YCbCr && m_info.jpeg_color_space != JCS_RGB))
            return false;
        JOCTET* icc = nullptr;
        unsigned int iccLength = 0;
        if (jpeg_read_icc_profile(&m_info, &icc, &iccLength)) {
            m_icc = QByteArray(reinterpret_cast<const char*>(icc), qsizetype(iccLength));
            std::free(icc);
        }
        // Markers and sampling go with the decoder's memory when it finishes; they are kept here.
        for (int component = 0; component < 3; ++component)
            m_sampling[size_t(component)] = {m_info.comp_info[component].h_samp_factor,
                                             m_info.comp_info[component].v_samp_factor};
        for (jpeg_saved_marker_ptr marker = m_info.marker_list; marker; marker = marker->next) {
            const QByteArray data(reinterpret_cast<const char*>(marker->data), qsizetype(marker->data_length));
            m_markers.push_back({marker->marker, data});
            if (marker->marker != JPEG_APP0 + 1)
                continue;
            if (data.startsWith(QByteArray::fromRawData(exifHeader, sizeof exifHeader)) && m_exif.isEmpty()) {
                m_exif = data;
                m_exifMarker = m_markers.size() - 1;
            } else if (data.startsWith(QByteArray::fromRawData(xmpHeader, sizeof xmpHeader)) && m_xmp.isEmpty())
                m_xmp = data.mid(qsizetype(sizeof xmpHeader));
        }
        // As ImageMagick reads it: EXIF's resolution, else JFIF's where it has a unit.
        if (const Metadata::Resolution exif = Metadata::resolutionOf(m_exif); exif.unit != Metadata::Resolution::None)
            m_density = exif;
        else if (m_info.saw_JFIF_marker && (m_info.density_unit == 1 || m_info.density_unit == 2))
            m_density = {double(m_info.X_density), double(m_info.Y_density), Density::Unit(m_info.density_unit)};
        return m_error.base.num_warnings == 0;
    }

    // Decodes the rows in space, each into the place rowAt gives, and hands each to done when given.
    bool read(J_COLOR_SPACE space, const std::function<quint8*(size_t row)>& rowAt,
              const std::function<void(size_t row)>& done = {})
    {
        if (setjmp(m_error.jump))
            return false;
        m_info.out_color_space = space;
        m_info.dct_method = JDCT_ISLOW;
        jpeg_start_decompress(&m_info);
        while (m_info.output_scanline < m_info.output_height) {
            const size_t row = m_info.output_scanline;
            JSAMPROW line = rowAt(row);
            if (jpeg_read_scanlines(&m_info, &line, 1) != 1)
                return false;
            if (done)
                done(row);
            m_steps.at(double(row + 1) / double(m_info.output_height));
        }
        jpeg_finish_decompress(&m_info);
        return m_error.base.num_warnings == 0;
    }

    // Where the conversion has got: read() advances the current stage row by row.
    Steps& steps() { return m_steps; }
    const Steps& steps() const { return m_steps; }

    size_t width() const { return m_info.image_width; }
    size_t height() const { return m_info.image_height; }
    const QByteArray& icc() const { return m_icc; }
    const QByteArray& exif() const { return m_exif; }
    // The EXIF block, and its marker, as an upright picture's output carries it: orientation 1 in a
    // type every reader takes (a source's invalid one was copied, and ImageMagick's path writes 1),
    // entries of types the standard does not allow left out.
    void settleExif()
    {
        m_exif = Metadata::upright(m_exif, false);
        if (m_exifMarker < m_markers.size())
            m_markers[m_exifMarker].second = m_exif;
    }
    const QByteArray& xmp() const { return m_xmp; }
    const Density& density() const { return m_density; }
    bool isYcc() const { return m_info.jpeg_color_space == JCS_YCbCr; }
    // Chroma sampling of each component, horizontal and vertical.
    const std::array<std::pair<int, int>, 3>& sampling() const { return m_sampling; }
    // The markers after the header, in their order: APP1 to APP15 and comments.
    const std::vector<std::pair<int, QByteArray>>& markers() const { return m_markers; }

private:
    const QByteArray& m_bytes;
    jpeg_decompress_struct m_info{};
    ErrorManager m_error{};
    QByteArray m_icc;
    QByteArray m_exif;
    QByteArray m_xmp;
    Density m_density;
    std::array<std::pair<int, int>, 3> m_sampling{};
    std::vector<std::pair<int, QByteArray>> m_markers;
    size_t m_exifMarker = SIZE_MAX;
    Steps m_steps;
};

// Bytes put into a buffer in one byte order.
class Writer {
public:
    explicit Writer(QByteArray& out, bool bigEndian = false)
        : m_out(out)
        , m_big(bigEndian)
    {
    }
    void u8(quint8 value) { m_out.append(char(value)); }
    void u16(quint16 value)
    {
        const quint16 v = m_big ? qToBigEndian(value) : qToLittleEndian(value);
        m_out.append(reinterpret_cast<const char*>(&v), 2);
    }
    void u32(quint32 value)
    {
        const quint32 v = m_big ? qToBigEndian(value) : qToLittleEndian(value);
        m_out.append(reinterpret_cast<const char*>(&v), 4);
    }
    void bytes(const QByteArray& data) { m_out.append(data); }
    void zeros(qsizetype count) { m_out.append(count, '\0'); }
    qsizetype size() const { return m_out.size(); }

private:
    QByteArray& m_out;
    bool m_big;
};

// A file kept in memory.
class BufferOutput : public JpegPhotos::Output {
public:
    void append(const char* data, size_t size) override { m_bytes.append(data, qsizetype(size)); }
    void overwrite(quint64 offset, const char* data, size_t size) override
    {
        if (offset + size > quint64(m_bytes.size()))
            m_bytes.resize(qsizetype(offset + size));
        std::memcpy(m_bytes.data() + offset, data, size);
    }
    QByteArray& bytes() { return m_bytes; }

private:
    QByteArray m_bytes;
};

// Rows are decoded into a buffer of about a mebibyte and written from it, never into a buffer as
// large as the file: on Debian's wallpapers the fresh memory of a whole BMP cost as much system time
// as writing it.
constexpr size_t chunkBytes = size_t(1) << 20;

size_t chunkRows(size_t stride)
{
    return std::max<size_t>(1, chunkBytes / std::max<size_t>(1, stride));
}

// As ImageMagick's BMP coder writes an opaque picture: a version 5 header with the channel masks,
// bottom row first, rows padded to four bytes.
bool bmpOf(Decoder& decoder, JpegPhotos::Output& file)
{
    const size_t width = decoder.width();
    const size_t height = decoder.height();
    const size_t stride = (width * 3 + 3) & ~size_t(3);
    const quint64 pixels = quint64(stride) * height;
    constexpr quint32 headers = 14 + 124;
    if (pixels + headers > 0xffffffffu)
        return false;
    const Density& density = decoder.density();
    const double perMetre = density.unit == Density::PerCentimetre ? 100.0 : 100.0 / 2.54;
    QByteArray out;
    Writer put(out);
    put.u8('B');
    put.u8('M');
    put.u32(quint32(headers + pixels));
    put.u32(0);
    put.u32(headers);
    put.u32(124);
    put.u32(quint32(width));
    put.u32(quint32(height));
    put.u16(1);
    put.u16(24);
    put.u32(0); // no compression
    put.u32(quint32(pixels));
    put.u32(quint32(perMetre * density.x));
    put.u32(quint32(perMetre * density.y));
    put.u32(0);
    put.u32(0);
    put.u32(0x00ff0000);
    put.u32(0x0000ff00);
    put.u32(0x000000ff);
    put.u32(0xff000000);
    put.u32(0x73524742); // sRGB
    put.zeros(36 + 12);  // end points, gamma
    put.u32(4);          // perceptual
    put.zeros(12);       // profile data and size, reserved
    file.append(out.constData(), size_t(out.size()));
    // The bottom row comes first: each buffer of rows holds them bottom up and goes where they belong.
    const size_t rows = chunkRows(stride);
    std::vector<quint8> chunk(rows * stride, 0);
    const auto rowsFrom = [&](size_t start) { return std::min(rows, height - start); };
    const bool read = decoder.read(
        JCS_EXT_BGR,
        [&](size_t row) {
            const size_t start = row - row % rows;
            return chunk.data() + (rowsFrom(start) - 1 - row % rows) * stride;
        },
        [&](size_t row) {
            const size_t start = row - row % rows;
            if (row + 1 != start + rowsFrom(start))
                return;
            file.overwrite(headers + quint64(height - start - rowsFrom(start)) * stride,
                           reinterpret_cast<const char*>(chunk.data()), rowsFrom(start) * stride);
        });
    return read;
}

// One row of one plane (every third byte of rgb from its first), run-length encoded as ImageMagick's
// PCX coder does: runs of up to 63, and a count before every run of more than one and before every
// single byte that looks like a count. Returns the end of what it wrote, at most twice width bytes.
quint8* pcxRuns(const quint8* rgb, size_t width, quint8* out)
{
    quint8 previous = rgb[0];
    unsigned count = 1;
    const auto flush = [&] {
        if (count > 1 || (previous & 0xc0) == 0xc0)
            *out++ = quint8(0xc0 | count);
        *out++ = previous;
    };
    for (size_t x = 1; x < width; ++x) {
        const quint8 value = rgb[x * 3];
        if (value == previous && count < 63) {
            ++count;
            continue;
        }
        flush();
        previous = value;
        count = 1;
    }
    flush();
    return out;
}

// As ImageMagick's PCX coder writes an opaque picture: version 5, three 8-bit planes a row.
bool pcxOf(Decoder& decoder, JpegPhotos::Output& file)
{
    const size_t width = decoder.width();
    const size_t height = decoder.height();
    if (width > 0xffff || height > 0xffff)
        return false;
    const Density& density = decoder.density();
    const double perInch = density.unit == Density::PerCentimetre ? 2.54 : 1.0;
    QByteArray out;
    out.reserve(qsizetype(chunkBytes + width * 6));
    Writer put(out);
    put.u8(0x0a);
    put.u8(5);
    put.u8(1);
    put.u8(8);
    put.u16(0);
    put.u16(0);
    put.u16(quint16(width - 1));
    put.u16(quint16(height - 1));
    put.u16(quint16(density.x * perInch + (density.unit == Density::PerCentimetre ? 0.5 : 0)));
    put.u16(quint16(density.y * perInch + (density.unit == Density::PerCentimetre ? 0.5 : 0)));
    put.zeros(48);
    put.u8(0);
    put.u8(3);
    put.u16(quint16(width));
    put.u16(1);
    put.zeros(128 - put.size());
    std::vector<quint8> row(width * 3);
    std::vector<quint8> runs(width * 6);
    const bool read = decoder.read(
        JCS_RGB, [&](size_t) { return row.data(); },
        [&](size_t) {
            quint8* end = runs.data();
            for (size_t channel = 0; channel < 3; ++channel)
                end = pcxRuns(row.data() + channel, width, end);
            out.append(reinterpret_cast<const char*>(runs.data()), end - runs.data());
            if (size_t(out.size()) >= chunkBytes) {
                file.append(out.constData(), size_t(out.size()));
                out.clear();
            }
        });
    if (read)
        file.append(out.constData(), size_t(out.size()));
    return read;
}

// What a TIFF's one directory says of its page, besides where its strips are.
struct TiffPage {
    size_t width = 0;
    size_t height = 0;
    int channels = 3;
    bool deflated = false;
    bool bigEndian = false;
    size_t stripRows = 256;
    QByteArray icc;
    QByteArray xmp;
    Density density;
    std::vector<quint32> offsets;
    std::vector<quint32> counts;
};

// The directory of page and the values it points at, for a directory that starts at directoryAt (even).
QByteArray tiffDirectory(const TiffPage& page, quint64 directoryAt)
{
    const bool big = page.bigEndian;
    // Values too long for their entry follow the directory; each entry points at its own.
    struct Entry {
        quint16 tag;
        quint16 type;
        quint32 count;
        QByteArray data; // in the file's byte order
    };
    const auto shorts = [&](const std::vector<quint16>& values) {
        QByteArray data;
        Writer w(data, big);
        for (const quint16 value : values)
            w.u16(value);
        return data;
    };
    const auto longs = [&](const std::vector<quint32>& values) {
        QByteArray data;
        Writer w(data, big);
        for (const quint32 value : values)
            w.u32(value);
        return data;
    };
    const quint32 strips = quint32(page.offsets.size());
    const quint16 channels = quint16(page.channels);
    constexpr quint16 shortType = 3, longType = 4, rationalType = 5, byteType = 1, undefinedType = 7;
    std::vector<Entry> entries{
        {256, longType, 1, longs({quint32(page.width)})},
        {257, longType, 1, longs({quint32(page.height)})},
        {258, shortType, channels, shorts(std::vector<quint16>(channels, 8))},
        {259, shortType, 1, shorts({quint16(page.deflated ? 8 : 1)})},
        {262, shortType, 1, shorts({2})},
        {273, longType, strips, longs(page.offsets)},
        {274, shortType, 1, shorts({1})},
        {277, shortType, 1, shorts({channels})},
        {278, longType, 1, longs({quint32(page.stripRows)})},
        {279, longType, strips, longs(page.counts)},
    };
    // TIFF requires a resolution (exiftool's validation: "Missing required XResolution"); a picture
    // that records none says the 72 pixels an inch readers assume.
    const bool recorded = page.density.x > 0 && page.density.y > 0 && page.density.unit != Density::None;
    const Density density = recorded ? page.density : Density{72, 72, Density::PerInch};
    const auto rational = [&](double value) { return longs({quint32(value * 10000 + 0.5), 10000}); };
    entries.push_back({282, rationalType, 1, rational(density.x)});
    entries.push_back({283, rationalType, 1, rational(density.y)});
    entries.push_back({284, shortType, 1, shorts({1})});
    entries.push_back({296, shortType, 1, shorts({quint16(density.unit + 1)})});
    if (page.deflated)
        entries.push_back({317, shortType, 1, shorts({2})}); // horizontal differencing
    if (channels == 4)
        entries.push_back({338, shortType, 1, shorts({2})}); // unassociated alpha
    if (!page.xmp.isEmpty())
        entries.push_back({700, byteType, quint32(page.xmp.size()), page.xmp});
    if (!page.icc.isEmpty())
        entries.push_back({34675, undefinedType, quint32(page.icc.size()), page.icc});

    QByteArray out;
    Writer put(out, big);
    quint64 valuesAt = directoryAt + 2 + entries.size() * 12 + 4;
    put.u16(quint16(entries.size()));
    for (const Entry& entry : entries) {
        put.u16(entry.tag);
        put.u16(entry.type);
        put.u32(entry.count);
        if (entry.data.size() <= 4) {
            put.bytes(entry.data);
            put.zeros(4 - entry.data.size());
        } else {
            put.u32(quint32(valuesAt));
            valuesAt += quint64(entry.data.size() + entry.data.size() % 2);
        }
    }
    put.u32(0); // no next directory
    for (const Entry& entry : entries) {
        if (entry.data.size() > 4) {
            put.bytes(entry.data);
            if (entry.data.size() % 2)
                put.u8(0);
        }
    }
    return out;
}

QByteArray tiffHeader(bool big, quint32 directoryAt)
{
    QByteArray out;
    Writer put(out, big);
    put.u8(big ? 'M' : 'I');
    put.u8(big ? 'M' : 'I');
    put.u16(42);
    put.u32(directoryAt);
    return out;
}

// A baseline TIFF of the decoded rows, uncompressed as ImageMagick stores photographs, in strips of
// 256 rows as it does, its directory after the pixels. The byte order is the EXIF block's, so that the
// block can be joined to the file afterwards.
bool tiffOf(Decoder& decoder, const QByteArray& icc, JpegPhotos::Output& file)
{
    TiffPage page;
    page.width = decoder.width();
    page.height = decoder.height();
    page.icc = icc;
    page.xmp = decoder.xmp();
    page.density = decoder.density();
    page.bigEndian = !decoder.exif().isEmpty() && Metadata::isBigEndian(decoder.exif());
    const quint64 stride = quint64(page.width) * 3;
    const quint64 pixels = stride * page.height;
    const size_t strips = (page.height + page.stripRows - 1) / page.stripRows;
    // Classic TIFF counts in 32 bits; a larger file takes the general path.
    if (pixels + quint64(icc.size() + page.xmp.size()) + strips * 8 + 4096 > 0xffffffffu)
        return false;
    constexpr quint64 pixelsAt = 8;
    const QByteArray header = tiffHeader(page.bigEndian, 0);
    file.append(header.constData(), size_t(header.size()));
    const size_t rows = chunkRows(stride);
    std::vector<quint8> chunk(rows * stride);
    const bool read = decoder.read(
        JCS_RGB, [&](size_t row) { return chunk.data() + (row % rows) * stride; },
        [&](size_t row) {
            if (row % rows == rows - 1 || row + 1 == page.height)
                file.append(reinterpret_cast<const char*>(chunk.data()), (row % rows + 1) * stride);
        });
    if (!read)
        return false;
    for (size_t strip = 0; strip < strips; ++strip) {
        page.offsets.push_back(quint32(pixelsAt + strip * page.stripRows * stride));
        page.counts.push_back(quint32(std::min(page.stripRows, page.height - strip * page.stripRows) * stride));
    }
    const quint64 directoryAt = pixelsAt + pixels + pixels % 2;
    QByteArray tail(qsizetype(pixels % 2), '\0');
    tail += tiffDirectory(page, directoryAt);
    file.append(tail.constData(), size_t(tail.size()));
    const QByteArray link = tiffHeader(page.bigEndian, quint32(directoryAt));
    file.overwrite(0, link.constData(), size_t(link.size()));
    return true;
}

// Encodes rows (YCbCr or RGB, as the source was) at quality 90 with the source's own chroma sampling
// and optimised Huffman tables, as ImageMagick encodes a JPEG, writing every marker the source carried
// (EXIF, XMP, the profile, IPTC, comments) again as it was. No object with a destructor lives here:
// an error of libjpeg comes back through longjmp.
bool compress(jpeg_compress_struct& info, ErrorManager& error, const Decoder& source, const quint8* rows,
              unsigned char** buffer, unsigned long* length)
{
    if (setjmp(error.jump))
        return false;
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, buffer, length);
    info.image_width = JDIMENSION(source.width());
    info.image_height = JDIMENSION(source.height());
    info.input_components = 3;
    info.in_color_space = source.isYcc() ? JCS_YCbCr : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    info.optimize_coding = TRUE;
    info.dct_method = JDCT_ISLOW;
    for (int component = 0; component < 3; ++component) {
        info.comp_info[component].h_samp_factor = source.sampling()[size_t(component)].first;
        info.comp_info[component].v_samp_factor = source.sampling()[size_t(component)].second;
    }
    const Density& density = source.density();
    info.write_JFIF_header = TRUE;
    info.density_unit = UINT8(density.unit);
    info.X_density = UINT16(density.x > 0 ? density.x : 1);
    info.Y_density = UINT16(density.y > 0 ? density.y : 1);
    jpeg_start_compress(&info, TRUE);
    for (const auto& [marker, data] : source.markers()) {
        if (marker != JPEG_APP0 + 14)
            jpeg_write_marker(&info, marker, reinterpret_cast<const JOCTET*>(data.constData()), unsigned(data.size()));
    }
    const size_t stride = size_t(info.image_width) * 3;
    while (info.next_scanline < info.image_height) {
        JSAMPROW line = const_cast<quint8*>(rows) + size_t(info.next_scanline) * stride;
        jpeg_write_scanlines(&info, &line, 1);
        source.steps().at(double(info.next_scanline) / double(info.image_height));
    }
    jpeg_finish_compress(&info);
    return true;
}

// The rows stay in YCbCr between decoder and encoder, saving two colour conversions.
std::optional<QByteArray> jpegOf(Decoder& decoder)
{
    const size_t stride = decoder.width() * 3;
    std::vector<quint8> rows(stride * decoder.height());
    if (!decoder.read(decoder.isYcc() ? JCS_YCbCr : JCS_RGB, [&](size_t row) { return rows.data() + row * stride; }))
        return std::nullopt;
    decoder.steps().stage(1000);
    ErrorManager error{};
    jpeg_compress_struct info{};
    info.err = jpeg_std_error(&error.base);
    error.base.error_exit = leave;
    error.base.output_message = quietly;
    // libjpeg's memory destination grows its buffer with malloc.
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    const bool done = compress(info, error, decoder, rows.data(), &buffer, &length);
    std::optional<QByteArray> out;
    if (done)
        out = QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(length));
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return out;
}

void pngChunk(QByteArray& out, const char* type, const QByteArray& data)
{
    Writer put(out, true);
    put.u32(quint32(data.size()));
    const qsizetype start = out.size();
    out.append(type, 4);
    out.append(data);
    put.u32(quint32(libdeflate_crc32(0, out.constData() + start, size_t(data.size()) + 4)));
}

// Ways to deflate filtered rows, fastest first. Measured on Debian's 21 wallpapers (1.5 to 24
// megapixels; whole pictures, one core), against zlib at level 7 with its strategy for filtered data,
// which is ImageMagick's and libpng's choice (43.6 s for the set): run-length matching (zlib's parse,
// written by RunLengthDeflate in 0.02 to 0.2 s a picture, zlib took 0.05 to 0.6 s) suits smooth
// pictures (an upscaled photograph, a gradient), 0.97 to 1.03 times zlib 7's size there, up to 1.26
// elsewhere; libdeflate at level 5 took 6.8 s for the set at 0.95 to 1.09 times (within the margin on
// four of the pictures, where it is a third faster than level 6), at level 6 9.6 s at
// 0.94 to 1.04 times, at level 7 16.4 s at 0.94 to 1.01 (the exception, 1.04, is a picture run-length
// matching suits). libdeflate gives the larger files on flat colour and fine repeated detail, which
// its levels 8 and 9 close but in more time than zlib's level 7 takes. All are tried on bands of rows
// spread over the picture, and the fastest within the margin of zlib's level 7 on each half of the
// sample there is kept. The whole picture's ratio came out up to 0.007 above the sample's on the
// wallpapers, more on smaller pictures: on 134 more (60 photographs made from the wallpapers at 640
// and 1200 pixels wide and cropped, 74 PNGs of Debian's documentation and icons) a margin of 1.3%
// let libdeflate 5 reach 1.019 and 1.022 times zlib's size on photographs of 0.3 to 1.4
// megapixels, and run-length matching up to 1.30 on diagrams and screenshots. With 1.1% for
// libdeflate, run-length matching kept at 1.3% but judged as below, and the limit on small pictures,
// the largest of all 155 was 1.015 times (run-length matching on a 1200-pixel photograph); 1.1% for
// run-length matching as well would have cost a wallpaper libdeflate 6's time for 0.2% of its size.
// (Smaller samples misjudged by more; so did filters favouring runs, which would have let libdeflate
// 6 serve five more pictures.)
constexpr double zlibMargin = 1.011;
constexpr double runLengthMargin = 1.013;
// Filtered rows under 2 MiB (0.7 megapixels of RGB) take the thorough way: their sample is a few
// dozen rows, misjudged by up to 0.1 on photographs and 0.3 on diagrams, and zlib's level 7 takes
// under 0.1 s there.
constexpr size_t sampledFrom = size_t(2) << 20;
// TIFF's Deflate for pictures that are not photographs, on the PNG wallpapers Debian ships (9.4
// megapixels, 28 MB uncompressed), whole conversions: libdeflate level 1 0.28 s for 3.9 MB, level 4
// 0.36 s for 3.3 MB, level 6 0.57 s for 3.2 MB; ImageMagick's zlib at level 3 0.48 s for 3.8 MB and
// at its own level 7 1.92 s for 3.0 MB. Level 1: the wallpaper set's TIFF took 1.31 to 1.54 s with
// it, 1.41 to 1.71 s with level 4, for a set of 585 MB instead of 584.
constexpr int tiffDeflateLevel = 1;

// The compressed bytes go into room for the worst case, left unwritten: only the pages the output
// reaches are touched.
QByteArray libdeflated(const quint8* data, size_t size, int level)
{
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    if (!compressor)
        throw std::bad_alloc();
    const auto freeCompressor = qScopeGuard([&] { libdeflate_free_compressor(compressor); });
    QByteArray out(qsizetype(libdeflate_zlib_compress_bound(compressor, size)), Qt::Uninitialized);
    const size_t length = libdeflate_zlib_compress(compressor, data, size, out.data(), size_t(out.size()));
    if (length == 0)
        throw std::bad_alloc();
    out.resize(qsizetype(length));
    return out;
}

QByteArray zlibDeflated(const quint8* data, size_t size, int level, int strategy)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, 15, 8, strategy) != Z_OK)
        throw std::bad_alloc();
    const auto end = qScopeGuard([&] { deflateEnd(&stream); });
    QByteArray out(qsizetype(deflateBound(&stream, uLong(size))), Qt::Uninitialized);
    stream.next_in = const_cast<quint8*>(data);
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    // zlib counts in 32 bits; larger pictures go in pieces.
    size_t left = size;
    int result = Z_OK;
    while (result == Z_OK) {
        const uInt piece = uInt(std::min<size_t>(left, 1u << 30));
        stream.avail_in = piece;
        left -= piece;
        stream.avail_out = uInt(std::min<size_t>(size_t(out.size()) - stream.total_out, 1u << 30));
        result = deflate(&stream, left ? Z_NO_FLUSH : Z_FINISH);
    }
    if (result != Z_STREAM_END)
        throw std::bad_alloc();
    out.resize(qsizetype(stream.total_out));
    return out;
}

QByteArray deflated(const quint8* filtered, size_t size, size_t height)
{
    enum class Coder { RunLength, Libdeflate, Zlib };
    struct Way {
        Coder coder;
        int level;
    };
    constexpr std::array<Way, 5> ways{{{Coder::RunLength, 6},
                                       {Coder::Libdeflate, 5},
                                       {Coder::Libdeflate, 6},
                                       {Coder::Libdeflate, 7},
                                       {Coder::Zlib, 7}}};
    const auto deflate = [](const quint8* data, size_t size, const Way& way) {
        switch (way.coder) {
        case Coder::RunLength:
            return RunLengthDeflate::deflated(data, size);
        case Coder::Libdeflate:
            return libdeflated(data, size, way.level);
        case Coder::Zlib:
            break;
        }
        return zlibDeflated(data, size, way.level, Z_FILTERED);
    };
    // Up to 12 bands of 6 rows, an eighth of the picture at most; a picture of fewer than 96 rows is
    // small enough for the thorough way. With four bands or more the sample is read in two halves,
    // alternate bands, each deflated on its own: a way clearly within the margin on the first half
    // or clearly over it is taken or passed over on that alone, the others are judged on each half.
    // The first half's ratio came within 0.012 of the whole picture's near the margin on the
    // wallpapers, so a way is taken on it alone only 0.010 under the margin; a quarter of the
    // sampling time goes, and every picture gets the way it got from the whole sample.
    constexpr size_t bandRows = 6;
    constexpr double clearlyUnder = zlibMargin - 0.010;
    constexpr double clearlyOver = zlibMargin + 0.015;
    const size_t bands = size < sampledFrom ? 0 : std::min<size_t>(12, height / (bandRows * 8));
    Way chosen = ways.back();
    if (bands >= 2) {
        const size_t stride = size / height;
        const size_t halves = bands >= 4 ? 2 : 1;
        std::array<std::vector<quint8>, 2> sample;
        for (size_t band = 0; band < bands; ++band) {
            const size_t top = (height - bandRows) * band / (bands - 1);
            sample[band % halves].insert(sample[band % halves].end(), filtered + top * stride,
                                         filtered + (top + bandRows) * stride);
        }
        // Each way's size on each half, deflated when first asked for.
        std::array<std::array<qsizetype, 2>, ways.size()> sizes{};
        const auto sizeOf = [&](size_t way, size_t half) {
            if (!sizes[way][half])
                sizes[way][half] = deflate(sample[half].data(), sample[half].size(), ways[way]).size();
            return double(sizes[way][half]);
        };
        const size_t thorough = ways.size() - 1;
        for (size_t way = 0; way < thorough; ++way) {
            // Run-length matching suits smooth pictures, where it is no larger than libdeflate's quick
            // search (the next way) on either half. On diagrams, screenshots and icons it misses the
            // long matches that bands of rows cannot show, and one half can look like a photograph: a
            // plot's first half said 0.93 times zlib's size, its second 1.18, the whole came out 1.10.
            const bool runs = ways[way].coder == Coder::RunLength;
            if (runs && (sizeOf(way, 0) > sizeOf(way + 1, 0) || (halves == 2 && sizeOf(way, 1) > sizeOf(way + 1, 1))))
                continue;
            const double first = sizeOf(way, 0) / sizeOf(thorough, 0);
            if (halves == 2 && first < clearlyUnder) {
                chosen = ways[way];
                break;
            }
            if (halves == 2 && first > clearlyOver)
                continue;
            const double second = halves == 1 ? first : sizeOf(way, 1) / sizeOf(thorough, 1);
            if (std::max(first, second) <= (runs ? runLengthMargin : zlibMargin)) {
                chosen = ways[way];
                break;
            }
        }
    }
    return deflate(filtered, size, chosen);
}

QSize dotsPerMetreOf(const Density& density)
{
    const double perMetre = density.unit == Density::PerCentimetre ? 100.0
                            : density.unit == Density::PerInch     ? 100.0 / 2.54
                                                                   : 0.0;
    return QSize(int(perMetre * density.x + 0.5), int(perMetre * density.y + 0.5));
}

// The PNG of filtered rows: the header, the colour (the profile, or sRGB's gamma and primaries as
// ImageMagick writes them for a picture without one), resolution, EXIF and XMP ahead of the pixels,
// where readers look for them, and the pixels deflated in one piece.
QByteArray pngOfFiltered(const quint8* filtered, size_t width, size_t height, int channels, const QByteArray& icc,
                         const QByteArray& exif, const QByteArray& xmp, const Density& density)
{
    QByteArray out("\x89PNG\r\n\x1a\n", 8);
    QByteArray data;
    Writer put(data, true);
    put.u32(quint32(width));
    put.u32(quint32(height));
    put.u8(8);
    put.u8(channels == 4 ? 6 : 2);
    put.zeros(3);
    pngChunk(out, "IHDR", data);
    if (!icc.isEmpty()) {
        QByteArray profile("icc\0\0", 5);
        profile += qCompress(icc).mid(4); // qCompress puts the length before zlib's stream
        pngChunk(out, "iCCP", profile);
    } else {
        data.clear();
        put.u32(45455);
        pngChunk(out, "gAMA", data);
        data.clear();
        for (const quint32 value : {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000})
            put.u32(value);
        pngChunk(out, "cHRM", data);
    }
    if (const QSize dotsPerMetre = dotsPerMetreOf(density); dotsPerMetre.width() > 0 && dotsPerMetre.height() > 0) {
        data.clear();
        put.u32(quint32(dotsPerMetre.width()));
        put.u32(quint32(dotsPerMetre.height()));
        put.u8(1);
        pngChunk(out, "pHYs", data);
    }
    if (!exif.isEmpty())
        pngChunk(out, "eXIf",
                 exif.startsWith(QByteArray::fromRawData(exifHeader, sizeof exifHeader)) ? exif.mid(6) : exif);
    if (!xmp.isEmpty())
        pngChunk(out, "iTXt", QByteArray("XML:com.adobe.xmp\0\0\0\0\0", 22) + xmp);

    const QByteArray pixels = deflated(filtered, (width * size_t(channels) + 1) * height, height);
    const size_t length = size_t(pixels.size());
    // Chunks of at most 1 MiB, as other encoders write them.
    constexpr size_t chunk = size_t(1) << 20;
    out.reserve(out.size() + pixels.size() + qsizetype(length / chunk + 2) * 12);
    for (size_t at = 0; at < length; at += chunk)
        pngChunk(out, "IDAT",
                 QByteArray::fromRawData(pixels.constData() + at, qsizetype(std::min(chunk, length - at))));
    pngChunk(out, "IEND", {});
    return out;
}

std::optional<QByteArray> gifOf(Decoder& decoder)
{
    const size_t stride = decoder.width() * 4;
    std::vector<quint8> rgba(stride * decoder.height());
    if (!decoder.read(JCS_EXT_RGBA, [&](size_t row) { return rgba.data() + row * stride; }))
        return std::nullopt;
    decoder.steps().stage(900);
    return JpegPhotos::gif(rgba.data(), decoder.width(), decoder.height(),
                           [&](double fraction) { decoder.steps().at(fraction); });
}

// The rows are filtered as they are decoded; only the filtered picture is kept whole.
std::optional<QByteArray> pngOf(Decoder& decoder, const QByteArray& icc)
{
    const size_t width = decoder.width();
    const size_t height = decoder.height();
    const size_t stride = width * 3;
    std::vector<quint8> rows(2 * stride);
    // Every byte is written by the filter, so none is cleared first.
    const auto filtered = std::make_unique_for_overwrite<quint8[]>((stride + 1) * height);
    JpegPhotos::RowFilter filter(stride, 3);
    const auto rowAt = [&](size_t row) { return rows.data() + (row % 2) * stride; };
    const bool read = decoder.read(JCS_RGB, rowAt, [&](size_t row) {
        filter.filter(rowAt(row), row ? rowAt(row + 1) : nullptr, filtered.get() + row * (stride + 1));
    });
    if (!read)
        return std::nullopt;
    return pngOfFiltered(filtered.get(), width, height, 3, icc, decoder.exif(), decoder.xmp(), decoder.density());
}

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

JpegPhotos::RowFilter::RowFilter(size_t stride, size_t pixelBytes)
    : m_stride(stride)
    , m_pixelBytes(pixelBytes)
    , m_none(stride, 0)
{
}

namespace {
// Paeth's predictor with its distances worked out from the neighbours alone, so that the loops below
// have no branch the compiler cannot turn into a select.
inline int paeth(int left, int up, int upLeft)
{
    const int toLeft = std::abs(up - upLeft);
    const int toUp = std::abs(left - upLeft);
    const int toUpLeft = std::abs(left + up - 2 * upLeft);
    return toLeft <= toUp && toLeft <= toUpLeft ? left : toUp <= toUpLeft ? up : upLeft;
}

// How far a filtered byte is from zero, read as signed.
inline quint32 signedSize(int value)
{
    return quint32(std::abs(int(qint8(quint8(value)))));
}

// PNG's filters: 0 none, 1 left, 2 up, 3 average, 4 Paeth. x is the byte, a the one to its left,
// b the one above, c the one above to the left.
template <int type> inline quint8 filtered(int x, int a, int b, int c)
{
    if constexpr (type == 0)
        return quint8(x);
    else if constexpr (type == 1)
        return quint8(x - a);
    else if constexpr (type == 2)
        return quint8(x - b);
    else if constexpr (type == 3)
        return quint8(x - ((a + b) >> 1));
    else
        return quint8(x - paeth(a, b, c));
}

// The bytes after the first pixel, whose left neighbours are in the row: line and above start one
// pixel back, so that one index reaches each byte and its neighbours.
template <int type>
void filterTail(const quint8* line, const quint8* above, size_t from, size_t count, size_t bpp, quint8* out)
{
    for (size_t i = from; i < count; ++i)
        out[i] = filtered<type>(line[bpp + i], line[i], above[bpp + i], above[i]);
}

#ifdef ROW_FILTER_SSE2
// Sixteen bytes at a time, all in 8-bit lanes. perf on the wallpapers' PNG run put the filter at 8% of
// the time in 32-bit lanes, as the compiler vectorised it; in bytes it is a third of that.
struct Bytes16 {
    __m128i x, a, b, c;
};

inline Bytes16 load16(const quint8* line, const quint8* above, size_t i, size_t bpp)
{
    const auto at = [](const quint8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    return {at(line + bpp + i), at(line + i), at(above + bpp + i), at(above + i)};
}

inline __m128i distance16(__m128i p, __m128i q)
{
    return _mm_or_si128(_mm_subs_epu8(p, q), _mm_subs_epu8(q, p));
}

inline __m128i atMost16(__m128i p, __m128i q)
{
    return _mm_cmpeq_epi8(_mm_min_epu8(p, q), p);
}

inline __m128i select16(__m128i mask, __m128i yes, __m128i no)
{
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// Paeth's choice with 8-bit distances: |a + b - 2c| is the sum of |b - c| and |a - c| where a and b lie
// on the same side of c, their difference otherwise. The sum saturates at 255, which no comparison
// with the other two distances (at most 255 each) can tell from the true sum.
inline __m128i paeth16(__m128i a, __m128i b, __m128i c)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i toLeft = distance16(b, c);
    const __m128i toUp = distance16(a, c);
    const __m128i sameSide =
        _mm_cmpeq_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(c, a), zero), _mm_cmpeq_epi8(_mm_subs_epu8(c, b), zero));
    const __m128i toUpLeft = select16(sameSide, _mm_adds_epu8(toLeft, toUp), distance16(toLeft, toUp));
    const __m128i left = _mm_and_si128(atMost16(toLeft, toUp), atMost16(toLeft, toUpLeft));
    return select16(left, a, select16(atMost16(toUp, toUpLeft), b, c));
}

template <int type> inline __m128i filtered16(const Bytes16& p)
{
    if constexpr (type == 0)
        return p.x;
    else if constexpr (type == 1)
        return _mm_sub_epi8(p.x, p.a);
    else if constexpr (type == 2)
        return _mm_sub_epi8(p.x, p.b);
    else if constexpr (type == 3) // _mm_avg_epu8 rounds up, PNG's average down
        return _mm_sub_epi8(
            p.x, _mm_sub_epi8(_mm_avg_epu8(p.a, p.b), _mm_and_si128(_mm_xor_si128(p.a, p.b), _mm_set1_epi8(1))));
    else
        return _mm_sub_epi8(p.x, paeth16(p.a, p.b, p.c));
}

// Sums |byte| of filtered bytes read as signed, in two 64-bit halves.
inline __m128i signedSizes16(__m128i bytes)
{
    const __m128i zero = _mm_setzero_si128();
    return _mm_sad_epu8(_mm_min_epu8(bytes, _mm_sub_epi8(zero, bytes)), zero);
}

inline quint64 total16(__m128i sums)
{
    return quint64(_mm_cvtsi128_si64(sums)) + quint64(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

constexpr size_t vectorBytes = 16;
#endif

template <int type> void filterInto(const quint8* line, const quint8* above, size_t count, size_t bpp, quint8* out)
{
    size_t i = 0;
#ifdef ROW_FILTER_SSE2
    for (; i + vectorBytes <= count; i += vectorBytes)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), filtered16<type>(load16(line, above, i, bpp)));
#endif
    filterTail<type>(line, above, i, count, bpp, out);
}
} // namespace

// The costs of all five filters are summed in one pass and only the chosen filter's bytes are written,
// in a second, without branches in the loops.
void JpegPhotos::RowFilter::filter(const quint8* line, const quint8* above, quint8* out)
{
    if (!above)
        above = m_none.data();
    const size_t bpp = std::min(m_pixelBytes, m_stride);
    const size_t rest = m_stride - bpp;
    std::array<quint64, 5> cost{};
    // The first pixel has nothing to its left.
    for (size_t i = 0; i < bpp; ++i) {
        cost[0] += signedSize(filtered<0>(line[i], 0, above[i], 0));
        cost[1] += signedSize(filtered<1>(line[i], 0, above[i], 0));
        cost[2] += signedSize(filtered<2>(line[i], 0, above[i], 0));
        cost[3] += signedSize(filtered<3>(line[i], 0, above[i], 0));
        cost[4] += signedSize(filtered<4>(line[i], 0, above[i], 0));
    }
    size_t i = 0;
#ifdef ROW_FILTER_SSE2
    __m128i none = _mm_setzero_si128(), left = none, up = none, average = none, predicted = none;
    for (; i + vectorBytes <= rest; i += vectorBytes) {
        const Bytes16 p = load16(line, above, i, bpp);
        none = _mm_add_epi64(none, signedSizes16(filtered16<0>(p)));
        left = _mm_add_epi64(left, signedSizes16(filtered16<1>(p)));
        up = _mm_add_epi64(up, signedSizes16(filtered16<2>(p)));
        average = _mm_add_epi64(average, signedSizes16(filtered16<3>(p)));
        predicted = _mm_add_epi64(predicted, signedSizes16(filtered16<4>(p)));
    }
    cost[0] += total16(none);
    cost[1] += total16(left);
    cost[2] += total16(up);
    cost[3] += total16(average);
    cost[4] += total16(predicted);
#endif
    for (; i < rest; ++i) {
        const int x = line[bpp + i], a = line[i], b = above[bpp + i], c = above[i];
        cost[0] += signedSize(filtered<0>(x, a, b, c));
        cost[1] += signedSize(filtered<1>(x, a, b, c));
        cost[2] += signedSize(filtered<2>(x, a, b, c));
        cost[3] += signedSize(filtered<3>(x, a, b, c));
        cost[4] += signedSize(filtered<4>(x, a, b, c));
    }
    // libpng leaves a picture one pixel wide to none and up, the filters that need no left neighbour.
    if (rest == 0)
        cost[1] = cost[3] = cost[4] = std::numeric_limits<quint64>::max();
    const int best = int(std::min_element(cost.begin(), cost.end()) - cost.begin());
    out[0] = quint8(best);
    quint8* const bytes = out + 1;
    const auto first = [&](auto filter) {
        for (size_t i = 0; i < bpp; ++i)
            bytes[i] = filter(line[i], 0, above[i], 0);
    };
    switch (best) {
    case 0:
        std::memcpy(bytes, line, m_stride);
        break;
    case 1:
        first(filtered<1>);
        filterInto<1>(line, above, rest, bpp, bytes + bpp);
        break;
    case 2:
        first(filtered<2>);
        filterInto<2>(line, above, rest, bpp, bytes + bpp);
        break;
    case 3:
        first(filtered<3>);
        filterInto<3>(line, above, rest, bpp, bytes + bpp);
        break;
    default:
        first(filtered<4>);
        filterInto<4>(line, above, rest, bpp, bytes + bpp);
        break;
    }
}

// The file as ImageMagick writes a single opaque picture: GIF89a, a global table of a power of two
// colours, a graphic control block without transparency or delay, and the pixels, not interlaced.
QByteArray JpegPhotos::gifOfIndexes(const quint8* indexes, size_t width, size_t height, const quint8* palette,
                                    unsigned colours)
{
    int bits = 1;
    while ((1u << bits) < colours)
        ++bits;
    QByteArray out("GIF89a");
    Writer put(out);
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
std::optional<QByteArray> JpegPhotos::gif(const quint8* rgba, size_t width, size_t height,
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

// Deflate for pictures where compression pays (drawings, gradients, screenshots): each strip's rows
// differenced from the left, as ImageMagick does, and compressed by libdeflate.
QByteArray JpegPhotos::deflatedTiff(const quint8* rows, size_t width, size_t height, int channels,
                                    const QByteArray& icc, const QByteArray& xmp,
                                    const Metadata::Resolution& resolution, bool bigEndian)
{
    TiffPage page;
    page.width = width;
    page.height = height;
    page.channels = channels;
    page.deflated = true;
    page.bigEndian = bigEndian;
    page.stripRows = std::max<size_t>(
        1, std::min<size_t>(height, (size_t(1) << 20) / std::max<size_t>(1, width * size_t(channels))));
    page.icc = icc;
    page.xmp = xmp;
    page.density = resolution;
    const size_t stride = width * size_t(channels);
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(tiffDeflateLevel);
    if (!compressor)
        throw std::bad_alloc();
    const auto freeCompressor = qScopeGuard([&] { libdeflate_free_compressor(compressor); });
    QByteArray out = tiffHeader(bigEndian, 0);
    std::vector<quint8> differenced(page.stripRows * stride);
    std::vector<quint8> deflated(libdeflate_zlib_compress_bound(compressor, differenced.size()));
    for (size_t top = 0; top < height; top += page.stripRows) {
        const size_t count = std::min(page.stripRows, height - top);
        for (size_t row = 0; row < count; ++row) {
            const quint8* in = rows + (top + row) * stride;
            quint8* to = differenced.data() + row * stride;
            std::memcpy(to, in, std::min(stride, size_t(channels)));
            for (size_t i = size_t(channels); i < stride; ++i)
                to[i] = quint8(in[i] - in[i - size_t(channels)]);
        }
        const size_t length =
            libdeflate_zlib_compress(compressor, differenced.data(), count * stride, deflated.data(), deflated.size());
        if (length == 0)
            throw std::bad_alloc();
        page.offsets.push_back(quint32(out.size()));
        page.counts.push_back(quint32(length));
        out.append(reinterpret_cast<const char*>(deflated.data()), qsizetype(length));
        if (out.size() % 2)
            out.append('\0');
    }
    if (quint64(out.size()) + quint64(icc.size() + xmp.size()) + page.offsets.size() * 8 + 4096 > 0xffffffffu)
        throw std::bad_alloc();
    const quint32 directoryAt = quint32(out.size());
    out += tiffDirectory(page, directoryAt);
    const QByteArray link = tiffHeader(bigEndian, directoryAt);
    std::memcpy(out.data(), link.constData(), size_t(link.size()));
    return out;
}

QByteArray JpegPhotos::png(const quint8* rows, size_t width, size_t height, int channels, const QByteArray& icc,
                           const QByteArray& exif, const QByteArray& xmp, const Metadata::Resolution& resolution)
{
    const size_t stride = width * size_t(channels);
    const auto filtered = std::make_unique_for_overwrite<quint8[]>((stride + 1) * height);
    JpegPhotos::RowFilter filter(stride, size_t(channels));
    for (size_t row = 0; row < height; ++row)
        filter.filter(rows + row * stride, row ? rows + (row - 1) * stride : nullptr,
                      filtered.get() + row * (stride + 1));
    return pngOfFiltered(filtered.get(), width, height, channels, icc, exif, xmp, resolution);
}

bool JpegPhotos::convert(const QByteArray& jpeg, Index format, Output& out,
                         const std::function<void(qint64 pixels)>& pixelsKnown,
                         const std::function<void(qint16 done)>& done)
{
    const OutputFormat::Traits& output = OutputFormat::traits(format);
    if (!output.fromJpegRows)
        return false;
    Decoder decoder(jpeg);
    if (!decoder.open())
        return false;
    const int orientation = Metadata::orientationOf(decoder.exif());
    if (orientation > 1)
        return false;
    decoder.settleExif();
    // A profile that does not describe RGB pixels is dropped, as on the general path. Outputs whose
    // readers ignore profiles need pixels in sRGB, which only a source in sRGB has here.
    QByteArray icc = decoder.icc();
    if (!icc.isEmpty() && IccProfiles::spaceOf(icc) != IccProfiles::Space::Rgb)
        icc.clear();
    if (!output.keepsProfile && !icc.isEmpty() && !IccProfiles::isSrgb(icc))
        return false;
    if (pixelsKnown)
        pixelsKnown(qint64(decoder.width()) * qint64(decoder.height()));
    decoder.steps().tellTo(done);
    decoder.steps().stage(output.jpegDecodingShare);
    // Compressed files are small and made whole in memory; the others are written as they are made.
    const auto inMemory = [&](const std::optional<QByteArray>& file) {
        if (file)
            out.append(file->constData(), size_t(file->size()));
        return file.has_value();
    };
    switch (format) {
    case Jpg:
        return inMemory(jpegOf(decoder));
    case Bmp:
        return bmpOf(decoder, out);
    case Pcx:
        return pcxOf(decoder, out);
    case Png:
        return inMemory(pngOf(decoder, icc));
    case Gif:
        return inMemory(gifOf(decoder));
    case Tiff:
        if (!decoder.exif().isEmpty()) {
            // The EXIF block is joined to the whole file.
            BufferOutput file;
            return tiffOf(decoder, icc, file) && inMemory(Metadata::tiffWithExif(file.bytes(), decoder.exif()));
        }
        return tiffOf(decoder, icc, out);
    default:
        return false;
    }
}

std::optional<QByteArray> JpegPhotos::convert(const QByteArray& jpeg, Index format)
{
    BufferOutput out;
    if (!convert(jpeg, format, out))
        return std::nullopt;
    return out.bytes();
}
