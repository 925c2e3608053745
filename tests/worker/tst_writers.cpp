// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestPictures.h"
#include "worker/writers/Bmp.h"
#include "worker/writers/Gif.h"
#include "worker/writers/Jpeg.h"
#include "worker/writers/Output.h"
#include "worker/writers/Pcx.h"
#include "worker/writers/Png.h"
#include "worker/writers/RowSource.h"
#include "worker/writers/Tiff.h"

#include <QTest>
#include <QtEndian>

#include <Magick++.h>

#include <array>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace {

// Rows of RGB held in memory, given in whatever samples a writer asks for; it fails at failAt, as a
// damaged source does, after handing over the rows before it.
class FakeRows final : public RowSource {
public:
    FakeRows(size_t width, size_t height, size_t failAt = SIZE_MAX)
        : m_width(width)
        , m_height(height)
        , m_failAt(failAt)
        , m_rgb(width * height * 3)
    {
        // Runs longer than PCX's 63, bytes that look like PCX counts, and noise.
        std::mt19937 random(3);
        for (size_t y = 0; y < height; ++y) {
            for (size_t x = 0; x < width; ++x) {
                for (size_t c = 0; c < 3; ++c)
                    m_rgb[(y * width + x) * 3 + c] =
                        y % 5 == 4 ? quint8(random()) : quint8((x / 70 * 37 + y / 3 * 11 + c * 80) % 256);
            }
        }
    }
    size_t width() const override { return m_width; }
    size_t height() const override { return m_height; }
    bool read(Samples samples, const std::function<quint8*(size_t row)>& rowAt,
              const std::function<void(size_t row)>& done) override
    {
        if (samples == Samples::YCbCr)
            return false;
        const size_t size = samples == Samples::Rgba ? 4 : 3;
        for (size_t y = 0; y < m_height; ++y) {
            if (y == m_failAt)
                return false;
            quint8* to = rowAt(y);
            for (size_t x = 0; x < m_width; ++x) {
                const quint8* from = m_rgb.data() + (y * m_width + x) * 3;
                for (size_t c = 0; c < 3; ++c)
                    to[x * size + (samples == Samples::Bgr ? 2 - c : c)] = from[c];
                if (size == 4)
                    to[x * 4 + 3] = 255;
            }
            if (done)
                done(y);
        }
        return true;
    }
    Steps& steps() override { return m_steps; }
    const std::vector<quint8>& rgb() const { return m_rgb; }

private:
    size_t m_width;
    size_t m_height;
    size_t m_failAt;
    std::vector<quint8> m_rgb;
    Steps m_steps;
};

// A file on a disk that fills up after failAfter bytes, throwing as the worker's output file does.
class FillingOutput final : public MemoryOutput {
public:
    explicit FillingOutput(qsizetype failAfter)
        : m_failAfter(failAfter)
    {
    }
    void append(const char* data, size_t size) override
    {
        if (bytes().size() + qsizetype(size) > m_failAfter)
            throw std::runtime_error("disk full");
        MemoryOutput::append(data, size);
    }
    void overwrite(quint64 offset, const char* data, size_t size) override
    {
        if (offset + size > quint64(m_failAfter))
            throw std::runtime_error("disk full");
        MemoryOutput::overwrite(offset, data, size);
    }

private:
    qsizetype m_failAfter;
};

enum class Kind { Bmp, Pcx, Png, Tiff, TiffWithExif, Jpeg, Gif };

bool write(Kind kind, RowSource& rows, Output& file,
           const Metadata::Resolution& density = {300, 300, Metadata::Resolution::PerInch})
{
    switch (kind) {
    case Kind::Bmp:
        return BmpWriter::write(rows, density, file);
    case Kind::Pcx:
        return PcxWriter::write(rows, density, file);
    case Kind::Png:
        return PngWriter::write(rows, {}, {}, {}, density, file);
    case Kind::Tiff:
        return TiffWriter::write(rows, {}, {}, {}, density, file);
    case Kind::TiffWithExif: {
        TestPictures::Exif exif;
        exif.orientation = 1;
        return TiffWriter::write(rows, {}, {}, TestPictures::exifBlock(exif), density, file);
    }
    case Kind::Jpeg:
        return JpegWriter::write(rows, {false, {{{1, 1}, {1, 1}, {1, 1}}}, {}, density}, file);
    case Kind::Gif:
        return GifWriter::write(rows, file);
    }
    return false;
}

} // namespace

class TestWriters : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { TestPictures::initialise(); }
    void rowsComeBack_data();
    void rowsComeBack();
    void damagedSourceFails_data();
    void damagedSourceFails();
    void fullDiskReachesCaller_data();
    void fullDiskReachesCaller();
    void densityFitsItsField_data();
    void densityFitsItsField();
};

void TestWriters::rowsComeBack_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<double>("meanError");
    // 1000 pixels a row fill a mebibyte's buffer with 349 rows (BMP, padded) or 349 (TIFF), leaving
    // a part-filled last one; 257 rows leave TIFF a strip of one row; odd widths pad BMP's rows and
    // leave TIFF an odd number of bytes before its directory.
    for (const auto& [kind, name] : {std::pair{Kind::Bmp, "BMP"},
                                     {Kind::Pcx, "PCX"},
                                     {Kind::Png, "PNG"},
                                     {Kind::Tiff, "TIFF"},
                                     {Kind::TiffWithExif, "TIFF with EXIF"}}) {
        QTest::addRow("%s 1x1", name) << int(kind) << 1 << 1 << 0.0;
        QTest::addRow("%s 3x257", name) << int(kind) << 3 << 257 << 0.0;
        QTest::addRow("%s 1000x700", name) << int(kind) << 1000 << 700 << 0.0;
    }
    // Lossy, but no channel swapped or row misplaced, which would be off by tens on average.
    QTest::newRow("JPEG") << int(Kind::Jpeg) << 333 << 217 << 8.0;
    QTest::newRow("GIF") << int(Kind::Gif) << 333 << 217 << 8.0;
}

// A lossless writer gives back exactly the rows it was given, wherever its buffers and strips end.
void TestWriters::rowsComeBack()
{
    QFETCH(int, kind);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(double, meanError);
    FakeRows rows{size_t(width), size_t(height)};
    MemoryOutput file;
    QVERIFY(write(Kind(kind), rows, file));
    Magick::Image written;
    written.quiet(true);
    written.read(Magick::Blob(file.bytes().constData(), size_t(file.bytes().size())));
    QCOMPARE(written.columns(), size_t(width));
    QCOMPARE(written.rows(), size_t(height));
    std::vector<quint8> back(size_t(width) * size_t(height) * 3);
    written.write(0, 0, size_t(width), size_t(height), "RGB", MagickCore::CharPixel, back.data());
    double error = 0;
    for (size_t i = 0; i < back.size(); ++i)
        error += std::abs(int(back[i]) - int(rows.rgb()[i]));
    error /= double(back.size());
    QVERIFY2(error <= meanError, QByteArray::number(error));
}

// Each writer of rows, by the name its rows go under.
const std::array<std::pair<Kind, const char*>, 7> everyWriter{{{Kind::Bmp, "BMP"},
                                                               {Kind::Pcx, "PCX"},
                                                               {Kind::Png, "PNG"},
                                                               {Kind::Tiff, "TIFF"},
                                                               {Kind::TiffWithExif, "TIFF with EXIF"},
                                                               {Kind::Jpeg, "JPEG"},
                                                               {Kind::Gif, "GIF"}}};

void TestWriters::damagedSourceFails_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("failAt");
    for (const auto& [kind, name] : everyWriter) {
        QTest::addRow("%s, first row", name) << int(kind) << 0;
        QTest::addRow("%s, last row", name) << int(kind) << 399;
    }
}

// A source that breaks off is a failure, never a file reported as written.
void TestWriters::damagedSourceFails()
{
    QFETCH(int, kind);
    QFETCH(int, failAt);
    FakeRows rows{500, 400, size_t(failAt)};
    MemoryOutput file;
    QVERIFY(!write(Kind(kind), rows, file));
}

void TestWriters::fullDiskReachesCaller_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("failAfter");
    for (const auto& [kind, name] : everyWriter) {
        QTest::addRow("%s, at the header", name) << int(kind) << 0;
        QTest::addRow("%s, among the pixels", name) << int(kind) << 4000;
    }
}

// The output's own failure comes out as it was thrown, through libtiff's C frames too: not as a
// writer's false, which sends the picture to the general path, nor as a crash.
void TestWriters::fullDiskReachesCaller()
{
    QFETCH(int, kind);
    QFETCH(int, failAfter);
    FakeRows rows{500, 400};
    FillingOutput file(failAfter);
    bool thrown = false;
    try {
        write(Kind(kind), rows, file);
    } catch (const std::runtime_error&) {
        thrown = true;
    }
    QVERIFY(thrown);
}

void TestWriters::densityFitsItsField_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("perInch");
    QTest::addColumn<qint64>("field");
    // A camera's EXIF may say anything up to 4294967295 pixels an inch; a field that cannot hold it
    // says the most it can.
    QTest::newRow("BMP, 300 dpi") << int(Kind::Bmp) << 300.0 << qint64(11811);
    QTest::newRow("BMP, 4e9 dpi") << int(Kind::Bmp) << 4e9 << qint64(0xffffffff);
    QTest::newRow("PCX, 300 dpi") << int(Kind::Pcx) << 300.0 << qint64(300);
    QTest::newRow("PCX, 70000 dpi") << int(Kind::Pcx) << 70000.0 << qint64(65535);
    QTest::newRow("PCX, 4e9 dpi") << int(Kind::Pcx) << 4e9 << qint64(65535);
    QTest::newRow("JPEG, 300 dpi") << int(Kind::Jpeg) << 300.0 << qint64(300);
    QTest::newRow("JPEG, 70000 dpi") << int(Kind::Jpeg) << 70000.0 << qint64(65535);
    QTest::newRow("PNG, 300 dpi") << int(Kind::Png) << 300.0 << qint64(11811);
    QTest::newRow("PNG, 4e9 dpi") << int(Kind::Png) << 4e9 << qint64(0x7fffffff);
}

void TestWriters::densityFitsItsField()
{
    QFETCH(int, kind);
    QFETCH(double, perInch);
    QFETCH(qint64, field);
    FakeRows rows{8, 8};
    MemoryOutput file;
    QVERIFY(write(Kind(kind), rows, file, {perInch, perInch, Metadata::Resolution::PerInch}));
    const QByteArray& bytes = file.bytes();
    qint64 written = -1;
    switch (Kind(kind)) {
    case Kind::Bmp:
        written = qFromLittleEndian<quint32>(bytes.constData() + 38);
        break;
    case Kind::Pcx:
        written = qFromLittleEndian<quint16>(bytes.constData() + 12);
        break;
    case Kind::Jpeg: // JFIF's APP0: marker, length, "JFIF\0", version, unit, then the density
        written = qFromBigEndian<quint16>(bytes.constData() + 14);
        break;
    default:
        written = qFromBigEndian<quint32>(bytes.constData() + bytes.indexOf("pHYs") + 4);
        break;
    }
    QCOMPARE(written, field);
}

QTEST_GUILESS_MAIN(TestWriters)
#include "tst_writers.moc"
