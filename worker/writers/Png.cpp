// SPDX-License-Identifier: GPL-3.0-or-later
// libpng would deflate by zlib, nine tenths of the time: the PNG set 7.49 s against mogrify's 51.7 (README, Benchmark).
#include "worker/writers/Png.h"
#include "worker/MagickImages.h"

#include "worker/writers/ByteWriter.h"
#include "worker/writers/Output.h"
#include "worker/writers/RowFilter.h"
#include "worker/writers/RowSource.h"
#include "worker/writers/RunLengthDeflate.h"

#include <QScopeGuard>
#include <QSize>

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

namespace {

using Density = Metadata::Resolution;

constexpr char exifHeader[] = "Exif\0";

void pngChunk(QByteArray& out, const char* type, const QByteArray& data)
{
    ByteWriter put(out, true);
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
    return QSize(ByteWriter::clamped<int>(perMetre * density.x + 0.5),
                 ByteWriter::clamped<int>(perMetre * density.y + 0.5));
}

// The PNG of filtered rows: the header, the colour (the profile, or sRGB's gamma and primaries as
// ImageMagick writes them for a picture without one), resolution, EXIF and XMP ahead of the pixels,
// where readers look for them, and the pixels deflated in one piece.
QByteArray pngOfFiltered(const quint8* filtered, size_t width, size_t height, int channels, const QByteArray& icc,
                         const QByteArray& exif, const QByteArray& xmp, const Density& density)
{
    QByteArray out("\x89PNG\r\n\x1a\n", 8);
    QByteArray data;
    ByteWriter put(data, true);
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

} // namespace

QByteArray PngWriter::png(const quint8* rows, size_t width, size_t height, int channels, const QByteArray& icc,
                          const QByteArray& exif, const QByteArray& xmp, const Metadata::Resolution& resolution)
{
    const size_t stride = width * size_t(channels);
    const auto filtered = std::make_unique_for_overwrite<quint8[]>((stride + 1) * height);
    RowFilter filter(stride, size_t(channels));
    for (size_t row = 0; row < height; ++row)
        filter.filter(rows + row * stride, row ? rows + (row - 1) * stride : nullptr,
                      filtered.get() + row * (stride + 1));
    return pngOfFiltered(filtered.get(), width, height, channels, icc, exif, xmp, resolution);
}

// The rows are filtered as they are decoded; only the filtered picture is kept whole.
bool PngWriter::write(RowSource& source, const QByteArray& icc, const QByteArray& exif, const QByteArray& xmp,
                      const Metadata::Resolution& resolution, Output& file)
{
    const size_t width = source.width();
    const size_t height = source.height();
    const size_t stride = width * 3;
    std::vector<quint8> rows(2 * stride);
    // Every byte is written by the filter, so none is cleared first.
    const auto filtered = std::make_unique_for_overwrite<quint8[]>((stride + 1) * height);
    RowFilter filter(stride, 3);
    const auto rowAt = [&](size_t row) { return rows.data() + (row % 2) * stride; };
    const bool read = source.read(RowSource::Samples::Rgb, rowAt, [&](size_t row) {
        filter.filter(rowAt(row), row ? rowAt(row + 1) : nullptr, filtered.get() + row * (stride + 1));
    });
    if (!read)
        return false;
    const QByteArray png = pngOfFiltered(filtered.get(), width, height, 3, icc, exif, xmp, resolution);
    file.append(png.constData(), size_t(png.size()));
    return true;
}

// Pictures of the general route, decoded and settled by ImageMagick, written by its coder with the
// settings below.

using namespace MagickImages;

namespace {
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
} // namespace

Magick::Blob PngWriter::ofImage(Magick::Image& image)
{
    Magick::Blob blob;
    if (!hasTransparency(image))
        image.matte(false);
    if (const std::optional<Rows> rows = rowsOfManyColours(image)) {
        return blobOf(PngWriter::png(rows->bytes.data(), image.columns(), image.rows(), rows->channels,
                                     profileOf(image, "icc"), profileOf(image, "exif"), profileOf(image, "xmp"),
                                     resolutionOf(image)));
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
    return blob;
}
