// SPDX-License-Identifier: GPL-3.0-or-later
// Outputs read back by readers other than ImageMagick, the ones other programs use (libpng and
// libjpeg through Qt, Qt's own BMP, GIF and ICO readers, libtiff's RGBA reader, and a PCX reader of
// our own), compared with the pixels the test put into each source.
#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"

#include <QDir>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace Qt::StringLiterals;

namespace {
using namespace OutputFormat;

// A 24-bit PCX as its format describes it: a 128-byte header, then each row's red, green and blue
// planes, run-length coded.
QImage pcxPicture(const QByteArray& bytes)
{
    if (bytes.size() < 128 || bytes[0] != 0x0A || bytes[3] != 8 || bytes[65] != 3)
        return {};
    const auto u16 = [&](int at) { return qFromLittleEndian<quint16>(bytes.constData() + at); };
    const int width = u16(8) - u16(4) + 1;
    const int height = u16(10) - u16(6) + 1;
    const int plane = u16(66);
    QByteArray rows;
    for (qsizetype at = 128; at < bytes.size() && rows.size() < qsizetype(plane) * 3 * height;) {
        const quint8 byte = quint8(bytes[at++]);
        if ((byte & 0xC0) == 0xC0 && at < bytes.size())
            rows.append(byte & 0x3F, bytes[at++]);
        else
            rows.append(char(byte));
    }
    if (rows.size() < qsizetype(plane) * 3 * height)
        return {};
    QImage picture(width, height, QImage::Format_RGBA8888);
    for (int y = 0; y < height; ++y) {
        const char* row = rows.constData() + qsizetype(y) * plane * 3;
        for (int x = 0; x < width; ++x)
            picture.setPixelColor(x, y, QColor(quint8(row[x]), quint8(row[plane + x]), quint8(row[2 * plane + x])));
    }
    return picture;
}

// The largest entry of an icon, as Qt's reader takes it.
QImage largestIcon(const QString& path)
{
    QImageReader reader(path, "ico");
    QImage largest;
    for (int i = 0; i < reader.imageCount(); ++i) {
        reader.jumpToImage(i);
        const QImage entry = reader.read();
        if (entry.width() > largest.width())
            largest = entry;
    }
    return largest;
}

QImage onWhite(const QImage& picture)
{
    QImage flat(picture.size(), QImage::Format_RGBA8888);
    flat.fill(Qt::white);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            const auto mix = [&](int v) { return (v * c.alpha() + 255 * (255 - c.alpha()) + 127) / 255; };
            flat.setPixelColor(x, y, QColor(mix(c.red()), mix(c.green()), mix(c.blue())));
        }
    }
    return flat;
}

// A picture with smooth colour, noise, a hard edge and, when asked, transparent and half-transparent
// parts.
QImage madePicture(int width, int height, bool alpha)
{
    QImage made = TestPictures::toQImage(TestPictures::photo(size_t(width), size_t(height)));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            QColor c = made.pixelColor(x, y);
            if (x > width * 3 / 4)
                c = QColor(20, 200, 40);
            if (alpha)
                c.setAlpha(y < height / 4 ? 0 : y < height / 2 ? 128 : 255);
            made.setPixelColor(x, y, c);
        }
    }
    return made;
}

Magick::Image magickOf(const QImage& picture)
{
    const QImage rgba = picture.convertToFormat(QImage::Format_RGBA8888);
    Magick::Image image;
    image.read(size_t(rgba.width()), size_t(rgba.height()), "RGBA", MagickCore::CharPixel, rgba.constBits());
    return image;
}
} // namespace

class TestDifferential : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void readByOtherReaders_data();
    void readByOtherReaders();

private:
    QTemporaryDir m_dir;
};

void TestDifferential::initTestCase()
{
    QVERIFY(m_dir.isValid());
    TestPictures::initialise();
}

void TestDifferential::readByOtherReaders_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QImage>("expected");
    const QImage opaque = madePicture(96, 64, false);
    const QImage translucent = madePicture(96, 64, true);
    const auto made = [&](const char* tag, const QString& name, const QImage& expected, Magick::Image image,
                          const std::string& coder) {
        TestPictures::save(image, m_dir.filePath(name), coder);
        QTest::newRow(tag) << m_dir.filePath(name) << expected;
    };
    made("png", u"rgb.png"_s, opaque, magickOf(opaque), "PNG");
    made("png with alpha", u"rgba.png"_s, translucent, magickOf(translucent), "PNG");
    Magick::Image deep = magickOf(opaque);
    deep.depth(16);
    made("16-bit png", u"deep.png"_s, opaque, deep, "PNG");
    made("tga", u"photo.tga"_s, opaque, magickOf(opaque), "TGA");
    Magick::Image lossless = magickOf(translucent);
    lossless.defineValue("webp", "lossless", "true");
    made("lossless webp", u"photo.webp"_s, translucent, lossless, "WEBP");
    // Few colours: GIF keeps them exactly.
    QImage flat(80, 60, QImage::Format_RGBA8888);
    for (int y = 0; y < flat.height(); ++y) {
        for (int x = 0; x < flat.width(); ++x)
            flat.setPixelColor(x, y, QColor((x / 10) * 30, (y / 10) * 40, 128));
    }
    made("few colours, bmp", u"flat.bmp"_s, flat, magickOf(flat), "BMP3");
}

void TestDifferential::readByOtherReaders()
{
    QFETCH(QString, name);
    QFETCH(QImage, expected);
    const QDir out(m_dir.filePath(QFileInfo(name).fileName() + u"-out"_s));
    QVERIFY(QDir().mkpath(out.path()));
    QList<ConvertJob> jobs;
    for (int format = 0; format < Count; ++format)
        jobs.append({name, out.filePath(u"picture"_s + extension(format)), Index(format)});
    WorkerEngine engine(testEngineOptions());
    QCOMPARE(runBatch(engine, jobs).errors, QStringList(Count, QString()));

    bool translucent = false;
    for (int y = 0; y < expected.height(); ++y) {
        for (int x = 0; x < expected.width(); ++x)
            translucent = translucent || expected.pixelColor(x, y).alpha() < 255;
    }
    const QImage flat = onWhite(expected);
    const QImage rgba = expected.convertToFormat(QImage::Format_RGBA8888);
    const auto read = [&](int format) { return QImage(jobs[format].target).convertToFormat(QImage::Format_RGBA8888); };
    // Colour under full transparency shows nowhere, and encoders may drop it.
    const auto visible = [](QImage picture) {
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                if (picture.pixelColor(x, y).alpha() == 0)
                    picture.setPixelColor(x, y, QColor(0, 0, 0, 0));
            }
        }
        return picture;
    };
    const auto check = [&](const char* what, const QImage& seen, const QImage& wanted, int maxDifference,
                           double meanDifference) {
        QVERIFY2(seen.size() == wanted.size(), what);
        const int worst = TestPictures::maxDifference(visible(seen), visible(wanted));
        const double mean = TestPictures::meanDifference(visible(seen), visible(wanted));
        QVERIFY2(worst <= maxDifference && mean <= meanDifference,
                 qPrintable(u"%1: max %2, mean %3"_s.arg(QString::fromLatin1(what)).arg(worst).arg(mean)));
    };

    // Lossless outputs give back every pixel, alpha included where the format keeps it.
    check("png through libpng", read(Png), rgba, 1, 0.5);
    check("tiff through libtiff", TestPictures::tiffPages(jobs[Tiff].target).value(0), rgba, 1, 0.5);
    check("bmp through Qt", read(Bmp), translucent ? rgba : flat, 1, 0.5);
    check("pcx by its own description", pcxPicture(TestPictures::bytesOf(jobs[Pcx].target)), flat, 1, 0.5);
    // Lossy ones come close.
    check("jpg through libjpeg", read(Jpg), flat, 64, 3.0);
    // GIF: a palette of 256 colours and transparency of one bit, so exact for few colours, and for a
    // translucent picture its transparent part transparent and its opaque part close.
    const QImage gif = read(Gif);
    if (QFileInfo(name).suffix() == u"bmp"_s) {
        check("gif through Qt", gif, flat, 0, 0.0);
    } else if (!translucent) {
        check("gif through Qt", gif, flat, 255, 8.0);
    } else {
        QCOMPARE(gif.size(), rgba.size());
        QCOMPARE(gif.pixelColor(10, 2).alpha(), 0);
        const QRect opaque(0, rgba.height() / 2, rgba.width(), rgba.height() / 2);
        check("gif through Qt, opaque part", gif.copy(opaque), rgba.copy(opaque), 255, 8.0);
    }
    // The icon's largest entry is no larger than the picture: 48, the picture fitted inside and
    // centred, so a point three quarters down its middle column is the picture's.
    const QImage icon = largestIcon(jobs[Ico].target);
    QCOMPARE(icon.size(), QSize(48, 48));
    const double scale = 48.0 / std::max(rgba.width(), rgba.height());
    const int top = (48 - int(std::lround(rgba.height() * scale))) / 2;
    const QColor middle = icon.pixelColor(24, top + int(rgba.height() * 3 / 4 * scale));
    const QColor wanted = rgba.pixelColor(rgba.width() / 2, rgba.height() * 3 / 4);
    QVERIFY2(std::abs(middle.green() - wanted.green()) <= 24 && std::abs(middle.alpha() - wanted.alpha()) <= 24,
             qPrintable(middle.name(QColor::HexArgb) + u" for "_s + wanted.name(QColor::HexArgb)));
}

QTEST_MAIN(TestDifferential)
#include "tst_differential.moc"
