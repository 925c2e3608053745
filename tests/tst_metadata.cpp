// SPDX-License-Identifier: GPL-3.0-or-later
#include "Metadata.h"
#include "TestPictures.h"

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

QByteArray block(bool bigEndian, int orientation, bool thumbnail = true)
{
    TestPictures::Exif exif;
    exif.bigEndian = bigEndian;
    exif.orientation = orientation;
    exif.thumbnail = thumbnail;
    return TestPictures::exifBlock(exif);
}
} // namespace

class TestMetadata : public QObject {
    Q_OBJECT

private slots:
    void orientation_data();
    void orientation();
    void upright_data();
    void upright();
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
    QTest::newRow("big-endian") << true;
    QTest::newRow("little-endian") << false;
}

void TestMetadata::upright()
{
    QFETCH(bool, bigEndian);
    const QByteArray before = block(bigEndian, 7);
    QVERIFY(linkIn(before, bigEndian) != 0);
    const QByteArray after = Metadata::upright(before);
    QCOMPARE(Metadata::orientationOf(after), 1);
    QCOMPARE(linkIn(after, bigEndian), 0u);
    // Nothing else moves: the camera's name and every offset stay where they were.
    QCOMPARE(after.size(), before.size());
    qsizetype differing = 0;
    for (qsizetype i = 0; i < before.size(); ++i)
        differing += before[i] != after[i];
    QVERIFY(differing <= 5);
    QCOMPARE(Metadata::upright("garbage"_ba), "garbage"_ba);
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
