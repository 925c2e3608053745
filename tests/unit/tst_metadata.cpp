// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestPictures.h"
#include "worker/Metadata.h"

#include <QBuffer>
#include <QImage>
#include <QTest>
#include <QtEndian>

using namespace Qt::StringLiterals;

namespace {
// The offset of the link to the second directory in a block made by TestPictures::exifBlock: after
// "Exif\0\0", the header (8) and the first directory's count and three entries.
constexpr qsizetype thumbnailLink = 6 + 8 + 2 + 3 * 12;

quint32 linkIn(const QByteArray& block, bool bigEndian)
{
    const char* at = block.constData() + thumbnailLink;
    return bigEndian ? qFromBigEndian<quint32>(at) : qFromLittleEndian<quint32>(at);
}

QByteArray block(bool bigEndian, int orientation, bool thumbnail = true, quint16 type = 3, quint32 count = 1)
{
    TestPictures::Exif exif;
    exif.bigEndian = bigEndian;
    exif.orientation = orientation;
    exif.thumbnail = thumbnail;
    exif.orientationType = type;
    exif.orientationCount = count;
    return TestPictures::exifBlock(exif);
}

// The entries of a TIFF structure that starts at base: the first directory's, and its EXIF
// directory's, each as tag and type.
struct Directories {
    QList<QPair<quint16, quint16>> first;
    QList<QPair<quint16, quint16>> exif;
};

Directories directoriesOf(const QByteArray& bytes, qsizetype base)
{
    const bool bigEndian = bytes.mid(base, 2) == "MM";
    const auto u16 = [&](qsizetype at) {
        return bigEndian ? qFromBigEndian<quint16>(bytes.constData() + base + at)
                         : qFromLittleEndian<quint16>(bytes.constData() + base + at);
    };
    const auto u32 = [&](qsizetype at) {
        return bigEndian ? qFromBigEndian<quint32>(bytes.constData() + base + at)
                         : qFromLittleEndian<quint32>(bytes.constData() + base + at);
    };
    const auto entries = [&](qsizetype at) {
        QList<QPair<quint16, quint16>> tags;
        for (int i = 0; i < u16(at); ++i)
            tags.append({u16(at + 2 + i * 12), u16(at + 4 + i * 12)});
        return tags;
    };
    Directories directories;
    const qsizetype first = u32(4);
    directories.first = entries(first);
    for (int i = 0; i < directories.first.size(); ++i) {
        if (directories.first[i].first == 0x8769)
            directories.exif = entries(u32(first + 2 + i * 12 + 8));
    }
    return directories;
}

QList<quint16> tagsOf(const QList<QPair<quint16, quint16>>& entries)
{
    QList<quint16> tags;
    for (const auto& entry : entries)
        tags.append(entry.first);
    return tags;
}

// A TIFF header and a first directory of two entries (width 5, height 3), in either byte order.
QByteArray smallTiff(bool bigEndian)
{
    return bigEndian ? QByteArray("MM\0*\0\0\0\x08\0\x02"
                                  "\x01\0\0\x03\0\0\0\x01\0\x05\0\0"
                                  "\x01\x01\0\x03\0\0\0\x01\0\x03\0\0\0\0\0\0",
                                  38)
                     : QByteArray("II*\0\x08\0\0\0\x02\0"
                                  "\0\x01\x03\0\x01\0\0\0\x05\0\0\0"
                                  "\x01\x01\x03\0\x01\0\0\0\x03\0\0\0\0\0\0\0",
                                  38);
}
} // namespace

class TestMetadata : public QObject {
    Q_OBJECT

private slots:
    void orientation_data();
    void orientation();
    void upright_data();
    void upright();
    void uprightDropsWronglyTypedEntries();
    void directoriesInTheHeaderAreNone_data();
    void directoriesInTheHeaderAreNone();
    void tiffTakesOnlyStandardEntries_data();
    void tiffTakesOnlyStandardEntries();
    void exifOfTiff();
    void uprightXmp_data();
    void uprightXmp();
    void pngExif();
    void tiffLeftAloneWhenItCannotTakeTheBlock_data();
    void tiffLeftAloneWhenItCannotTakeTheBlock();
};

void TestMetadata::orientation_data()
{
    QTest::addColumn<QByteArray>("exif");
    QTest::addColumn<int>("orientation");
    QTest::newRow("big-endian, as in a JPEG") << block(true, 6) << 6;
    QTest::newRow("little-endian") << block(false, 8) << 8;
    QTest::newRow("without Exif\\0\\0, as in a PNG") << block(true, 5).mid(6) << 5;
    QTest::newRow("out of range") << block(true, 9) << 0;
    // Some cameras write it as a LONG or an SLONG, which ImageMagick, exiftool and PIL read too.
    QTest::newRow("long, big-endian") << block(true, 6, false, 4) << 6;
    QTest::newRow("long, little-endian") << block(false, 5, false, 4) << 5;
    QTest::newRow("slong, big-endian") << block(true, 8, false, 9) << 8;
    QTest::newRow("slong, little-endian") << block(false, 7, false, 9) << 7;
    QTest::newRow("long out of range") << block(true, 9, false, 4) << 0;
    QTest::newRow("slong negative") << block(false, -6, false, 9) << 0;
    QTest::newRow("two values") << block(true, 6, false, 3, 2) << 0;
    QTest::newRow("rational") << block(false, 6, false, 5) << 0;
    QTest::newRow("cut short") << block(true, 6).left(20) << 0;
    QTest::newRow("not exif") << QByteArray("just some bytes, nothing more") << 0;
    QTest::newRow("empty") << QByteArray() << 0;
}

void TestMetadata::orientation()
{
    QFETCH(QByteArray, exif);
    QFETCH(int, orientation);
    QCOMPARE(Metadata::orientationOf(exif), orientation);
}

void TestMetadata::upright_data()
{
    QTest::addColumn<bool>("bigEndian");
    QTest::addColumn<quint16>("type");
    QTest::newRow("big-endian") << true << quint16(3);
    QTest::newRow("little-endian") << false << quint16(3);
    QTest::newRow("long, big-endian") << true << quint16(4);
    QTest::newRow("slong, little-endian") << false << quint16(9);
}

void TestMetadata::upright()
{
    QFETCH(bool, bigEndian);
    QFETCH(quint16, type);
    const QByteArray before = block(bigEndian, 7, true, type);
    QCOMPARE(Metadata::orientationOf(before), 7);
    QVERIFY(linkIn(before, bigEndian) != 0);
    const QByteArray after = Metadata::upright(before);
    QCOMPARE(Metadata::orientationOf(after), 1);
    // Written back as the standard has it, whatever it was.
    QCOMPARE(directoriesOf(after, 6).first[1], (QPair<quint16, quint16>(0x0112, 3)));
    QCOMPARE(linkIn(after, bigEndian), 0u);
    // Nothing else moves: the camera's name and every offset stay where they were.
    QCOMPARE(after.size(), before.size());
    qsizetype differing = 0;
    for (qsizetype i = 0; i < before.size(); ++i)
        differing += before[i] != after[i];
    QVERIFY(differing <= 5);
    QCOMPARE(Metadata::upright("garbage"_ba), "garbage"_ba);
}

void TestMetadata::uprightDropsWronglyTypedEntries()
{
    for (const bool bigEndian : {true, false}) {
        TestPictures::Exif exif;
        exif.bigEndian = bigEndian;
        exif.gainControlType = 5;
        exif.thumbnail = true;
        const QByteArray before = TestPictures::exifBlock(exif);
        QCOMPARE(tagsOf(directoriesOf(before, 6).exif), (QList<quint16>{0x9003, 0xA407}));
        // Shown as stored: the thumbnail stays, and nothing moves.
        const QByteArray after = Metadata::upright(before, false);
        QCOMPARE(after.size(), before.size());
        QCOMPARE(tagsOf(directoriesOf(after, 6).exif), QList<quint16>{0x9003});
        QCOMPARE(directoriesOf(after, 6).first, directoriesOf(before, 6).first);
        QCOMPARE(linkIn(after, bigEndian), linkIn(before, bigEndian));
        QVERIFY(after.contains("2020:01:02 03:04:05"));
        // A block without a wrong entry comes back as it was.
        exif.gainControlType = 3;
        exif.orientation = 1;
        QCOMPARE(Metadata::upright(TestPictures::exifBlock(exif), false), TestPictures::exifBlock(exif));
    }
}

// A crafted block whose directory starts inside the 8-byte header: taking entries out of that
// directory rewrote the header's link to the first directory, and the block came back pointing at
// garbage, its orientation of 6 no longer found as 1 (a viewer would turn the picture again).
void TestMetadata::directoriesInTheHeaderAreNone_data()
{
    QTest::addColumn<quint32>("firstDirectory");
    QTest::addColumn<quint32>("gpsDirectory");
    QTest::addColumn<int>("orientation");
    QTest::newRow("a GPS directory where the header is") << 8u << 4u << 1;
    QTest::newRow("a GPS directory after it") << 8u << 40u << 1;
    QTest::newRow("the first directory where the header is") << 4u << 40u << 0;
}

void TestMetadata::directoriesInTheHeaderAreNone()
{
    QFETCH(quint32, firstDirectory);
    QFETCH(quint32, gpsDirectory);
    QFETCH(int, orientation);
    // Little-endian: a first directory of a GPS pointer and an orientation of 6, then entries of a tag
    // nobody knows; read from offset 4, the bytes make a GPS directory with wrongly typed entries.
    QByteArray exif(110, '\0');
    const auto put16 = [&](qsizetype at, quint16 value) { qToLittleEndian(value, exif.data() + at); };
    const auto put32 = [&](qsizetype at, quint32 value) { qToLittleEndian(value, exif.data() + at); };
    exif.replace(0, 4, "II*\0"_ba);
    put32(4, firstDirectory);
    put16(8, 2);
    put16(10, 0x8825);
    put16(12, 4);
    put32(14, 1);
    put32(18, gpsDirectory);
    put16(22, 0x0112);
    put16(24, 3);
    put32(26, 1);
    put16(30, 6);
    for (qsizetype at = 42; at + 12 <= 102; at += 12) {
        put16(at, 0x7777);
        put16(at + 2, 3);
        put32(at + 4, 1);
    }
    QCOMPARE(Metadata::orientationOf(exif), firstDirectory == 8 ? 6 : 0);
    for (const bool turned : {true, false}) {
        const QByteArray after = Metadata::upright(exif, turned);
        QCOMPARE(after.left(8), exif.left(8));
        QCOMPARE(Metadata::orientationOf(after), orientation);
    }
}

void TestMetadata::tiffTakesOnlyStandardEntries_data()
{
    QTest::addColumn<QByteArray>("exif");
    QTest::addColumn<QList<quint16>>("first");
    QTest::addColumn<QList<quint16>>("camera");
    TestPictures::Exif exif;
    exif.thumbnail = true;
    // The page's width, then what it takes.
    QTest::newRow("camera") << TestPictures::exifBlock(exif) << QList<quint16>{0x0100, 0x0101, 0x010F, 0x8769}
                            << QList<quint16>{0x9003};
    exif.exifDirectory = false;
    QTest::newRow("first directory and thumbnail only")
        << TestPictures::exifBlock(exif) << QList<quint16>{0x0100, 0x0101, 0x010F} << QList<quint16>();
    exif.exifDirectory = true;
    exif.dateTimeOriginal.clear();
    // libtiff refuses a directory of no entries.
    QTest::newRow("empty EXIF directory")
        << TestPictures::exifBlock(exif) << QList<quint16>{0x0100, 0x0101, 0x010F} << QList<quint16>();
    exif.gainControlType = 5;
    QTest::newRow("only a wrongly typed entry")
        << TestPictures::exifBlock(exif) << QList<quint16>{0x0100, 0x0101, 0x010F} << QList<quint16>();
    // libtiff 4.5 warns of GainControl as the standard has it too.
    exif.gainControlType = 3;
    exif.dateTimeOriginal = "2020:01:02 03:04:05";
    QTest::newRow("gain control") << TestPictures::exifBlock(exif) << QList<quint16>{0x0100, 0x0101, 0x010F, 0x8769}
                                  << QList<quint16>{0x9003};
    // A PNG's or a WebP's EXIF block is the only record of its resolution.
    exif.complete = true;
    QTest::newRow("complete") << TestPictures::exifBlock(exif)
                              << QList<quint16>{0x0100, 0x0101, 0x010F, 0x011A, 0x011B, 0x0128, 0x8769}
                              << QList<quint16>{0x9000, 0x9003, 0xA000, 0xA001};
}

void TestMetadata::tiffTakesOnlyStandardEntries()
{
    QFETCH(QByteArray, exif);
    QFETCH(QList<quint16>, first);
    QFETCH(QList<quint16>, camera);
    const QByteArray tiff = Metadata::tiffWithExif(smallTiff(true), exif);
    const Directories directories = directoriesOf(tiff, 0);
    QCOMPARE(tagsOf(directories.first), first);
    QCOMPARE(tagsOf(directories.exif), camera);
}

void TestMetadata::exifOfTiff()
{
    for (const bool bigEndian : {true, false}) {
        TestPictures::Exif exif;
        exif.bigEndian = bigEndian;
        exif.complete = true;
        const QByteArray tiff = Metadata::tiffWithExif(smallTiff(bigEndian), TestPictures::exifBlock(exif));
        const QByteArray back = Metadata::exifOfTiff(tiff);
        QVERIFY(back.startsWith(QByteArray("Exif\0\0", 6)));
        QCOMPARE(Metadata::isBigEndian(back), bigEndian);
        const Directories directories = directoriesOf(back, 6);
        // With what a JPEG's EXIF must say and a TIFF's may not: YCbCrPositioning, ComponentsConfiguration
        // and the picture's size.
        QCOMPARE(tagsOf(directories.first), (QList<quint16>{0x010F, 0x011A, 0x011B, 0x0128, 0x0213, 0x8769}));
        QCOMPARE(tagsOf(directories.exif), (QList<quint16>{0x9000, 0x9003, 0x9101, 0xA000, 0xA001, 0xA002, 0xA003}));
        QCOMPARE(Metadata::orientationOf(back), 0);
        QVERIFY(back.contains("Kalvorin Test Camera"));
        QCOMPARE(Metadata::resolutionOf(back).x, 72.0);
        // A page with nothing of a camera's has none.
        QCOMPARE(Metadata::exifOfTiff(smallTiff(bigEndian)), QByteArray());
    }
}

void TestMetadata::uprightXmp_data()
{
    QTest::addColumn<QByteArray>("xmp");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("attribute") << "<rdf:Description tiff:Orientation=\"6\" tiff:Make=\"X\"/>"_ba
                               << "<rdf:Description tiff:Orientation=\"1\" tiff:Make=\"X\"/>"_ba;
    QTest::newRow("single quotes") << "<d tiff:Orientation='8'/>"_ba
                                   << "<d tiff:Orientation='1'/>"_ba;
    QTest::newRow("element") << "<tiff:Orientation>6</tiff:Orientation><exif:X>6</exif:X>"_ba
                             << "<tiff:Orientation>1</tiff:Orientation><exif:X>6</exif:X>"_ba;
    QTest::newRow("none") << "<d exif:PixelXDimension=\"6\"/>"_ba
                          << "<d exif:PixelXDimension=\"6\"/>"_ba;
    QTest::newRow("utf-8 around it") << "<d dc:title=\"海边\" tiff:Orientation=\"3\"/>"_ba
                                     << "<d dc:title=\"海边\" tiff:Orientation=\"1\"/>"_ba;
}

void TestMetadata::uprightXmp()
{
    QFETCH(QByteArray, xmp);
    QFETCH(QByteArray, expected);
    QCOMPARE(Metadata::uprightXmp(xmp), expected);
}

void TestMetadata::pngExif()
{
    QImage tiny(4, 3, QImage::Format_RGB32);
    tiny.fill(Qt::red);
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(tiny.save(&buffer, "PNG"));
    }
    QCOMPARE(Metadata::pngExif(png), QByteArray());
    const QByteArray exif = block(true, 6);
    const QByteArray tagged = Metadata::pngWithExif(png, exif);
    // The block without "Exif\0\0", in a chunk readers accept: Qt's own decoder still reads the file.
    QCOMPARE(Metadata::pngExif(tagged), exif.mid(6));
    QImage decoded;
    QVERIFY(decoded.loadFromData(tagged, "PNG"));
    QCOMPARE(decoded.pixelColor(1, 1), QColor(Qt::red));
    // What is not a PNG, or not EXIF, is left as it is.
    QCOMPARE(Metadata::pngWithExif("not a png at all, just words"_ba, exif), "not a png at all, just words"_ba);
    QCOMPARE(Metadata::pngWithExif(png, "not exif"_ba), png);
}

void TestMetadata::tiffLeftAloneWhenItCannotTakeTheBlock_data()
{
    QTest::addColumn<QByteArray>("tiff");
    QTest::addColumn<QByteArray>("exif");
    // A TIFF header and an empty first directory, little-endian.
    const QByteArray emptyTiff("II*\0\x08\0\0\0\0\0\0\0\0\0", 14);
    QTest::newRow("other byte order") << emptyTiff << block(true, 1);
    QTest::newRow("not a tiff") << "GIF89a and more bytes"_ba << block(false, 1);
    QTest::newRow("not exif") << emptyTiff << "Exif\0\0garbage"_ba;
    QTest::newRow("directory beyond the end") << QByteArray("II*\0\xFF\0\0\0", 8) << block(false, 1);
}

void TestMetadata::tiffLeftAloneWhenItCannotTakeTheBlock()
{
    QFETCH(QByteArray, tiff);
    QFETCH(QByteArray, exif);
    QCOMPARE(Metadata::tiffWithExif(tiff, exif), tiff);
}

QTEST_GUILESS_MAIN(TestMetadata)
#include "tst_metadata.moc"
