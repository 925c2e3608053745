// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/writers/Tiff.h"
#include "worker/Failure.h"
#include "worker/MagickImages.h"

#include "worker/writers/Output.h"
#include "worker/writers/RowSource.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include <tiffio.h>

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <sys/stat.h>
#include <unistd.h>

// libtiff writes these files. The hand-written writer it replaced was no faster for photographs and
// 8% faster for deflated pages (libtiff's own differencing), under the 10% a hand-written one must
// gain (README, Benchmark).

namespace {

using Density = Metadata::Resolution;

// TIFF's Deflate for pictures that are not photographs, on the PNG wallpapers Debian ships (9.4
// megapixels, 28 MB uncompressed), whole conversions: libdeflate level 1 0.28 s for 3.9 MB, level 4
// 0.36 s for 3.3 MB, level 6 0.57 s for 3.2 MB; ImageMagick's zlib at level 3 0.48 s for 3.8 MB and
// at its own level 7 1.92 s for 3.0 MB. Level 1: the wallpaper set's TIFF took 1.31 to 1.54 s with
// it, 1.41 to 1.71 s with level 4, for a set of 585 MB instead of 584.
constexpr int tiffDeflateLevel = 1;

// What the one page of a file holds besides its pixels.
struct Page {
    size_t width = 0;
    size_t height = 0;
    int channels = 3;
    bool bigEndian = false;
    // Deflate with horizontal differencing; uncompressed otherwise.
    bool deflated = false;
    size_t stripRows = 256;
    QByteArray icc;
    QByteArray xmp;
    Density density;
};

// One page written by libtiff to an output as its rows arrive, in any number at a time. libtiff seeks
// and writes; an output appends and overwrites, so a write at the end appends and any other
// overwrites. Writing one page, libtiff 4.5 never reads back (checked on the wallpapers), so reading
// fails rather than pretending.
class PageWriter {
public:
    PageWriter(Output& out, const Page& page)
        : m_out(out)
        , m_page(page)
    {
        m_page.stripRows = std::clamp<size_t>(page.stripRows, 1, std::max<size_t>(1, page.height));
        if (page.width == 0 || page.height == 0 || page.width > 0xffffffffu || page.height > 0xffffffffu ||
            (page.channels != 3 && page.channels != 4) || !open())
            m_failed = true;
    }
    ~PageWriter()
    {
        if (m_tiff)
            TIFFCleanup(m_tiff);
    }
    PageWriter(const PageWriter&) = delete;
    PageWriter& operator=(const PageWriter&) = delete;

    // Adds count rows; false on an error of libtiff. The output's own failure is thrown.
    bool addRows(const quint8* rows, size_t count);
    // Writes the directory; false when the rows did not all come or libtiff failed.
    bool finish();

private:
    size_t stride() const { return m_page.width * size_t(m_page.channels); }
    bool open();
    void write(uint32_t strip, const quint8* rows, size_t count, bool raw);
    void rethrow()
    {
        if (m_thrown)
            std::rethrow_exception(std::exchange(m_thrown, nullptr));
    }

    static PageWriter* of(thandle_t handle) { return static_cast<PageWriter*>(handle); }
    static tmsize_t readProc(thandle_t, void*, tmsize_t) { return 0; }
    static tmsize_t writeProc(thandle_t handle, void* data, tmsize_t size);
    static toff_t seekProc(thandle_t handle, toff_t offset, int whence)
    {
        PageWriter* file = of(handle);
        const quint64 from = whence == SEEK_CUR ? file->m_position : whence == SEEK_END ? file->m_end : 0;
        file->m_position = from + offset;
        return file->m_position;
    }
    static int closeProc(thandle_t) { return 0; }
    static toff_t sizeProc(thandle_t handle) { return of(handle)->m_end; }
    static int mapProc(thandle_t, void**, toff_t*) { return 0; }
    static void unmapProc(thandle_t, void*, toff_t) {}
    static int errorProc(TIFF*, void* user, const char*, const char*, va_list)
    {
        static_cast<PageWriter*>(user)->m_failed = true;
        return 1;
    }
    // Warnings of a file libtiff itself is writing say nothing a user could act on.
    static int warningProc(TIFF*, void*, const char*, const char*, va_list) { return 1; }

    Output& m_out;
    Page m_page;
    TIFF* m_tiff = nullptr;
    quint64 m_position = 0;
    quint64 m_end = 0;
    // A deflated strip's rows, gathered when they come in pieces.
    std::vector<quint8> m_strip;
    size_t m_stripFill = 0;
    size_t m_rowsDone = 0;
    bool m_failed = false;
    // The output's own failure (a full disk) is carried past libtiff's C frames and thrown again once
    // libtiff has returned.
    std::exception_ptr m_thrown;
};

tmsize_t PageWriter::writeProc(thandle_t handle, void* data, tmsize_t size)
{
    PageWriter* file = of(handle);
    if (file->m_thrown || size < 0)
        return 0;
    try {
        if (file->m_position == file->m_end)
            file->m_out.append(static_cast<const char*>(data), size_t(size));
        else
            file->m_out.overwrite(file->m_position, static_cast<const char*>(data), size_t(size));
    } catch (...) {
        file->m_thrown = std::current_exception();
        return 0;
    }
    file->m_position += quint64(size);
    file->m_end = std::max(file->m_end, file->m_position);
    return size;
}

bool PageWriter::open()
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        throw std::bad_alloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, errorProc, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, warningProc, this);
    // "m": the output cannot be mapped.
    m_tiff = TIFFClientOpenExt("output", m_page.bigEndian ? "wbm" : "wlm", this, readProc, writeProc, seekProc,
                               closeProc, sizeProc, mapProc, unmapProc, options);
    TIFFOpenOptionsFree(options);
    rethrow();
    if (!m_tiff)
        return false;
    const uint16_t channels = uint16_t(m_page.channels);
    TIFFSetField(m_tiff, TIFFTAG_IMAGEWIDTH, uint32_t(m_page.width));
    TIFFSetField(m_tiff, TIFFTAG_IMAGELENGTH, uint32_t(m_page.height));
    TIFFSetField(m_tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
    TIFFSetField(m_tiff, TIFFTAG_SAMPLESPERPIXEL, channels);
    TIFFSetField(m_tiff, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_RGB));
    TIFFSetField(m_tiff, TIFFTAG_ORIENTATION, uint16_t(ORIENTATION_TOPLEFT));
    TIFFSetField(m_tiff, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(m_tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(m_page.stripRows));
    if (channels == 4) {
        const uint16_t unassociated = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(m_tiff, TIFFTAG_EXTRASAMPLES, uint16_t(1), &unassociated);
    }
    if (m_page.deflated) {
        TIFFSetField(m_tiff, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_ADOBE_DEFLATE));
        TIFFSetField(m_tiff, TIFFTAG_PREDICTOR, uint16_t(PREDICTOR_HORIZONTAL));
        // Debian's libtiff uses libdeflate by default; said here so that the level stays libdeflate's
        // (zlib's level 1 made a PNG wallpaper's strip 19% larger). A libtiff without libdeflate
        // refuses the subcodec as an error and keeps zlib.
        const bool before = m_failed;
        TIFFSetField(m_tiff, TIFFTAG_DEFLATE_SUBCODEC, DEFLATE_SUBCODEC_LIBDEFLATE);
        m_failed = before;
        TIFFSetField(m_tiff, TIFFTAG_ZIPQUALITY, tiffDeflateLevel);
        m_strip.resize(m_page.stripRows * stride());
    } else {
        TIFFSetField(m_tiff, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_NONE));
    }
    // TIFF requires a resolution (exiftool's validation: "Missing required XResolution"); a picture
    // that records none says the 72 pixels an inch readers assume.
    const Density& given = m_page.density;
    const bool recorded = given.x > 0 && given.y > 0 && given.unit != Density::None;
    const Density density = recorded ? given : Density{72, 72, Density::PerInch};
    TIFFSetField(m_tiff, TIFFTAG_XRESOLUTION, density.x);
    TIFFSetField(m_tiff, TIFFTAG_YRESOLUTION, density.y);
    TIFFSetField(m_tiff, TIFFTAG_RESOLUTIONUNIT,
                 uint16_t(density.unit == Density::PerCentimetre ? RESUNIT_CENTIMETER : RESUNIT_INCH));
    if (!m_page.xmp.isEmpty())
        TIFFSetField(m_tiff, TIFFTAG_XMLPACKET, uint32_t(m_page.xmp.size()), m_page.xmp.constData());
    if (!m_page.icc.isEmpty())
        TIFFSetField(m_tiff, TIFFTAG_ICCPROFILE, uint32_t(m_page.icc.size()), m_page.icc.constData());
    return !m_failed;
}

// TIFFWriteRawStrip appends to the strip it is given, so an uncompressed strip goes out in pieces from
// where the rows are: copied into whole strips first they took 9% longer on the wallpapers. libtiff
// differences a copy of its own, so a whole deflated strip is compressed from where it is too.
void PageWriter::write(uint32_t strip, const quint8* rows, size_t count, bool raw)
{
    const tmsize_t bytes = tmsize_t(count * stride());
    quint8* data = const_cast<quint8*>(rows);
    const tmsize_t written =
        raw ? TIFFWriteRawStrip(m_tiff, strip, data, bytes) : TIFFWriteEncodedStrip(m_tiff, strip, data, bytes);
    rethrow();
    if (written != bytes)
        m_failed = true;
}

bool PageWriter::addRows(const quint8* rows, size_t count)
{
    const size_t bytes = stride();
    const size_t stripRows = m_page.stripRows;
    count = std::min(count, m_page.height - std::min(m_page.height, m_rowsDone));
    while (count > 0 && !m_failed) {
        const size_t stripTop = m_rowsDone - m_rowsDone % stripRows;
        const size_t rowsInStrip = std::min(stripRows, m_page.height - stripTop);
        const size_t taken = std::min(count, stripTop + rowsInStrip - m_rowsDone);
        const uint32_t strip = uint32_t(m_rowsDone / stripRows);
        if (!m_page.deflated) {
            write(strip, rows, taken, true);
        } else if (m_stripFill == 0 && taken == rowsInStrip) {
            write(strip, rows, taken, false);
        } else {
            std::memcpy(m_strip.data() + m_stripFill * bytes, rows, taken * bytes);
            m_stripFill += taken;
            if (m_stripFill == rowsInStrip) {
                write(strip, m_strip.data(), rowsInStrip, false);
                m_stripFill = 0;
            }
        }
        m_rowsDone += taken;
        rows += taken * bytes;
        count -= taken;
    }
    return !m_failed;
}

bool PageWriter::finish()
{
    if (m_failed || !m_tiff || m_rowsDone != m_page.height)
        return false;
    const bool written = TIFFWriteDirectory(m_tiff) == 1;
    rethrow();
    TIFFClose(m_tiff);
    m_tiff = nullptr;
    rethrow();
    return written && !m_failed;
}

// The directory goes after the pixels, which are written as they come. The byte order is the EXIF
// block's, so that the block can be joined to the file afterwards.
bool photoTiff(RowSource& source, const QByteArray& icc, const QByteArray& xmp, const QByteArray& exif,
               const Density& density, Output& file)
{
    Page page;
    page.width = source.width();
    page.height = source.height();
    page.icc = icc;
    page.xmp = xmp;
    page.density = density;
    page.bigEndian = !exif.isEmpty() && Metadata::isBigEndian(exif);
    const quint64 stride = quint64(page.width) * 3;
    const quint64 pixels = stride * page.height;
    const size_t strips = (page.height + page.stripRows - 1) / page.stripRows;
    // Classic TIFF counts in 32 bits; a larger file takes the general path before anything is decoded.
    if (pixels + quint64(icc.size() + xmp.size()) + strips * 8 + 4096 > 0xffffffffu)
        return false;
    PageWriter tiff(file, page);
    const size_t rows = Output::chunkRows(stride);
    std::vector<quint8> chunk(rows * stride);
    bool written = true;
    const bool read = source.read(
        RowSource::Samples::Rgb, [&](size_t row) { return chunk.data() + (row % rows) * stride; },
        [&](size_t row) {
            if (row % rows == rows - 1 || row + 1 == page.height)
                written = tiff.addRows(chunk.data(), row % rows + 1) && written;
        });
    return read && written && tiff.finish();
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

QByteArray TiffWriter::deflatedTiff(const quint8* rows, size_t width, size_t height, int channels,
                                    const QByteArray& icc, const QByteArray& xmp,
                                    const Metadata::Resolution& resolution, bool bigEndian)
{
    Page page;
    page.width = width;
    page.height = height;
    page.channels = channels;
    page.bigEndian = bigEndian;
    page.deflated = true;
    // Strips of about a mebibyte.
    page.stripRows = std::max<size_t>(1, (size_t(1) << 20) / std::max<size_t>(1, width * size_t(channels)));
    page.icc = icc;
    page.xmp = xmp;
    page.density = resolution;
    MemoryOutput out;
    PageWriter tiff(out, page);
    // The only failures here are a file past classic TIFF's 4 GiB and memory: the picture is too large.
    if (!tiff.addRows(rows, height) || !tiff.finish())
        throw std::bad_alloc();
    return out.bytes();
}

// Pictures of the general route, decoded and settled by ImageMagick, written by its coder with the
// settings below.

using namespace MagickImages;
using Protocol::Status;

namespace {
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

Magick::Blob TiffWriter::ofFrames(std::list<Magick::Image>& frames, bool photographic)
{
    Magick::Blob blob;
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
                                                       rows->channels, profileOf(image, "icc"), profileOf(image, "xmp"),
                                                       tiffResolutionOf(image), bigEndian);
            return blobOf(exif.isEmpty() ? tiff : Metadata::tiffWithExif(tiff, exif));
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
    return blob;
}
