// SPDX-License-Identifier: GPL-3.0-or-later
// Rows stored as they are decoded: the TIFF set 1.48 s against mogrify's 7.31 s (README, Benchmark).
#include "worker/writers/Tiff.h"

#include "worker/writers/ByteWriter.h"
#include "worker/writers/Output.h"
#include "worker/writers/RowSource.h"

#include <QScopeGuard>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include <libdeflate.h>

namespace {

using Density = Metadata::Resolution;

// TIFF's Deflate for pictures that are not photographs, on the PNG wallpapers Debian ships (9.4
// megapixels, 28 MB uncompressed), whole conversions: libdeflate level 1 0.28 s for 3.9 MB, level 4
// 0.36 s for 3.3 MB, level 6 0.57 s for 3.2 MB; ImageMagick's zlib at level 3 0.48 s for 3.8 MB and
// at its own level 7 1.92 s for 3.0 MB. Level 1: the wallpaper set's TIFF took 1.31 to 1.54 s with
// it, 1.41 to 1.71 s with level 4, for a set of 585 MB instead of 584.
constexpr int tiffDeflateLevel = 1;

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
        ByteWriter w(data, big);
        for (const quint16 value : values)
            w.u16(value);
        return data;
    };
    const auto longs = [&](const std::vector<quint32>& values) {
        QByteArray data;
        ByteWriter w(data, big);
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
    ByteWriter put(out, big);
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
    ByteWriter put(out, big);
    put.u8(big ? 'M' : 'I');
    put.u8(big ? 'M' : 'I');
    put.u16(42);
    put.u32(directoryAt);
    return out;
}

// The directory goes after the pixels, which are written as they come. The byte order is the EXIF
// block's, so that the block can be joined to the file afterwards.
bool photoTiff(RowSource& source, const QByteArray& icc, const QByteArray& xmp, const QByteArray& exif,
               const Density& density, Output& file)
{
    TiffPage page;
    page.width = source.width();
    page.height = source.height();
    page.icc = icc;
    page.xmp = xmp;
    page.density = density;
    page.bigEndian = !exif.isEmpty() && Metadata::isBigEndian(exif);
    const quint64 stride = quint64(page.width) * 3;
    const quint64 pixels = stride * page.height;
    const size_t strips = (page.height + page.stripRows - 1) / page.stripRows;
    // Classic TIFF counts in 32 bits; a larger file takes the general path.
    if (pixels + quint64(icc.size() + page.xmp.size()) + strips * 8 + 4096 > 0xffffffffu)
        return false;
    constexpr quint64 pixelsAt = 8;
    const QByteArray header = tiffHeader(page.bigEndian, 0);
    file.append(header.constData(), size_t(header.size()));
    const size_t rows = Output::chunkRows(stride);
    std::vector<quint8> chunk(rows * stride);
    const bool read = source.read(
        RowSource::Samples::Rgb, [&](size_t row) { return chunk.data() + (row % rows) * stride; },
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

} // namespace

bool TiffWriter::write(RowSource& rows, const QByteArray& icc, const QByteArray& xmp, const QByteArray& exif,
                       const Metadata::Resolution& resolution, Output& file)
{
    if (exif.isEmpty())
        return photoTiff(rows, icc, xmp, exif, resolution, file);
    // The EXIF block is joined to the whole file.
    MemoryOutput whole;
    if (!photoTiff(rows, icc, xmp, exif, resolution, whole))
        return false;
    const QByteArray joined = Metadata::tiffWithExif(whole.bytes(), exif);
    file.append(joined.constData(), size_t(joined.size()));
    return true;
}

// Deflate for pictures where compression pays (drawings, gradients, screenshots): each strip's rows
// differenced from the left, as ImageMagick does, and compressed by libdeflate.
QByteArray TiffWriter::deflatedTiff(const quint8* rows, size_t width, size_t height, int channels,
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
