// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestPictures.h"
#include "worker/Metadata.h"
#include "worker/PhotoRoute.h"
#include "worker/writers/Gif.h"
#include "worker/writers/Png.h"
#include "worker/writers/RowFilter.h"
#include "worker/writers/RunLengthDeflate.h"
#include "worker/writers/Tiff.h"

#include <QFile>
#include <QImage>
#include <QTest>
#include <QtEndian>

#include <Magick++.h>
#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include <array>
#include <cmath>
#include <random>

using namespace Qt::StringLiterals;
using namespace OutputFormat;

namespace {

const QString adobeRgbPath = u"/usr/share/color/icc/colord/AdobeRGB1998.icc"_s;

Magick::Blob blobOf(const QByteArray& bytes)
{
    return Magick::Blob(bytes.constData(), size_t(bytes.size()));
}

QByteArray bytesOf(const Magick::Blob& blob)
{
    return QByteArray(static_cast<const char*>(blob.data()), qsizetype(blob.length()));
}

Magick::Image decoded(const QByteArray& bytes)
{
    Magick::Image image;
    image.quiet(true);
    image.read(blobOf(bytes));
    return image;
}

// A noisy camera-like JPEG at the given chroma sampling and resolution ("" for none).
QByteArray cameraJpeg(size_t width, size_t height, const std::string& sampling, const std::string& density,
                      MagickCore::ResolutionType units)
{
    Magick::Image picture = TestPictures::photo(width, height);
    picture.quality(85);
    picture.defineValue("jpeg", "sampling-factor", sampling);
    if (!density.empty()) {
        picture.density(Magick::Geometry(density));
        picture.resolutionUnits(units);
    }
    Magick::Blob blob;
    picture.write(&blob, "JPEG");
    return bytesOf(blob);
}

// ImageMagick's own file of the JPEG, as the general path writes an opaque picture.
QByteArray imageMagicks(const QByteArray& jpeg, const std::string& coder)
{
    Magick::Image image = decoded(jpeg);
    image.type(MagickCore::TrueColorType);
    if (coder == "JPEG")
        image.quality(90);
    Magick::Blob blob;
    image.write(&blob, coder);
    return bytesOf(blob);
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Kinds of picture each suited to another way of deflating, as 8-bit rows of channels bytes a pixel.
enum class Kind { NoisyPhoto, SmoothGradient, TextOnPaper };

std::vector<quint8> rowsOfKind(Kind kind, size_t width, size_t height, size_t channels)
{
    std::vector<quint8> rows(width * height * channels);
    if (kind == Kind::NoisyPhoto) {
        TestPictures::photo(width, height)
            .write(0, 0, width, height, channels == 4 ? "RGBA" : "RGB", MagickCore::CharPixel, rows.data());
    } else {
        // The same small glyph set in a grid of lines, some cells left blank.
        std::mt19937 random(7);
        std::array<bool, 8 * 12> glyph{};
        for (bool& ink : glyph)
            ink = random() % 3 == 0;
        for (size_t y = 0; y < height; ++y) {
            for (size_t x = 0; x < width; ++x) {
                const size_t cellX = x / 8, cellY = y / 12;
                const bool ink =
                    (cellX * 7 + cellY * 13) % 5 != 0 && (cellX ^ cellY) % 3 != 0 && glyph[y % 12 * 8 + x % 8];
                const double u = double(x) / double(width), v = double(y) / double(height);
                const std::array<double, 3> gradient{60 + 150 * u, 80 + 120 * std::sin(3.1 * v + u), 200 - 140 * v};
                for (size_t c = 0; c < 3; ++c)
                    rows[(y * width + x) * channels + c] = kind == Kind::SmoothGradient ? quint8(gradient[c])
                                                           : ink                        ? quint8(40 + 10 * c)
                                                                                        : quint8(235 - 5 * c);
            }
        }
    }
    if (channels == 4) {
        for (size_t i = 3; i < rows.size(); i += 4)
            rows[i] = quint8(i / 4 % width);
    }
    return rows;
}

// Rows of bytes that reach every branch of Paeth's choice: noise, and noise only at the extremes.
std::vector<quint8> rowsOfNoise(size_t stride, size_t height, bool extremes)
{
    std::mt19937 random(11);
    std::vector<quint8> rows(stride * height);
    for (quint8& byte : rows)
        byte = extremes ? quint8(random() % 2 ? 255 - random() % 3 : random() % 3) : quint8(random());
    return rows;
}

// libpng's adaptive filtering of the rows: the file it writes, its pixel data inflated again.
QByteArray libpngFiltered(const std::vector<quint8>& rows, size_t width, size_t height, int channels)
{
    QByteArray file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &file,
        [](png_structp writer, png_bytep data, size_t length) {
            static_cast<QByteArray*>(png_get_io_ptr(writer))
                ->append(reinterpret_cast<const char*>(data), qsizetype(length));
        },
        nullptr);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8,
                 channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_ALL_FILTERS);
    png_write_info(png, info);
    for (size_t row = 0; row < height; ++row)
        png_write_row(png, rows.data() + row * width * size_t(channels));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);

    QByteArray deflated;
    for (qsizetype at = 8; at + 12 <= file.size();) {
        const qsizetype length = qFromBigEndian<quint32>(file.constData() + at);
        if (file.mid(at + 4, 4) == "IDAT")
            deflated += file.mid(at + 8, length);
        at += length + 12;
    }
    QByteArray filtered(qsizetype((width * size_t(channels) + 1) * height), '\0');
    uLongf size = uLongf(filtered.size());
    if (uncompress(reinterpret_cast<Bytef*>(filtered.data()), &size, reinterpret_cast<const Bytef*>(deflated.data()),
                   uLong(deflated.size())) != Z_OK)
        return {};
    return filtered;
}

} // namespace

class TestJpegPhotos : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { TestPictures::initialise(); }
    void sameFilesAsImageMagick_data();
    void sameFilesAsImageMagick();
    void metadataCarriedOn();
    void generalPathWhereNeeded_data();
    void generalPathWhereNeeded();
    void runLengthDeflate_data();
    void runLengthDeflate();
    void rowsFilteredAsLibpng_data();
    void rowsFilteredAsLibpng();
    void pngAsSmallAsImageMagicks_data();
    void pngAsSmallAsImageMagicks();
    void deflatedTiff_data();
    void deflatedTiff();
    void gifOfFewColours_data();
    void gifOfFewColours();
};

void TestJpegPhotos::sameFilesAsImageMagick_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("sampling");
    QTest::addColumn<QString>("density");
    QTest::addColumn<int>("units");
    QTest::newRow("4:2:0, odd width, no resolution") << 301 << u"2x2"_s << QString() << 0;
    QTest::newRow("4:2:2, 300 dpi") << 320 << u"2x1"_s << u"300x300"_s << int(MagickCore::PixelsPerInchResolution);
    QTest::newRow("4:4:4, per centimetre")
        << 257 << u"1x1"_s << u"118x59"_s << int(MagickCore::PixelsPerCentimeterResolution);
}

// BMP and PCX come out byte for byte as ImageMagick writes them; PNG and TIFF hold its very pixels and
// resolution; the JPEG keeps the source's sampling at ImageMagick's size.
void TestJpegPhotos::sameFilesAsImageMagick()
{
    QFETCH(int, width);
    QFETCH(QString, sampling);
    QFETCH(QString, density);
    QFETCH(int, units);
    const QByteArray jpeg = cameraJpeg(size_t(width), 203, sampling.toStdString(), density.toStdString(),
                                       MagickCore::ResolutionType(units));
    const Magick::Image source = decoded(jpeg);

    for (const auto& [format, coder] : {std::pair{Bmp, "BMP"}, std::pair{Pcx, "PCX"}}) {
        const std::optional<QByteArray> ours = PhotoRoute::convert(jpeg, format);
        QVERIFY2(ours, coder);
        QCOMPARE(*ours, imageMagicks(jpeg, coder));
    }
    for (const Index format : {Png, Tiff}) {
        const std::optional<QByteArray> ours = PhotoRoute::convert(jpeg, format);
        QVERIFY(ours);
        const Magick::Image written = decoded(*ours);
        QCOMPARE(written.magick(), format == Png ? "PNG" : "TIFF");
        QCOMPARE(TestPictures::maxDifference(TestPictures::toQImage(written), TestPictures::toQImage(source)), 0);
        if (!density.isEmpty()) {
            const auto perInch = [](const Magick::Image& image, double value) {
                return image.resolutionUnits() == MagickCore::PixelsPerCentimeterResolution ? value * 2.54 : value;
            };
            QCOMPARE(qRound(perInch(written, written.xResolution())), qRound(perInch(source, source.xResolution())));
            QCOMPARE(qRound(perInch(written, written.yResolution())), qRound(perInch(source, source.yResolution())));
        }
    }
    const std::optional<QByteArray> file = PhotoRoute::convert(jpeg, Jpg);
    QVERIFY(file);
    Magick::Image written = decoded(*file);
    QCOMPARE(QString::fromStdString(written.attribute("jpeg:sampling-factor")).left(3), sampling);
    QCOMPARE(written.quality(), size_t(90));
    // As close to the source as ImageMagick's own encoding at the same quality.
    const QImage original = TestPictures::toQImage(source);
    const double ours = TestPictures::meanDifference(TestPictures::toQImage(written), original);
    const double theirs =
        TestPictures::meanDifference(TestPictures::toQImage(decoded(imageMagicks(jpeg, "JPEG"))), original);
    QVERIFY2(ours <= theirs * 1.05, QByteArray::number(ours) + " against " + QByteArray::number(theirs));
    const double size = double(file->size()) / double(imageMagicks(jpeg, "JPEG").size());
    QVERIFY2(size > 0.97 && size < 1.03, QByteArray::number(size));
}

// A camera's EXIF, an XMP packet and a colour profile reach every format that holds them, as found.
void TestJpegPhotos::metadataCarriedOn()
{
    const QByteArray adobeRgb = fileBytes(adobeRgbPath);
    QVERIFY2(!adobeRgb.isEmpty(), "colord-data's profiles are installed");
    const QByteArray xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
                           "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'/></x:xmpmeta>";
    for (const bool bigEndian : {false, true}) {
        Magick::Image picture = TestPictures::photo(120, 80);
        picture.profile("icc", blobOf(adobeRgb));
        Magick::Blob blob;
        picture.write(&blob, "JPEG");
        TestPictures::Exif exif;
        exif.bigEndian = bigEndian;
        exif.orientation = 1;
        const QByteArray jpeg =
            TestPictures::withApp1(TestPictures::withApp1(bytesOf(blob), TestPictures::exifBlock(exif)),
                                   QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) + xmp);
        for (const Index format : {Jpg, Png, Tiff}) {
            const std::optional<QByteArray> ours = PhotoRoute::convert(jpeg, format);
            const QByteArray name = QByteArray::number(int(format)) + (bigEndian ? " big-endian" : " little-endian");
            QVERIFY2(ours, name);
            const Magick::Image written = decoded(*ours);
            QVERIFY2(bytesOf(written.profile("icc")) == adobeRgb, name);
            // ImageMagick reads XMP from a PNG only in its own text chunk; the standard one is checked by its bytes.
            if (format == Png)
                QVERIFY2(ours->contains(QByteArray("iTXtXML:com.adobe.xmp", 21) + QByteArray(5, '\0') + xmp), name);
            else
                QVERIFY2(bytesOf(written.profile("xmp")).contains("adobe:ns:meta"), name);
            // Nor EXIF from a PNG's eXIf chunk.
            if (format == Png) {
                QVERIFY2(Metadata::pngExif(*ours).contains(exif.make), name);
            } else {
                QVERIFY2(written.attribute(format == Tiff ? "tiff:make" : "exif:Make") == exif.make.toStdString(),
                         name);
                QVERIFY2(written.attribute("exif:DateTimeOriginal") == exif.dateTimeOriginal.toStdString(), name);
            }
        }
    }
}

void TestJpegPhotos::generalPathWhereNeeded_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("handled");

    Magick::Blob blob;
    Magick::Image photo = TestPictures::photo(96, 64);
    photo.write(&blob, "JPEG");
    const QByteArray plain = bytesOf(blob);
    QTest::newRow("plain photo") << plain << int(Tiff) << true;
    QTest::newRow("to GIF") << plain << int(Gif) << true;
    QTest::newRow("to ICO") << plain << int(Ico) << false;
    QTest::newRow("to be turned") << TestPictures::withExifRotation(plain) << int(Png) << false;
    QTest::newRow("ends early") << plain.left(plain.size() / 2) << int(Bmp) << false;
    QTest::newRow("not a JPEG") << QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(64, 'x') << int(Png) << false;

    Magick::Image grey = photo;
    grey.type(MagickCore::GrayscaleType);
    grey.write(&blob, "JPEG");
    QTest::newRow("grey") << bytesOf(blob) << int(Png) << false;
    Magick::Image cmyk = photo;
    cmyk.colorSpace(MagickCore::CMYKColorspace);
    cmyk.write(&blob, "JPEG");
    QTest::newRow("CMYK") << bytesOf(blob) << int(Jpg) << false;

    Magick::Image wide = photo;
    wide.profile("icc", blobOf(fileBytes(adobeRgbPath)));
    wide.write(&blob, "JPEG");
    QTest::newRow("Adobe RGB to BMP, which needs sRGB") << bytesOf(blob) << int(Bmp) << false;
    QTest::newRow("Adobe RGB to PCX, which needs sRGB") << bytesOf(blob) << int(Pcx) << false;
    QTest::newRow("Adobe RGB to GIF, which needs sRGB") << bytesOf(blob) << int(Gif) << false;
    QTest::newRow("Adobe RGB to PNG, which keeps it") << bytesOf(blob) << int(Png) << true;
}

// Whatever this path cannot write as the general path would is left to that path, not written wrong.
void TestJpegPhotos::generalPathWhereNeeded()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, format);
    QFETCH(bool, handled);
    QCOMPARE(PhotoRoute::convert(bytes, Index(format)).has_value(), handled);
}

void TestJpegPhotos::runLengthDeflate_data()
{
    QTest::addColumn<QByteArray>("data");
    std::mt19937 random(5);
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("runs of three and four") << QByteArray("abbbbcccdddde\0\0\0");
    // Longer than a match and than a block's symbols.
    QTest::newRow("one long run") << QByteArray(300'000, 'r');
    QByteArray noise(200'000, '\0');
    for (char& byte : noise)
        byte = char(random());
    QTest::newRow("noise, stored") << noise;
    // Runs of every length between bytes of noise, as a smooth picture's filtered rows look.
    QByteArray mixed;
    while (mixed.size() < 400'000) {
        mixed += QByteArray(qsizetype(random() % 300), char(random() % 4));
        mixed += char(random());
    }
    QTest::newRow("runs and noise") << mixed;
    // Byte counts growing as Fibonacci's numbers from the block end's 1, all in one block and no byte
    // beside its like, so that every byte is a literal: Huffman's codes for the rarest would be 18 bits
    // long, deflate's longest is 15. The most frequent first, into every other place, then the places
    // between.
    QByteArray byCount;
    for (quint32 symbol = 0, count = 1, next = 2; symbol < 18; ++symbol, count = std::exchange(next, count + next))
        byCount.prepend(QByteArray(qsizetype(count), char(symbol * 7)));
    QByteArray skewed(byCount.size(), '\0');
    for (qsizetype from = 0, to = 0; from < byCount.size(); ++from) {
        skewed[to] = byCount[from];
        to += 2;
        if (to >= skewed.size())
            to = 1;
    }
    QTest::newRow("skewed counts") << skewed;
}

// Whatever the bytes, zlib and libdeflate both read them back, from a stream no larger than zlib's
// own run-length matching writes.
void TestJpegPhotos::runLengthDeflate()
{
    QFETCH(QByteArray, data);
    const auto* bytes = reinterpret_cast<const quint8*>(data.constData());
    const QByteArray ours = RunLengthDeflate::deflated(bytes, size_t(data.size()));

    QByteArray back(data.size() + 1, '\0');
    uLongf length = uLongf(back.size());
    QCOMPARE(uncompress(reinterpret_cast<Bytef*>(back.data()), &length,
                        reinterpret_cast<const Bytef*>(ours.constData()), uLong(ours.size())),
             Z_OK);
    QCOMPARE(back.left(qsizetype(length)), data);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    size_t read = 0;
    const libdeflate_result result = libdeflate_zlib_decompress(decompressor, ours.constData(), size_t(ours.size()),
                                                                back.data(), size_t(back.size()), &read);
    libdeflate_free_decompressor(decompressor);
    QCOMPARE(result, LIBDEFLATE_SUCCESS);
    QCOMPARE(back.left(qsizetype(read)), data);

    z_stream stream{};
    QCOMPARE(deflateInit2(&stream, 6, Z_DEFLATED, 15, 8, Z_RLE), Z_OK);
    QByteArray zlibs(qsizetype(deflateBound(&stream, uLong(data.size()))), '\0');
    stream.next_in = const_cast<Bytef*>(bytes);
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(zlibs.data());
    stream.avail_out = uInt(zlibs.size());
    QCOMPARE(deflate(&stream, Z_FINISH), Z_STREAM_END);
    deflateEnd(&stream);
    QVERIFY2(double(ours.size()) <= double(stream.total_out) * 1.001 + 8,
             QByteArray::number(ours.size()) + " against " + QByteArray::number(qulonglong(stream.total_out)));
}

void TestJpegPhotos::rowsFilteredAsLibpng_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("channels");
    // Widths whose rows end before, on and after a whole number of vector lanes.
    for (const int channels : {3, 4}) {
        for (const int width : {1, 5, 16, 37, 300}) {
            for (const QString& source : {u"noise"_s, u"extremes"_s, u"photo"_s, u"text"_s}) {
                QTest::addRow("%s %dx%d", qPrintable(source), width, channels) << source << width << channels;
            }
        }
    }
}

// The same filter for each row, and the same bytes, as libpng chooses, so that the deflated rows are
// as small as ImageMagick's.
void TestJpegPhotos::rowsFilteredAsLibpng()
{
    QFETCH(QString, source);
    QFETCH(int, width);
    QFETCH(int, channels);
    const size_t stride = size_t(width * channels);
    constexpr size_t height = 40;
    const std::vector<quint8> rows =
        source == u"photo"_s  ? rowsOfKind(Kind::NoisyPhoto, size_t(width), height, size_t(channels))
        : source == u"text"_s ? rowsOfKind(Kind::TextOnPaper, size_t(width), height, size_t(channels))
                              : rowsOfNoise(stride, height, source == u"extremes"_s);
    QByteArray ours(qsizetype((stride + 1) * height), '\0');
    RowFilter filter(stride, size_t(channels));
    for (size_t row = 0; row < height; ++row)
        filter.filter(rows.data() + row * stride, row ? rows.data() + (row - 1) * stride : nullptr,
                      reinterpret_cast<quint8*>(ours.data()) + row * (stride + 1));
    const QByteArray theirs = libpngFiltered(rows, size_t(width), height, channels);
    QCOMPARE(theirs.size(), ours.size());
    for (size_t row = 0; row < height; ++row) {
        const qsizetype at = qsizetype(row * (stride + 1));
        QVERIFY2(ours.mid(at, qsizetype(stride + 1)) == theirs.mid(at, qsizetype(stride + 1)),
                 "row " + QByteArray::number(qulonglong(row)) + ": filter " + QByteArray::number(int(ours[at])) +
                     ", libpng's " + QByteArray::number(int(theirs[at])));
    }
}

// Transparency survives, and the file is no larger than ImageMagick's own of the same pixels.
void TestJpegPhotos::pngAsSmallAsImageMagicks_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("channels");
    // Each wants another way: the noisy photograph any, the gradient more than libdeflate's quick
    // search, the text zlib's strategy for filtered data; the strip is too short to sample.
    QTest::newRow("noisy photo, alpha") << Kind::NoisyPhoto << 211 << 1200 << 4;
    QTest::newRow("smooth gradient") << Kind::SmoothGradient << 1200 << 900 << 3;
    QTest::newRow("text on paper") << Kind::TextOnPaper << 1200 << 900 << 3;
    QTest::newRow("short strip") << Kind::TextOnPaper << 3000 << 80 << 3;
}

// Every byte comes back, in a file no more than 2% larger than ImageMagick's own.
void TestJpegPhotos::pngAsSmallAsImageMagicks()
{
    QFETCH(Kind, kind);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, channels);
    const std::string map = channels == 4 ? "RGBA" : "RGB";
    const std::vector<quint8> rows = rowsOfKind(kind, size_t(width), size_t(height), size_t(channels));
    const QByteArray png = PngWriter::png(rows.data(), size_t(width), size_t(height), channels, {}, {}, {});
    Magick::Image written = decoded(png);
    std::vector<quint8> back(rows.size());
    written.write(0, 0, size_t(width), size_t(height), map, MagickCore::CharPixel, back.data());
    QVERIFY(back == rows);

    Magick::Image same;
    same.read(size_t(width), size_t(height), map, MagickCore::CharPixel, rows.data());
    same.quality(75);
    Magick::Blob blob;
    // As ImageMagick writes pictures of many colours; the text alone would be a palette.
    same.write(&blob, channels == 4 ? "PNG32" : "PNG24");
    QVERIFY2(double(png.size()) <= double(blob.length()) * 1.02,
             QByteArray::number(png.size()) + " against " + QByteArray::number(qulonglong(blob.length())));
}

void TestJpegPhotos::deflatedTiff_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<bool>("bigEndian");
    QTest::newRow("RGB, little-endian") << 3 << false;
    QTest::newRow("RGBA, big-endian") << 4 << true;
}

// Pictures that are not photographs: pixels, transparency, profile and resolution come back as given.
void TestJpegPhotos::deflatedTiff()
{
    QFETCH(int, channels);
    QFETCH(bool, bigEndian);
    const size_t width = 333;
    const size_t height = 1500; // several strips
    Magick::Image picture = TestPictures::photo(width, height);
    picture.matte(channels == 4);
    std::vector<quint8> rows(width * height * size_t(channels));
    picture.write(0, 0, width, height, channels == 4 ? "RGBA" : "RGB", MagickCore::CharPixel, rows.data());
    for (size_t i = 3; channels == 4 && i < rows.size(); i += 4)
        rows[i] = quint8(i / 4 % 256);
    const QByteArray adobeRgb = fileBytes(adobeRgbPath);
    const QByteArray tiff = TiffWriter::deflatedTiff(rows.data(), width, height, channels, adobeRgb, {},
                                                     {150, 75, Metadata::Resolution::PerInch}, bigEndian);
    QCOMPARE(tiff.left(2), bigEndian ? QByteArray("MM") : QByteArray("II"));
    Magick::Image written = decoded(tiff);
    std::vector<quint8> back(rows.size());
    written.write(0, 0, width, height, channels == 4 ? "RGBA" : "RGB", MagickCore::CharPixel, back.data());
    QVERIFY(back == rows);
    QCOMPARE(bytesOf(written.profile("icc")), adobeRgb);
    QCOMPARE(written.xResolution(), 150.0);
    QCOMPARE(written.yResolution(), 75.0);
    QVERIFY(double(tiff.size()) < double(rows.size()) * 0.9);
}

void TestJpegPhotos::gifOfFewColours_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("colours");
    // One colour: the longest strings, each code built from the one before it. Two: the smallest
    // code size. 256 at random: the table fills up and starts again many times.
    QTest::newRow("one colour") << 300 << 200 << 1;
    QTest::newRow("two colours") << 97 << 31 << 2;
    QTest::newRow("five colours, padded table") << 64 << 64 << 5;
    QTest::newRow("256 colours at random") << 512 << 384 << 256;
    QTest::newRow("a single column") << 1 << 700 << 17;
}

// The palette picture comes back from the GIF exactly, so every code is right.
void TestJpegPhotos::gifOfFewColours()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, colours);
    std::vector<quint8> palette;
    for (int i = 0; i < colours; ++i)
        palette.insert(palette.end(), {quint8(i), quint8(255 - i), quint8(i * 7)});
    std::vector<quint8> indexes(size_t(width) * size_t(height));
    quint32 random = 12345;
    for (quint8& index : indexes) {
        random = random * 1103515245u + 12345u;
        index = quint8((random >> 16) % quint32(colours));
    }
    const QByteArray gif =
        GifWriter::gifOfIndexes(indexes.data(), size_t(width), size_t(height), palette.data(), unsigned(colours));
    Magick::Image written = decoded(gif);
    QCOMPARE(written.magick(), "GIF");
    std::vector<quint8> back(indexes.size() * 3);
    written.write(0, 0, size_t(width), size_t(height), "RGB", MagickCore::CharPixel, back.data());
    for (size_t pixel = 0; pixel < indexes.size(); ++pixel) {
        const quint8* expected = palette.data() + indexes[pixel] * 3;
        QVERIFY2(std::equal(expected, expected + 3, back.data() + pixel * 3), QByteArray::number(qulonglong(pixel)));
    }
}

QTEST_GUILESS_MAIN(TestJpegPhotos)
#include "tst_jpegphotos.moc"
