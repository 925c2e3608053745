// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/MagickWriters.h"

#include "worker/Failure.h"
#include "worker/MagickImages.h"
#include "worker/Metadata.h"
#include "worker/writers/Gif.h"
#include "worker/writers/Png.h"
#include "worker/writers/RowFilter.h"
#include "worker/writers/Tiff.h"

#include <zlib.h>

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <array>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {
using Protocol::Status;

using namespace MagickImages;
using namespace OutputFormat;

constexpr size_t largestIcon = 256;

constexpr std::array<size_t, 4> iconSizes{16, 32, 48, largestIcon};

static_assert(largestIcon == 256, "the ICO row of OutputFormat's table");

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

// TIFF requires a resolution (exiftool's validation: "Missing required XResolution"); a picture that
// records none gets the 72 pixels an inch readers assume.
constexpr Metadata::Resolution tiffResolution{72, 72, Metadata::Resolution::PerInch};

Metadata::Resolution tiffResolutionOf(const Magick::Image& image)
{
    const Metadata::Resolution recorded = resolutionOf(image);
    return recorded.unit == Metadata::Resolution::None ? tiffResolution : recorded;
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
} // namespace

Magick::Blob encode(std::list<Magick::Image>& frames, Index format, bool photographic)
{
    Magick::Blob blob;
    switch (format) {
    case Jpg: {
        Magick::Image& image = frames.front();
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
