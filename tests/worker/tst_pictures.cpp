// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of the kinds cameras, phones and editors make, through the real worker into every format:
// metadata ImageMagick complains about, colour profiles, orientations, animations, icons, deep and
// very large pictures.

#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"
#include "worker/Metadata.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <lcms2.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <tuple>

using namespace Qt::StringLiterals;

namespace {
using namespace OutputFormat;
const char* const extensions[] = {".jpg", ".bmp", ".gif", ".pcx", ".png", ".ico", ".tif"};

QByteArray profileFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString adobeRgbPath = u"/usr/share/color/icc/colord/AdobeRGB1998.icc"_s;
const QString cmykPath = u"/usr/share/color/icc/ghostscript/default_cmyk.icc"_s;

Magick::Blob blobOf(const QByteArray& bytes)
{
    return Magick::Blob(bytes.constData(), size_t(bytes.size()));
}

QByteArray bytesOf(const Magick::Blob& blob)
{
    return QByteArray(static_cast<const char*>(blob.data()), qsizetype(blob.length()));
}

// Colours converted by lcms alone, from a profile to sRGB: what a colour-managed viewer shows.
class ToSrgb {
public:
    ToSrgb(const QByteArray& profile, bool cmyk)
    {
        cmsHPROFILE from = cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
        cmsHPROFILE to = cmsCreate_sRGBProfile();
        m_transform = cmsCreateTransform(from, cmyk ? TYPE_CMYK_8 : TYPE_RGB_8, to, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
        cmsCloseProfile(from);
        cmsCloseProfile(to);
    }
    ~ToSrgb() { cmsDeleteTransform(m_transform); }
    ToSrgb(const ToSrgb&) = delete;
    ToSrgb& operator=(const ToSrgb&) = delete;

    QColor operator()(std::initializer_list<quint8> channels) const
    {
        const std::vector<quint8> in(channels);
        quint8 out[3] = {};
        cmsDoTransform(m_transform, in.data(), out, 1);
        return QColor(out[0], out[1], out[2]);
    }

private:
    cmsHTRANSFORM m_transform = nullptr;
};

int distance(QColor a, QColor b)
{
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

QString tiffText(const QString& path, bool exifDirectory, quint32 tag)
{
    const std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(TIFFOpen(QFile::encodeName(path).constData(), "r"), TIFFClose);
    if (!tiff)
        return {};
    if (exifDirectory) {
        toff_t offset = 0;
        if (!TIFFGetField(tiff.get(), TIFFTAG_EXIFIFD, &offset) || !TIFFReadEXIFDirectory(tiff.get(), offset))
            return {};
    }
    const char* text = nullptr;
    return TIFFGetField(tiff.get(), tag, &text) && text ? QString::fromLatin1(text) : QString();
}

// Little-endian and big-endian fields for the headers of made-up pictures.
QByteArray le16(quint16 v)
{
    return QByteArray(1, char(v & 0xff)) + char(v >> 8);
}
QByteArray le32(quint32 v)
{
    return le16(quint16(v)) + le16(quint16(v >> 16));
}

// The SOF segment of a JPEG made to declare another size; the rest stays as it was.
QByteArray jpegDeclaring(QByteArray jpeg, quint16 width, quint16 height)
{
    for (qsizetype at = 2; at + 9 < jpeg.size();) {
        const quint8 marker = quint8(jpeg[at + 1]);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            qToBigEndian(height, jpeg.data() + at + 5);
            qToBigEndian(width, jpeg.data() + at + 7);
            return jpeg;
        }
        at += 2 + qFromBigEndian<quint16>(jpeg.constData() + at + 2);
    }
    return {};
}

// A strip TIFF of 8-bit grey whose directories declare the sizes given and hold a few bytes of pixels.
QByteArray tiffDeclaring(const QList<QSize>& pages)
{
    QByteArray out = QByteArray("II*\0", 4) + le32(8);
    for (qsizetype page = 0; page < pages.size(); ++page) {
        const QList<std::pair<quint16, quint32>> entries{{256, quint32(pages[page].width())},
                                                         {257, quint32(pages[page].height())},
                                                         {258, 8},
                                                         {259, 1},
                                                         {262, 1},
                                                         {273, 0},
                                                         {277, 1},
                                                         {278, quint32(pages[page].height())},
                                                         {279, 16}};
        const quint32 next = page + 1 < pages.size() ? quint32(out.size() + 2 + entries.size() * 12 + 4 + 16) : 0;
        const quint32 pixels = quint32(out.size() + 2 + entries.size() * 12 + 4);
        out += le16(quint16(entries.size()));
        for (const auto& [tag, value] : entries)
            out += le16(tag) + le16(4) + le32(1) + le32(tag == 273 ? pixels : value);
        out += le32(next) + QByteArray(16, '\x80');
    }
    return out;
}

// A GIF whose one frame, width x height of colour index 0 (red), lies at x, y on a larger screen, with
// the global table's colour 0 as the background, as some editors save cut-outs.
QByteArray gifWithSmallFrame(quint16 screenWidth, quint16 screenHeight, quint16 x, quint16 y, quint16 width,
                             quint16 height)
{
    QByteArray out = QByteArray("GIF89a") + le16(screenWidth) + le16(screenHeight) + QByteArray("\x80\0\0", 3) +
                     QByteArray("\xff\0\0\0\0\xff", 6) + ',' + le16(x) + le16(y) + le16(width) + le16(height) + '\0' +
                     '\x02';
    // LZW of 2-bit codes: a clear code before each pixel keeps the code size at 3 bits.
    QByteArray data;
    quint32 bits = 0;
    int count = 0;
    const auto put = [&](quint32 code) {
        bits |= code << count;
        count += 3;
        while (count >= 8) {
            data.append(char(bits & 0xff));
            bits >>= 8;
            count -= 8;
        }
    };
    for (int i = 0; i < width * height; ++i) {
        put(4);
        put(0);
    }
    put(5);
    if (count > 0)
        data.append(char(bits & 0xff));
    for (qsizetype at = 0; at < data.size(); at += 255)
        out += char(std::min<qsizetype>(255, data.size() - at)) + data.mid(at, 255);
    return out + QByteArray("\0;", 2);
}

// An animated WebP made by libwebp's own encoder from whole frames (8-bit RGBA), which stores each
// later frame as the part that changed, at its offset; delays in milliseconds.
QByteArray webpAnimationOf(const QList<QImage>& frames, const QList<int>& delays, int loops)
{
    WebPAnimEncoderOptions options;
    WebPAnimEncoderOptionsInit(&options);
    options.anim_params.loop_count = loops;
    options.allow_mixed = 0;
    WebPAnimEncoder* encoder = WebPAnimEncoderNew(frames[0].width(), frames[0].height(), &options);
    WebPConfig config;
    WebPConfigInit(&config);
    config.lossless = 1;
    int at = 0;
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const QImage rgba = frames[i].convertToFormat(QImage::Format_RGBA8888);
        WebPPicture picture;
        WebPPictureInit(&picture);
        picture.use_argb = 1;
        picture.width = rgba.width();
        picture.height = rgba.height();
        WebPPictureImportRGBA(&picture, rgba.constBits(), int(rgba.bytesPerLine()));
        WebPAnimEncoderAdd(encoder, &picture, at, &config);
        WebPPictureFree(&picture);
        at += delays[i];
    }
    WebPAnimEncoderAdd(encoder, nullptr, at, nullptr);
    WebPData data;
    WebPDataInit(&data);
    WebPAnimEncoderAssemble(encoder, &data);
    const QByteArray bytes(reinterpret_cast<const char*>(data.bytes), qsizetype(data.size));
    WebPDataClear(&data);
    WebPAnimEncoderDelete(encoder);
    return bytes;
}
} // namespace

class TestPictures_ : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void metadataSourcesIntoEveryFormat_data();
    void metadataSourcesIntoEveryFormat();
    void wideGamut();
    void cmykThroughItsProfile();
    void orientations_data();
    void orientations();
    void uprightMetadata();
    void exifKept_data();
    void exifKept();
    void outputsPassTheValidators_data();
    void outputsPassTheValidators();
    void animationsIntoTiff();
    void gifFrameSmallerThanItsScreen_data();
    void gifFrameSmallerThanItsScreen();
    void animatedWebp();
    void pagesOfMixedSizesIntoGif();
    void photographIntoGif();
    void photographEndingEarly();
    void pngAsSmallAsConverts_data();
    void pngAsSmallAsConverts();
    void largePictureIntoIcon_data();
    void largePictureIntoIcon();
    void iconsAndFloats();
    void fewBitsIntoTiff_data();
    void fewBitsIntoTiff();
    void oddSources_data();
    void oddSources();
    void beyondTheOldLimits();
    void headersBeyondTheLimits_data();
    void headersBeyondTheLimits();
    void largePictureWaitsForTheOthers_data();
    void largePictureWaitsForTheOthers();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    // Converts source into each format given, outputs named after it in out/; the reasons, in order.
    QStringList convert(const QString& source, const QList<Index>& formats, WorkerEngine::Options options = {});
    QString output(const QString& source, Index format) const
    {
        return path(u"out/"_s + QFileInfo(source).completeBaseName() + QString::fromLatin1(extensions[format]));
    }

    QTemporaryDir m_dir;
    QByteArray m_adobeRgb;
    QByteArray m_cmyk;
};

void TestPictures_::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkdir(u"out"_s));
    // The tests read the outputs back under the workers' own policy: Debian's refuses a picture
    // 20000 pixels wide.
    qputenv("MAGICK_CONFIGURE_PATH",
            QFile::encodeName(QFileInfo(QStringLiteral(KALVORIN_WORKER_POLICY)).absolutePath()));
    TestPictures::initialise();
    m_adobeRgb = profileFile(adobeRgbPath);
    m_cmyk = profileFile(cmykPath);
    QVERIFY2(!m_adobeRgb.isEmpty(), "colord-data's profiles are installed");
    QVERIFY2(!m_cmyk.isEmpty(), "Ghostscript's CMYK profile is installed");
}

QStringList TestPictures_::convert(const QString& source, const QList<Index>& formats, WorkerEngine::Options options)
{
    if (options.workerPath.isEmpty())
        options = testEngineOptions();
    WorkerEngine engine(options);
    QList<ConvertJob> jobs;
    // Rows share base names ("exif6.webp", "exif6.heic"): each row's outputs replace the last one's,
    // as a user who chose 全部替换 would have them.
    for (const Index format : formats)
        jobs.append({source, output(source, format), format, true});
    const BatchResult result = runBatch(engine, jobs);
    for (qsizetype i = 0; i < result.errors.size(); ++i) {
        if (!result.errors[i].isEmpty())
            qWarning() << jobs[i].target << result.errors[i] << result.details[i];
    }
    return result.errors;
}

const QList<Index> everyFormat{Jpg, Bmp, Gif, Pcx, Png, Ico, Tiff};

void TestPictures_::metadataSourcesIntoEveryFormat_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    TestPictures::save(TestPictures::photo(60, 40), path(u"plain.jpg"_s), "JPEG");
    const QByteArray plain = TestPictures::bytesOf(path(u"plain.jpg"_s));
    // An XMP packet whose elements do not close, as some editors' packets look to ImageMagick.
    const QByteArray xmp = "http://ns.adobe.com/xap/1.0/\0"
                           "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
                           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
                           "rdf:about=\"\"></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>"_ba;
    QTest::newRow("xmp it cannot parse") << u"badxmp.jpg"_s << TestPictures::withApp1(plain, xmp);

    Magick::Image grey = TestPictures::photo(60, 40);
    grey.type(MagickCore::GrayscaleType);
    grey.profile("icc", blobOf(profileFile(u"/usr/share/color/icc/colord/sRGB.icc"_s)));
    TestPictures::save(grey, path(u"greyrgb.jpg"_s), "JPEG");
    QTest::newRow("grey with an rgb profile") << u"greyrgb.jpg"_s << TestPictures::bytesOf(path(u"greyrgb.jpg"_s));
}

void TestPictures_::metadataSourcesIntoEveryFormat()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    TestPictures::saveBytes(path(name), bytes);
    QCOMPARE(convert(path(name), everyFormat), QStringList(everyFormat.size()));
    for (const Index format : everyFormat) {
        const std::list<Magick::Image> frames = TestPictures::load(output(path(name), format));
        QVERIFY(!frames.empty());
        if (format != Ico)
            QCOMPARE(frames.front().columns(), size_t(60));
    }
}

void TestPictures_::wideGamut()
{
    // Saturated green and red in Adobe RGB: outside sRGB, so their numbers mean other colours there.
    Magick::Image picture = TestPictures::halves(64, 48, "rgb(20,200,40)", "rgb(220,30,30)");
    picture.profile("icc", blobOf(m_adobeRgb));
    const QString source = path(u"adobe.png"_s);
    TestPictures::save(picture, source, "PNG");
    QCOMPARE(convert(source, everyFormat), QStringList(everyFormat.size()));

    const ToSrgb toSrgb(m_adobeRgb, false);
    const QColor green = toSrgb({20, 200, 40});
    const QColor red = toSrgb({220, 30, 30});
    // The test means something only where the conversion changes the numbers.
    QVERIFY(distance(green, QColor(20, 200, 40)) > 20);

    // Formats whose readers ignore profiles: sRGB pixels.
    for (const Index format : {Bmp, Pcx, Gif, Ico}) {
        const std::list<Magick::Image> frames = TestPictures::load(output(source, format));
        const Magick::Image& largest = frames.back();
        const QImage shown = TestPictures::toQImage(largest);
        const int y = shown.height() / 2;
        QVERIFY2(distance(shown.pixelColor(shown.width() / 2 - 8, y), green) <= 3, extensions[format]);
        QVERIFY2(distance(shown.pixelColor(shown.width() / 2 + 8, y), red) <= 3, extensions[format]);
        QVERIFY2(largest.profile("icc").length() == 0, extensions[format]);
    }
    // Formats that carry the profile: the picture's own pixels and profile, untouched.
    for (const Index format : {Png, Tiff}) {
        const Magick::Image written = TestPictures::load(output(source, format)).front();
        QCOMPARE(TestPictures::maxDifference(TestPictures::toQImage(written), TestPictures::toQImage(picture)), 0);
        QCOMPARE(bytesOf(written.profile("icc")), m_adobeRgb);
    }
}

void TestPictures_::cmykThroughItsProfile()
{
    // Flat fields of ink, so that JPEG keeps their numbers.
    Magick::Image picture(Magick::Geometry(64, 48), Magick::Color("white"));
    picture.colorSpace(MagickCore::CMYKColorspace);
    const QString source = path(u"cmyk.jpg"_s);
    const QByteArray inks = [&] {
        QByteArray bytes(64 * 48 * 4, '\0');
        for (int y = 0; y < 48; ++y) {
            for (int x = 0; x < 64; ++x) {
                // Cyan and magenta (a press blue) on the left, magenta and yellow (a red) on the right.
                const quint8 left[4] = {230, 180, 0, 10};
                const quint8 right[4] = {0, 200, 220, 0};
                std::memcpy(bytes.data() + (y * 64 + x) * 4, x < 32 ? left : right, 4);
            }
        }
        return bytes;
    }();
    picture.read(64, 48, "CMYK", MagickCore::CharPixel, inks.constData());
    picture.profile("icc", blobOf(m_cmyk));
    picture.quality(98);
    TestPictures::save(picture, source, "JPEG");
    QCOMPARE(TestPictures::load(source).front().colorSpace(), MagickCore::CMYKColorspace);

    QCOMPARE(convert(source, everyFormat), QStringList(everyFormat.size()));
    const ToSrgb toSrgb(m_cmyk, true);
    const QColor blue = toSrgb({230, 180, 0, 10});
    const QColor red = toSrgb({0, 200, 220, 0});
    for (const Index format : everyFormat) {
        const QImage shown = TestPictures::toQImage(TestPictures::load(output(source, format)).back());
        const int tolerance = format == Jpg || format == Gif ? 8 : 4;
        const int y = shown.height() / 2;
        QVERIFY2(distance(shown.pixelColor(shown.width() / 2 - 8, y), blue) <= tolerance, extensions[format]);
        QVERIFY2(distance(shown.pixelColor(shown.width() / 2 + 8, y), red) <= tolerance, extensions[format]);
    }
}

void TestPictures_::orientations_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size");
    // Where the stored picture's left half shows once it is upright.
    QTest::addColumn<QPoint>("redAt");
    TestPictures::save(TestPictures::halves(60, 40, "red", "blue"), path(u"halves.jpg"_s), "JPEG");
    TestPictures::save(TestPictures::halves(60, 40, "red", "blue"), path(u"halves.png"_s), "PNG");
    const QByteArray jpeg = TestPictures::bytesOf(path(u"halves.jpg"_s));
    const QByteArray png = TestPictures::bytesOf(path(u"halves.png"_s));
    const QSize wide(60, 40);
    const QSize tall(40, 60);
    const QPoint left(10, 20), right(50, 20), top(20, 10), bottom(20, 50);
    const struct {
        int orientation;
        QSize size;
        QPoint red;
    } rows[] = {{1, wide, left}, {2, wide, right}, {3, wide, right},  {4, wide, left},
                {5, tall, top},  {6, tall, top},   {7, tall, bottom}, {8, tall, bottom}};
    for (const auto& row : rows) {
        TestPictures::Exif exif;
        exif.orientation = row.orientation;
        exif.bigEndian = row.orientation % 2 == 0;
        QTest::addRow("jpeg %d", row.orientation)
            << u"o%1.jpg"_s.arg(row.orientation) << TestPictures::withApp1(jpeg, TestPictures::exifBlock(exif))
            << row.size << row.red;
    }
    // Some cameras write the orientation as a LONG or an SLONG.
    for (const auto& [type, orientation, size, red] :
         {std::tuple{4, 6, tall, top}, {9, 8, tall, bottom}, {4, 5, tall, top}, {9, 7, tall, bottom}}) {
        TestPictures::Exif exif;
        exif.orientation = orientation;
        exif.orientationType = quint16(type);
        exif.bigEndian = type == 4;
        QTest::addRow("jpeg %s %d", type == 4 ? "long" : "slong", orientation)
            << u"o%1-%2.jpg"_s.arg(type).arg(orientation) << TestPictures::withApp1(jpeg, TestPictures::exifBlock(exif))
            << size << red;
    }
    // A PNG's orientation is in its eXIf chunk: the block without "Exif\0\0".
    QTest::newRow("png exif 6") << u"exif6.png"_s
                                << TestPictures::withPngChunk(png, "eXIf", TestPictures::exifBlock({}).mid(6)) << tall
                                << top;
    // An offset on a canvas of its own, to the upper left: nothing of it is kept.
    QByteArray offsets(9, '\0');
    qToBigEndian(qint32(-10), offsets.data());
    qToBigEndian(qint32(-20), offsets.data() + 4);
    QTest::newRow("png negative offset") << u"offset.png"_s << TestPictures::withPngChunk(png, "oFFs", offsets) << wide
                                         << left;
}

void TestPictures_::orientations()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QFETCH(QPoint, redAt);
    TestPictures::saveBytes(path(name), bytes);
    const QList<Index> formats{Gif, Tiff, Png};
    QCOMPARE(convert(path(name), formats), QStringList(formats.size()));
    for (const Index format : formats) {
        const Magick::Image written = TestPictures::load(output(path(name), format)).front();
        QCOMPARE(QSize(int(written.columns()), int(written.rows())), size);
        const Magick::Geometry page = written.page();
        QVERIFY2((page.width() == 0 || page.width() == written.columns()) &&
                     (page.height() == 0 || page.height() == written.rows()),
                 extensions[format]);
        QCOMPARE(page.xOff(), ssize_t(0));
        QCOMPARE(page.yOff(), ssize_t(0));
        const QColor shown = TestPictures::toQImage(written).pixelColor(redAt);
        QVERIFY2(shown.red() > 200 && shown.blue() < 60, extensions[format]);
    }
}

void TestPictures_::uprightMetadata()
{
    TestPictures::save(TestPictures::photo(60, 40), path(u"camera.jpg"_s), "JPEG");
    const QByteArray xmp = "http://ns.adobe.com/xap/1.0/\0<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
                           "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" tiff:Orientation=\"6\"/></rdf:RDF>"
                           "</x:xmpmeta>"_ba;
    for (const bool bigEndian : {true, false}) {
        TestPictures::Exif exif;
        exif.bigEndian = bigEndian;
        exif.thumbnail = true;
        const QString source = path(bigEndian ? u"camera-mm.jpg"_s : u"camera-ii.jpg"_s);
        TestPictures::saveBytes(
            source, TestPictures::withApp1(TestPictures::withApp1(TestPictures::bytesOf(path(u"camera.jpg"_s)),
                                                                  TestPictures::exifBlock(exif)),
                                           xmp));
        // The source says what the outputs must no longer say.
        Magick::Image stored = TestPictures::load(source).front();
        QCOMPARE(QString::fromStdString(stored.attribute("exif:Orientation")), u"6"_s);
        QCOMPARE(QString::fromStdString(stored.attribute("exif:thumbnail:Compression")), u"6"_s);
        const QList<Index> formats{Jpg, Png, Tiff};
        QCOMPARE(convert(source, formats), QStringList(formats.size()));
        for (const Index format : {Jpg, Png}) {
            Magick::Image written = TestPictures::load(output(source, format)).front();
            // ImageMagick does not read a PNG's eXIf chunk.
            const QByteArray exifOut = format == Png ? Metadata::pngExif(TestPictures::bytesOf(output(source, format)))
                                                     : bytesOf(written.profile("exif"));
            QCOMPARE(Metadata::orientationOf(exifOut), 1);
            QVERIFY(exifOut.contains("Kalvorin Test Camera"));
            // The thumbnail's directory, which showed the picture still sideways, is gone.
            QCOMPARE(QString::fromStdString(written.attribute("exif:thumbnail:Compression")), QString());
            // Nor the standard XMP chunk, which holds the packet uncompressed.
            const QByteArray packet =
                format == Png ? TestPictures::bytesOf(output(source, format)) : bytesOf(written.profile("xmp"));
            QVERIFY2(packet.contains("tiff:Orientation=\"1\""), packet.constData());
        }
        // TIFF keeps the camera and the time of the picture, in either byte order.
        const QString tiff = output(source, Tiff);
        QCOMPARE(tiffText(tiff, false, TIFFTAG_MAKE), u"Kalvorin Test Camera"_s);
        QCOMPARE(tiffText(tiff, true, EXIFTAG_DATETIMEORIGINAL), u"2020:01:02 03:04:05"_s);
        QCOMPARE(TestPictures::tiffPages(tiff).size(), 1);
    }
}

// Sources whose EXIF blocks held what readers and libtiff refuse, or went missing, in the outputs:
// each with every entry exiftool's validation asks for, so that what it finds is the program's.
void TestPictures_::exifKept_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size");
    // Where the stored picture's left half shows once it is upright.
    QTest::addColumn<QPoint>("redAt");
    const Magick::Image halves = TestPictures::halves(60, 40, "red", "blue");
    TestPictures::save(halves, path(u"exif-halves.jpg"_s), "JPEG");
    TestPictures::save(halves, path(u"exif-halves.png"_s), "PNG");
    TestPictures::save(halves, path(u"exif-halves.tif"_s), "TIFF");
    const QByteArray jpeg = TestPictures::bytesOf(path(u"exif-halves.jpg"_s));
    const QByteArray png = TestPictures::bytesOf(path(u"exif-halves.png"_s));
    const QByteArray tiff = TestPictures::bytesOf(path(u"exif-halves.tif"_s));
    const QSize wide(60, 40), tall(40, 60);
    const QPoint left(10, 20), top(20, 10), bottom(20, 50);
    const auto block = [](int orientation, quint16 type, bool bigEndian) {
        TestPictures::Exif exif;
        exif.complete = true;
        exif.thumbnail = true;
        exif.orientation = orientation;
        exif.orientationType = type;
        exif.bigEndian = bigEndian;
        return exif;
    };
    QTest::newRow("jpeg, long 6") << u"long6.jpg"_s
                                  << TestPictures::withApp1(jpeg, TestPictures::exifBlock(block(6, 4, true))) << tall
                                  << top;
    QTest::newRow("jpeg, slong 8") << u"slong8.jpg"_s
                                   << TestPictures::withApp1(jpeg, TestPictures::exifBlock(block(8, 9, false))) << tall
                                   << bottom;
    TestPictures::Exif gain = block(1, 3, true);
    gain.gainControlType = 5;
    QTest::newRow("jpeg, gain control as a rational")
        << u"gain.jpg"_s << TestPictures::withApp1(jpeg, TestPictures::exifBlock(gain)) << wide << left;
    TestPictures::Exif firstOnly = block(6, 3, false);
    firstOnly.exifDirectory = false;
    QTest::newRow("jpeg, first directory and thumbnail only")
        << u"first-only.jpg"_s << TestPictures::withApp1(jpeg, TestPictures::exifBlock(firstOnly)) << tall << top;
    QTest::newRow("png, exif 1") << u"exif1.png"_s
                                 << TestPictures::withPngChunk(png, "eXIf",
                                                               TestPictures::exifBlock(block(1, 3, true)).mid(6))
                                 << wide << left;
    QTest::newRow("png, slong 6") << u"slong6.png"_s
                                  << TestPictures::withPngChunk(png, "eXIf",
                                                                TestPictures::exifBlock(block(6, 9, false)).mid(6))
                                  << tall << top;
    // A WebP's EXIF chunk holds the block without "Exif\0\0". ImageMagick writes the picture's own
    // orientation into it.
    Magick::Image webp = halves;
    webp.profile("exif", blobOf(TestPictures::exifBlock(block(6, 3, true)).mid(6)));
    webp.orientation(MagickCore::RightTopOrientation);
    webp.defineValue("webp", "lossless", "true");
    TestPictures::save(webp, path(u"exif6.webp"_s), "WEBP");
    QTest::newRow("webp, exif 6") << u"exif6.webp"_s << TestPictures::bytesOf(path(u"exif6.webp"_s)) << tall << top;
    // libheif turns a HEIC by its own boxes, as ImageMagick reads it; its EXIF orientation is a record
    // that must then say 1. exiftool writes the block, with the entries a JPEG's must have.
    TestPictures::save(halves, path(u"exif6.heic"_s), "HEIC");
    QProcess::execute(QStandardPaths::findExecutable(u"exiftool"_s),
                      {u"-q"_s, u"-overwrite_original"_s, u"-Make=Kalvorin Test Camera"_s, u"-Orientation#=6"_s,
                       u"-ExifImageWidth=60"_s, u"-ExifImageHeight=40"_s, u"-XResolution=72"_s, u"-YResolution=72"_s,
                       u"-ResolutionUnit=inches"_s, u"-YCbCrPositioning=Centered"_s, path(u"exif6.heic"_s)});
    QTest::newRow("heic, exif 6") << u"exif6.heic"_s << TestPictures::bytesOf(path(u"exif6.heic"_s)) << wide << left;
    QTest::newRow("tiff with exif") << u"exif.tif"_s
                                    << Metadata::tiffWithExif(tiff, TestPictures::exifBlock(block(1, 3, false))) << wide
                                    << left;
}

void TestPictures_::exifKept()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QFETCH(QPoint, redAt);
    const QString source = path(name);
    TestPictures::saveBytes(source, bytes);
    const QList<Index> formats{Jpg, Png, Tiff};
    QCOMPARE(convert(source, formats), QStringList(formats.size()));
    for (const Index format : formats) {
        const QString written = output(source, format);
        const Magick::Image picture = TestPictures::load(written).front();
        QCOMPARE(QSize(int(picture.columns()), int(picture.rows())), size);
        const QColor shown = TestPictures::toQImage(picture).pixelColor(redAt);
        QVERIFY2(shown.red() > 200 && shown.blue() < 60, extensions[format]);
        // The EXIF block as each format keeps it, with the camera's name, saying upright.
        const QByteArray file = TestPictures::bytesOf(written);
        const QByteArray exif = format == Jpg   ? bytesOf(picture.profile("exif"))
                                : format == Png ? Metadata::pngExif(file)
                                                : Metadata::exifOfTiff(file);
        QVERIFY2(exif.contains("Kalvorin Test Camera"), extensions[format]);
        if (format == Jpg)
            QVERIFY(exif.startsWith(QByteArray("Exif\0\0", 6)));
        QCOMPARE(Metadata::orientationOf(exif), 1);
    }
}

void TestPictures_::outputsPassTheValidators_data()
{
    exifKept_data();
    // Without a resolution anywhere, which TIFF requires: the photograph route's own writer, and
    // ImageMagick's.
    TestPictures::save(TestPictures::photo(60, 40), path(u"nores.jpg"_s), "JPEG");
    QTest::newRow("jpeg without resolution") << u"nores.jpg"_s << TestPictures::bytesOf(path(u"nores.jpg"_s));
    TestPictures::save(TestPictures::framedByTransparency(48, 8, "red"), path(u"nores.png"_s), "PNG");
    QTest::newRow("png without resolution") << u"nores.png"_s << TestPictures::bytesOf(path(u"nores.png"_s));
}

// libtiff's tiffinfo and exiftool's validation find nothing wrong in the outputs. exiftool judges a
// TIFF by its 1992 baseline, in which Deflate (8) is no compression; that one finding is not the
// metadata's.
void TestPictures_::outputsPassTheValidators()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    const QString tiffinfo = QStandardPaths::findExecutable(u"tiffinfo"_s);
    const QString exiftool = QStandardPaths::findExecutable(u"exiftool"_s);
    QVERIFY2(!tiffinfo.isEmpty() && !exiftool.isEmpty(), "libtiff-tools and libimage-exiftool-perl are installed");
    const QString source = path(u"valid-"_s + name);
    TestPictures::saveBytes(source, bytes);
    const QList<Index> formats{Jpg, Png, Tiff};
    QCOMPARE(convert(source, formats), QStringList(formats.size()));
    const auto findings = [](const QString& program, const QStringList& arguments) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        process.waitForFinished(-1);
        QStringList found;
        for (const QString& line : QString::fromUtf8(process.readAll()).split(u'\n')) {
            if ((line.contains(u"Warning"_s, Qt::CaseInsensitive) || line.contains(u"Error"_s, Qt::CaseInsensitive)) &&
                !line.contains(u"Invalid value for IFD0 tag 0x0103 Compression"_s) && !line.startsWith(u"Validate"_s))
                found.append(line);
        }
        return found;
    };
    for (const Index format : formats) {
        const QString written = output(source, format);
        QStringList found = findings(exiftool, {u"-validate"_s, u"-warning"_s, u"-a"_s, written});
        if (format == Tiff)
            found += findings(tiffinfo, {written});
        QVERIFY2(found.isEmpty(), qPrintable(QFileInfo(written).fileName() + u": "_s + found.join(u"; "_s)));
    }
}

void TestPictures_::animationsIntoTiff()
{
    // An optimised animation: the second frame is only the part that changes, offset on the screen,
    // and the rest of the screen is transparent.
    Magick::Image first = TestPictures::framedByTransparency(40, 10, "red");
    first.animationDelay(10);
    Magick::Image patch(Magick::Geometry(8, 8), Magick::Color("blue"));
    patch.page(Magick::Geometry(40, 40, 2, 2));
    patch.animationDelay(10);
    patch.gifDisposeMethod(MagickCore::NoneDispose);
    first.gifDisposeMethod(MagickCore::NoneDispose);
    TestPictures::saveFrames({first, patch}, path(u"optimised.gif"_s), "GIF");
    QCOMPARE(TestPictures::load(path(u"optimised.gif"_s)).back().columns(), size_t(8));

    std::list<Magick::Image> many;
    for (int i = 0; i < 30; ++i) {
        Magick::Image frame(Magick::Geometry(64, 64), Magick::Color("white"));
        frame.draw(Magick::DrawableRectangle(i * 2, 10, i * 2 + 5, 20));
        many.push_back(frame);
    }
    TestPictures::saveFrames(many, path(u"thirty.gif"_s), "GIF");

    QCOMPARE(convert(path(u"optimised.gif"_s), {Tiff}), QStringList{QString()});
    QCOMPARE(convert(path(u"thirty.gif"_s), {Tiff}), QStringList{QString()});
    const QList<QImage> pages = TestPictures::tiffPages(output(path(u"optimised.gif"_s), Tiff));
    QCOMPARE(pages.size(), 2);
    for (const QImage& page : pages) {
        QCOMPARE(page.size(), QSize(40, 40));
        // The transparent border stays transparent; the red square is in every frame as shown.
        QCOMPARE(page.pixelColor(1, 39).alpha(), 0);
        QCOMPARE(page.pixelColor(25, 25), QColor(Qt::red));
    }
    QCOMPARE(pages[1].pixelColor(5, 5), QColor(Qt::blue));
    QCOMPARE(pages[0].pixelColor(5, 5).alpha(), 0);
    QCOMPARE(TestPictures::tiffPages(output(path(u"thirty.gif"_s), Tiff)).size(), 30);

    // Waves and noise on which ImageMagick's TIFF coder fails in memory with Deflate ("IO error
    // writing tag data"), found by trying pictures like it; it writes them to a file.
    std::mt19937 random(58);
    const int width = 64 + int(random() % 300);
    const int height = 64 + int(random() % 300);
    const double frequency = double(random() % 100) / 10.0 + 0.1;
    std::normal_distribution<double> noise(0, double(random() % 20));
    QImage waves(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                const double v = 128 + 100 * std::sin(frequency * x / width * (c + 1) + y * 0.03 * c) + noise(random);
                waves.scanLine(y)[x * 3 + c] = uchar(std::clamp(v, 0.0, 255.0));
            }
        }
    }
    QVERIFY(waves.save(path(u"waves.png"_s)));
    QCOMPARE(convert(path(u"waves.png"_s), {Tiff}), QStringList{QString()});
    const QList<QImage> read = TestPictures::tiffPages(output(path(u"waves.png"_s), Tiff));
    QCOMPARE(read.size(), 1);
    QCOMPARE(TestPictures::maxDifference(read.front(), waves.convertToFormat(QImage::Format_RGBA8888)), 0);
}

void TestPictures_::pagesOfMixedSizesIntoGif()
{
    TestPictures::saveFrames({Magick::Image(Magick::Geometry(40, 30), Magick::Color("red")),
                              Magick::Image(Magick::Geometry(80, 100), Magick::Color("blue"))},
                             path(u"pages.tif"_s), "TIFF");
    QCOMPARE(convert(path(u"pages.tif"_s), {Gif}), QStringList{QString()});
    const std::list<Magick::Image> frames = TestPictures::load(output(path(u"pages.tif"_s), Gif));
    QCOMPARE(frames.size(), size_t(2));
    for (const Magick::Image& frame : frames) {
        QCOMPARE(frame.page().width(), size_t(80));
        QCOMPARE(frame.page().height(), size_t(100));
    }
    QCOMPARE(frames.back().columns(), size_t(80));
}

// A photograph's 256 colours are as close to it as ImageMagick's own choice and dithering, and the
// palette is one the file really holds.
void TestPictures_::photographIntoGif()
{
    const Magick::Image photo = TestPictures::photo(1800, 1400);
    TestPictures::save(photo, path(u"wide.png"_s), "PNG");
    QCOMPARE(convert(path(u"wide.png"_s), {Gif}), QStringList{QString()});
    const Magick::Image written = TestPictures::load(output(path(u"wide.png"_s), Gif)).front();
    QCOMPARE(written.magick(), "GIF");
    QVERIFY(written.totalColors() <= 256);
    Magick::Image theirs = photo;
    theirs.quantizeColors(256);
    theirs.quantizeDither(true);
    theirs.quantize();
    const QImage original = TestPictures::toQImage(photo);
    const double ours = TestPictures::meanDifference(TestPictures::toQImage(written), original);
    const double imageMagicks = TestPictures::meanDifference(TestPictures::toQImage(theirs), original);
    QVERIFY2(ours <= imageMagicks, QByteArray::number(ours) + " against " + QByteArray::number(imageMagicks));
}

// A JPEG whose data ends late in the picture: most of each output is written before the decoder's
// warning comes. Each format reports it as damaged, and nothing of it is left in the folder.
void TestPictures_::photographEndingEarly()
{
    TestPictures::save(TestPictures::photo(900, 700), path(u"whole.jpg"_s), "JPEG");
    const QByteArray whole = TestPictures::bytesOf(path(u"whole.jpg"_s));
    QDir(path(u"late"_s)).mkpath(u"."_s);
    const QString source = path(u"late/cut.jpg"_s);
    TestPictures::saveBytes(source, whole.left(whole.size() * 9 / 10));
    QCOMPARE(convert(source, everyFormat), QStringList(everyFormat.size(), u"图片已损坏"_s));
    QCOMPARE(QDir(path(u"out"_s)).entryList({u"*cut*"_s}, QDir::Files | QDir::Hidden), QStringList{});
}

// Pictures of the kinds that reach each of the PNG encoder's roads, as PNG files.
void TestPictures_::pngAsSmallAsConverts_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("colourType");
    const size_t width = 800;
    const size_t height = 600;

    // Sixty bands across, every row the same, one band transparent: a palette whose indexes deflate
    // far better than its rows of colour suggest.
    std::vector<quint8> bands(width * height * 4);
    for (size_t at = 0; at < width * height; ++at) {
        const size_t band = at % width * 60 / width;
        const std::array<quint8, 4> colour{quint8(40 + band * 3), quint8(220 - band * 2), quint8(90 + band % 7 * 20),
                                           quint8(band == 30 ? 0 : 255)};
        std::memcpy(bands.data() + at * 4, colour.data(), 4);
    }
    Magick::Image palette;
    palette.read(width, height, "RGBA", MagickCore::CharPixel, bands.data());
    Magick::Blob blob;
    palette.write(&blob, "PNG");
    QTest::newRow("palette with transparency") << bytesOf(blob) << 3;

    // A photograph's smooth gradient, with rows of a finely repeated pattern (cloth, brick) between
    // the rows the encoder's sample reads: there run-length matching looks as good as zlib, and the
    // pattern, which only zlib's distant matches catch, came out 1.49 times convert's size.
    const size_t photoWidth = 640;
    const size_t photoHeight = 480;
    std::vector<bool> sampled(photoHeight);
    for (size_t band = 0; band < 10; ++band) {
        for (size_t row = 0; row < 6; ++row)
            sampled[(photoHeight - 6) * band / 9 + row] = true;
    }
    std::mt19937 random(3);
    std::array<std::array<int, 3>, 7> pattern{};
    for (std::array<int, 3>& pixel : pattern) {
        for (int& sample : pixel)
            sample = int(random() % 61) - 30;
    }
    std::vector<quint8> photo(photoWidth * photoHeight * 3);
    for (size_t y = 0; y < photoHeight; ++y) {
        for (size_t x = 0; x < photoWidth; ++x) {
            const double u = double(x) / double(photoWidth), v = double(y) / double(photoHeight);
            const std::array<double, 3> base{60 + 150 * u, 80 + 120 * std::sin(3.1 * v + u), 200 - 140 * v};
            for (size_t c = 0; c < 3; ++c) {
                const int texture = sampled[y] ? 0 : pattern[(x + 3 * (y / 4)) % 7][c];
                photo[(y * photoWidth + x) * 3 + c] =
                    quint8(std::clamp(int(base[c]) + texture + int(random() % 2), 0, 255));
            }
        }
    }
    Magick::Image patterned;
    patterned.read(photoWidth, photoHeight, "RGB", MagickCore::CharPixel, photo.data());
    blob = Magick::Blob();
    patterned.write(&blob, "PNG");
    QTest::newRow("photograph of a pattern") << bytesOf(blob) << 2;

    // 16 bits a sample, sixteen colours dithered across a gradient and a seventeenth transparent: a
    // tRNS chunk, no alpha channel.
    random.seed(5);
    std::vector<quint16> deep(width * height * 4);
    for (size_t y = 0; y < height; ++y) {
        for (size_t x = 0; x < width; ++x) {
            quint16* pixel = deep.data() + (y * width + x) * 4;
            const size_t level = std::min<size_t>(15, (x + y + random() % 200) * 16 / (width + height + 200));
            const bool hole = x / 100 % 2 && y / 100 % 2;
            pixel[0] = hole ? 0 : quint16(1001 + level * 4099);
            pixel[1] = hole ? 0 : quint16(60013 - level * 3001);
            pixel[2] = hole ? 0 : quint16(20011 + level % 5 * 9007);
            pixel[3] = hole ? 0 : 65535;
        }
    }
    Magick::Image sixteen;
    sixteen.read(width, height, "RGBA", MagickCore::ShortPixel, deep.data());
    sixteen.depth(16);
    blob = Magick::Blob();
    sixteen.write(&blob, "PNG");
    QTest::newRow("16-bit with a transparent colour") << bytesOf(blob) << 2;
}

// No more than 2% larger than ImageMagick's own file of the same picture written as convert writes it
// (less the time of writing, which the worker leaves out), and of the same colour type.
void TestPictures_::pngAsSmallAsConverts()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, colourType);
    const QString source = path(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + u".png"_s);
    TestPictures::saveBytes(source, bytes);
    QCOMPARE(convert(source, {Png}), QStringList{QString()});
    const QByteArray ours = TestPictures::bytesOf(output(source, Png));

    Magick::Image picture;
    picture.quiet(true);
    picture.read(blobOf(bytes));
    picture.defineValue("png", "exclude-chunks", "date,tIME");
    Magick::Blob blob;
    picture.write(&blob, "PNG");
    const QByteArray theirs = bytesOf(blob);
    QVERIFY2(double(ours.size()) <= double(theirs.size()) * 1.02,
             QByteArray::number(ours.size()) + " against " + QByteArray::number(theirs.size()));
    QCOMPARE(int(ours.at(25)), colourType);
    QCOMPARE(int(theirs.at(25)), colourType);
}

void TestPictures_::largePictureIntoIcon_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // Two spots of the icon's largest entry, as fractions of its side, and their colours there;
    // an invalid colour for a transparent spot.
    QTest::addColumn<QPointF>("at");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QPointF>("otherAt");
    QTest::addColumn<QColor>("otherColour");
    // Large enough to be read a row at a time, in blocks of four.
    const size_t width = 1536, height = 1024;
    const auto encoded = [&](Magick::Image picture, const std::string& coder = "PNG") {
        picture.quality(75);
        Magick::Blob blob;
        picture.write(&blob, coder);
        return QByteArray(static_cast<const char*>(blob.data()), qsizetype(blob.length()));
    };
    const QPointF left(0.3, 0.5), right(0.7, 0.5), top(0.5, 0.3), corner(0.02, 0.02), middle(0.5, 0.5);

    Magick::Image adobe = TestPictures::halves(width, height, "rgb(20,200,40)", "rgb(220,30,30)");
    adobe.profile("icc", blobOf(m_adobeRgb));
    const ToSrgb toSrgb(m_adobeRgb, false);
    QTest::newRow("adobe rgb") << encoded(adobe) << left << toSrgb({20, 200, 40}) << right << toSrgb({220, 30, 30});

    QTest::newRow("palette, transparent frame")
        << encoded(TestPictures::framedByTransparency(1280, 320, "rgb(250,200,0)"), "PNG8") << middle
        << QColor(250, 200, 0) << corner << QColor();

    Magick::Image grey = TestPictures::halves(width, height, "gray(20%)", "gray(80%)");
    grey.type(MagickCore::GrayscaleType);
    grey.depth(16);
    QTest::newRow("grey, 16 bits") << encoded(grey) << left << QColor(51, 51, 51) << right << QColor(204, 204, 204);

    const QByteArray halves = encoded(TestPictures::halves(width, height, "red", "blue"));
    QTest::newRow("exif 6") << TestPictures::withPngChunk(halves, "eXIf", TestPictures::exifBlock({}).mid(6)) << top
                            << QColor(255, 0, 0) << QPointF(0.5, 0.7) << QColor(0, 0, 255);

    Magick::Image interlaced = TestPictures::halves(width, height, "red", "blue");
    interlaced.interlaceType(MagickCore::PlaneInterlace);
    QTest::newRow("interlaced") << encoded(interlaced) << left << QColor(255, 0, 0) << right << QColor(0, 0, 255);

    QTest::newRow("tiff, adobe rgb") << encoded(adobe, "TIFF") << left << toSrgb({20, 200, 40}) << right
                                     << toSrgb({220, 30, 30});
    Magick::Image framed = TestPictures::framedByTransparency(1280, 320, "rgb(250,200,0)");
    framed.defineValue("tiff", "alpha", "unassociated");
    QTest::newRow("tiff, transparent frame")
        << encoded(framed, "TIFF") << middle << QColor(250, 200, 0) << corner << QColor();
    Magick::Image tiled = TestPictures::halves(width, height, "red", "blue");
    tiled.defineValue("tiff", "tile-geometry", "256x256");
    QTest::newRow("tiff, tiled") << encoded(tiled, "TIFF") << left << QColor(255, 0, 0) << right << QColor(0, 0, 255);

    Magick::Image lossless = adobe;
    lossless.defineValue("webp", "lossless", "true");
    QTest::newRow("webp, adobe rgb") << encoded(lossless, "WEBP") << left << toSrgb({20, 200, 40}) << right
                                     << toSrgb({220, 30, 30});
    framed.defineValue("webp", "lossless", "true");
    QTest::newRow("webp, transparent frame")
        << encoded(framed, "WEBP") << middle << QColor(250, 200, 0) << corner << QColor();
    Magick::Image lossy = TestPictures::halves(width, height, "red", "blue");
    QTest::newRow("webp, lossy") << encoded(lossy, "WEBP") << left << QColor(255, 0, 0) << right << QColor(0, 0, 255);
    lossy.profile("exif", blobOf(TestPictures::exifBlock({})));
    // ImageMagick writes the picture's own orientation, none, into the block; it is turned after.
    const auto orientation = [](char value) { return QByteArray("\x01\x12\0\x03\0\0\0\x01\0", 9) + value; };
    QTest::newRow("webp, exif 6") << encoded(lossy, "WEBP").replace(orientation(0), orientation(6)) << top
                                  << QColor(255, 0, 0) << QPointF(0.5, 0.7) << QColor(0, 0, 255);
}

// A PNG, TIFF or WebP much larger than the icon is read reduced, never whole: its colour,
// transparency and orientation come out as when it was.
void TestPictures_::largePictureIntoIcon()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QPointF, at);
    QFETCH(QColor, colour);
    QFETCH(QPointF, otherAt);
    QFETCH(QColor, otherColour);
    const QString name = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_').remove(u',');
    const QString source = path(u"large/"_s + name +
                                (bytes.startsWith("\x89PNG") ? u".png"_s
                                 : bytes.startsWith("RIFF")  ? u".webp"_s
                                                             : u".tif"_s));
    QDir(path(u"large"_s)).mkpath(u"."_s);
    TestPictures::saveBytes(source, bytes);
    QCOMPARE(convert(source, {Ico}), QStringList{QString()});
    const std::list<Magick::Image> entries = TestPictures::load(output(source, Ico));
    QCOMPARE(entries.back().columns(), size_t(256));
    const QImage shown = TestPictures::toQImage(entries.back());
    for (const auto& [spot, expected] : {std::pair{at, colour}, std::pair{otherAt, otherColour}}) {
        const QColor seen = shown.pixelColor(int(spot.x() * shown.width()), int(spot.y() * shown.height()));
        if (!expected.isValid())
            QCOMPARE(seen.alpha(), 0);
        else
            QVERIFY2(seen.alpha() == 255 && distance(seen, expected) <= 3,
                     qPrintable(seen.name() + u" for "_s + expected.name()));
    }

    // Cut short, it fails as a damaged picture, with nothing left behind.
    TestPictures::saveBytes(source, bytes.left(bytes.size() / 2));
    QFile::remove(output(source, Ico));
    QCOMPARE(convert(source, {Ico}), QStringList{u"图片已损坏"_s});
    QVERIFY(!QFile::exists(output(source, Ico)));
}

void TestPictures_::iconsAndFloats()
{
    // Icon editors often store the smallest entry first.
    Magick::Image small(Magick::Geometry(16, 16), Magick::Color("red"));
    Magick::Image large = TestPictures::halves(256, 256, "green", "blue");
    small.compressType(MagickCore::NoCompression);
    large.compressType(MagickCore::ZipCompression);
    TestPictures::saveFrames({small, large}, path(u"icon.ico"_s), "ICO");

    // Floating-point samples, as scanners and HDR tools write them, by libtiff itself.
    QImage expected(50, 40, QImage::Format_RGBA8888);
    {
        const std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(
            TIFFOpen(QFile::encodeName(path(u"float.tif"_s)).constData(), "w"), TIFFClose);
        QVERIFY(tiff);
        TIFFSetField(tiff.get(), TIFFTAG_IMAGEWIDTH, 50);
        TIFFSetField(tiff.get(), TIFFTAG_IMAGELENGTH, 40);
        TIFFSetField(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tiff.get(), TIFFTAG_BITSPERSAMPLE, 32);
        TIFFSetField(tiff.get(), TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
        TIFFSetField(tiff.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tiff.get(), TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff.get(), TIFFTAG_ROWSPERSTRIP, 40);
        for (int y = 0; y < 40; ++y) {
            std::vector<float> row;
            for (int x = 0; x < 50; ++x) {
                const float rgb[3] = {float(x) / 49, float(y) / 39, 0.25f};
                row.insert(row.end(), rgb, rgb + 3);
                expected.setPixelColor(x, y, QColor::fromRgbF(rgb[0], rgb[1], rgb[2]));
            }
            QVERIFY(TIFFWriteScanline(tiff.get(), row.data(), quint32(y), 0) == 1);
        }
    }

    QCOMPARE(convert(path(u"icon.ico"_s), {Png}), QStringList{QString()});
    const Magick::Image png = TestPictures::load(output(path(u"icon.ico"_s), Png)).front();
    QCOMPARE(png.columns(), size_t(256));
    QCOMPARE(TestPictures::toQImage(png).pixelColor(200, 128), QColor(Qt::blue));

    QCOMPARE(convert(path(u"float.tif"_s), {Tiff}), QStringList{QString()});
    const QList<QImage> pages = TestPictures::tiffPages(output(path(u"float.tif"_s), Tiff));
    QCOMPARE(pages.size(), 1);
    QVERIFY(TestPictures::maxDifference(pages.front(), expected) <= 1);
}

namespace {
// Blocks of up to five colours, exactly: pictures drawn by ImageMagick get more at their edges.
Magick::Image blocks(const QList<QColor>& colours)
{
    QImage picture(40, 30, QImage::Format_RGB888);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixelColor(x, y, colours[(x / 10 + y / 10 * 4) % colours.size()]);
    }
    Magick::Image image(size_t(picture.width()), size_t(picture.height()), "RGB", MagickCore::CharPixel,
                        picture.constBits());
    return image;
}
} // namespace

void TestPictures_::fewBitsIntoTiff_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    // Where the source says how many bits it has, and what it says: the row tests what it claims.
    QTest::addColumn<int>("at");
    QTest::addColumn<int>("bits");
    QTest::addColumn<QImage>("expected");
    const auto encoded = [](Magick::Image picture, const std::string& coder) {
        Magick::Blob blob;
        picture.write(&blob, coder);
        return bytesOf(blob);
    };
    const QList<QColor> two{Qt::red, Qt::blue};
    const QList<QColor> five{Qt::red, Qt::blue, Qt::yellow, Qt::green, Qt::white};
    const QList<QColor> blackAndWhite{Qt::black, Qt::white};
    Magick::Image palette2 = blocks(two);
    palette2.type(MagickCore::PaletteType);
    Magick::Image palette5 = blocks(five);
    palette5.type(MagickCore::PaletteType);
    Magick::Image direct = blocks(two);
    direct.type(MagickCore::TrueColorType);
    direct.depth(5);
    Magick::Image bilevel = blocks(blackAndWhite);
    bilevel.type(MagickCore::BilevelType);

    QTest::newRow("1-bit bmp") << u"two.bmp"_s << encoded(palette2, "BMP3") << 28 << 1
                               << TestPictures::toQImage(blocks(two));
    QTest::newRow("4-bit bmp") << u"five.bmp"_s << encoded(palette5, "BMP3") << 28 << 4
                               << TestPictures::toQImage(blocks(five));
    QTest::newRow("4-bit icon") << u"five.ico"_s << encoded(palette5, "ICO") << 12 << 4
                                << TestPictures::toQImage(blocks(five));
    QTest::newRow("16-bit tga") << u"direct.tga"_s << encoded(direct, "TGA") << 16 << 16
                                << TestPictures::toQImage(blocks(two));
    QTest::newRow("bilevel png") << u"bilevel.png"_s << encoded(bilevel, "PNG") << 24 << 1
                                 << TestPictures::toQImage(blocks(blackAndWhite));
}

// Samples of 1, 4 or 5 bits are valid TIFF, but PIL and vips refuse some of them and other readers
// more: 8 or 16 bits only, readable by libtiff's RGBA reader and by vips.
void TestPictures_::fewBitsIntoTiff()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(int, at);
    QFETCH(int, bits);
    QFETCH(QImage, expected);
    QCOMPARE(int(quint8(bytes.at(at))), bits);
    TestPictures::saveBytes(path(name), bytes);
    QCOMPARE(convert(path(name), {Tiff}), QStringList{QString()});
    const QString out = output(path(name), Tiff);
    const std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(TIFFOpen(QFile::encodeName(out).constData(), "r"), TIFFClose);
    QVERIFY(tiff);
    quint16 sampleBits = 0;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &sampleBits);
    QVERIFY2(sampleBits == 8 || sampleBits == 16, qPrintable(QString::number(sampleBits)));
    const QList<QImage> pages = TestPictures::tiffPages(out);
    QCOMPARE(pages.size(), 1);
    QCOMPARE(TestPictures::maxDifference(pages[0], expected), 0);
    const QString vips = QStandardPaths::findExecutable(u"vips"_s);
    if (!vips.isEmpty())
        QCOMPARE(QProcess::execute(vips, {u"copy"_s, out, out + u".png"_s}), 0);
}

namespace {
// A profile ImageMagick's PNG coder takes for sRGB's, which it knows by length and checksum alone:
// Ghostscript's sRGB profile grown to the 3144 bytes of HP's, its last four bytes chosen to give
// HP's checksum. (lcms's own sRGB profile, so grown, is one libpng refuses.)
QByteArray profileKnownAsSrgb()
{
    QByteArray profile = profileFile(u"/usr/share/color/icc/ghostscript/srgb.icc"_s);
    constexpr qsizetype length = 3144;
    profile.append(QByteArray(length - profile.size(), '\0'));
    qToBigEndian<quint32>(quint32(length), profile.data());
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        table[i] = c;
    }
    quint32 state = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < length - 4; ++i)
        state = (state >> 8) ^ table[(state ^ quint8(profile[i])) & 0xFF];
    // Backwards from the state the checksum needs: each of the last four bytes picks the table entry
    // whose top byte the next state has, and the entries' top bytes all differ.
    quint32 wanted = ~0x182ea552u;
    std::array<quint32, 4> picks{};
    for (int i = 3; i >= 0; --i) {
        const auto entry = std::find_if(table.begin(), table.end(), [&](quint32 t) { return t >> 24 == wanted >> 24; });
        picks[size_t(i)] = quint32(entry - table.begin());
        wanted = (wanted ^ *entry) << 8;
    }
    for (int i = 0; i < 4; ++i) {
        profile[length - 4 + i] = char((state ^ picks[size_t(i)]) & 0xFF);
        state = (state >> 8) ^ table[picks[size_t(i)]];
    }
    return profile;
}

// A GIF with an application extension (an ICC profile, a loop count) before the graphic control
// extension of frame number frame.
QByteArray gifWithExtension(const QByteArray& gif, int frame, const QByteArray& application, const QByteArray& data)
{
    qsizetype at = -2;
    for (int i = 0; i <= frame; ++i)
        at = gif.indexOf("\x21\xf9", at + 2);
    QByteArray extension = "\x21\xff\x0b" + application;
    for (qsizetype i = 0; i < data.size(); i += 255)
        extension += char(std::min<qsizetype>(255, data.size() - i)) + data.mid(i, 255);
    return gif.left(at) + extension + '\0' + gif.mid(at);
}

// The loop count of a GIF's loop extension, or -1 without one.
int gifLoops(const QByteArray& gif)
{
    const qsizetype at = gif.indexOf("NETSCAPE2.0\x03\x01");
    return at < 0 ? -1 : qFromLittleEndian<quint16>(gif.constData() + at + 13);
}

QByteArray tga(quint8 kind, const QByteArray& map, quint8 depth, quint8 descriptor, const QByteArray& pixels)
{
    QByteArray header(18, '\0');
    header[1] = char(map.isEmpty() ? 0 : 1);
    header[2] = char(kind);
    qToLittleEndian<quint16>(quint16(map.size() / 3), header.data() + 5);
    header[7] = char(map.isEmpty() ? 0 : 24);
    qToLittleEndian<quint16>(8, header.data() + 12);
    qToLittleEndian<quint16>(6, header.data() + 14);
    header[16] = char(depth);
    header[17] = char(descriptor);
    return header + map + pixels;
}
} // namespace

void TestPictures_::oddSources_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("reason");
    // What the output must hold, where given: its profile, a pixel, its loop count.
    QTest::addColumn<QByteArray>("profile");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("loops");
    const auto encoded = [](Magick::Image picture, const std::string& coder) {
        Magick::Blob blob;
        picture.write(&blob, coder);
        return bytesOf(blob);
    };

    // Grey then alpha, 8 by 6, top row first; the two left columns transparent.
    QByteArray greyAlpha;
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 8; ++x)
            greyAlpha.append(char(x * 32)).append(char(x < 2 ? 0 : 255));
    }
    QTest::newRow("grey and alpha tga") << u"greyalpha.tga"_s << tga(3, {}, 16, 0x28, greyAlpha) << int(Png)
                                        << QString() << QByteArray() << QPoint(3, 0) << QColor(96, 96, 96) << -1;
    QTest::newRow("grey and alpha tga, transparent")
        << u"greyalpha2.tga"_s << tga(3, {}, 16, 0x28, greyAlpha) << int(Png) << QString() << QByteArray()
        << QPoint(1, 2) << QColor(32, 32, 32, 0) << -1;
    // The same in packets: each row a run of two transparent pixels, then six stored.
    QByteArray packets;
    for (int y = 0; y < 6; ++y)
        packets += QByteArray("\x81\x20\x00", 3) + '\x05' + greyAlpha.mid(y * 16 + 4, 12);
    QTest::newRow("grey and alpha tga, run-length")
        << u"greyalpha3.tga"_s << tga(11, {}, 16, 0x28, packets) << int(Png) << QString() << QByteArray()
        << QPoint(1, 2) << QColor(32, 32, 32, 0) << -1;
    QTest::newRow("grey and alpha tga, run-length, opaque")
        << u"greyalpha4.tga"_s << tga(11, {}, 16, 0x28, packets) << int(Png) << QString() << QByteArray()
        << QPoint(7, 5) << QColor(224, 224, 224) << -1;

    Magick::Image deep = TestPictures::photo(40, 30);
    deep.depth(16);
    deep.profile("icc", blobOf(profileKnownAsSrgb()));
    QTest::newRow("16-bit tiff, sRGB's profile") << u"deepsrgb.tif"_s << encoded(deep, "TIFF") << int(Png) << QString()
                                                 << profileKnownAsSrgb() << QPoint() << QColor() << -1;

    Magick::Image grey = TestPictures::halves(40, 30, "black", "gray50");
    const QByteArray greyGif = gifWithExtension(encoded(grey, "GIF"), 0, "ICCRGBG1012", m_adobeRgb);
    QTest::newRow("grey gif, adobe rgb") << u"greyicc.gif"_s << greyGif << int(Png) << QString() << m_adobeRgb
                                         << QPoint() << QColor() << -1;

    // Four colours in the map and indices up to 210: ImageMagick reads those as the first colour.
    QByteArray indices;
    for (int i = 0; i < 48; ++i)
        indices.append(char(i * 30 % 211));
    const QByteArray badMap = tga(1, QByteArray("\0\0\xff\0\xff\0\xff\0\0\xff\xff\xff", 12), 8, 0x20, indices);
    for (const Index format : {Gif, Tiff, Png})
        QTest::newRow(qPrintable(u"tga outside its colour map into "_s + QString::fromLatin1(extensions[format])))
            << u"badmap.tga"_s << badMap << int(format) << u"图片已损坏"_s << QByteArray() << QPoint() << QColor()
            << -1;

    std::list<Magick::Image> frames;
    for (const char* colour : {"red", "blue"}) {
        frames.emplace_back(Magick::Geometry(20, 20), Magick::Color(colour));
        frames.back().animationDelay(20);
        frames.back().animationIterations(1);
        frames.back().magick("GIF");
    }
    Magick::Blob animation;
    Magick::writeImages(frames.begin(), frames.end(), &animation, true);
    QVERIFY(gifLoops(bytesOf(animation)) == -1);
    QTest::newRow("gif playing once") << u"once.gif"_s << bytesOf(animation) << int(Gif) << QString() << QByteArray()
                                      << QPoint() << QColor() << -1;
    QTest::newRow("gif with its loop after the first frame")
        << u"late.gif"_s << gifWithExtension(bytesOf(animation), 1, "NETSCAPE2.0", QByteArray("\x01\0\0", 3))
        << int(Gif) << QString() << QByteArray() << QPoint() << QColor() << 0;
}

// Sources ImageMagick reads or writes wrong unless told: each must come out as it is, or be refused
// into every format alike.
void TestPictures_::oddSources()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(int, format);
    QFETCH(QString, reason);
    QFETCH(QByteArray, profile);
    QFETCH(QPoint, at);
    QFETCH(QColor, colour);
    QFETCH(int, loops);
    TestPictures::saveBytes(path(name), bytes);
    QCOMPARE(convert(path(name), {Index(format)}), QStringList{reason});
    if (!reason.isEmpty())
        return;
    const QString out = output(path(name), Index(format));
    const std::list<Magick::Image> frames = TestPictures::load(out);
    QVERIFY(!frames.empty());
    if (!profile.isEmpty()) {
        // ImageMagick's PNG reader too drops a profile it knows as sRGB's.
        Magick::Image written;
        written.defineValue("png", "preserve-iCCP", "true");
        written.read(blobOf(TestPictures::bytesOf(out)));
        QCOMPARE(bytesOf(written.profile("icc")), profile);
    }
    if (colour.isValid())
        QCOMPARE(TestPictures::toQImage(frames.front()).pixelColor(at), colour);
    QCOMPARE(gifLoops(TestPictures::bytesOf(out)), loops);
}

void TestPictures_::beyondTheOldLimits()
{
    // Wider than Debian's 16K, small in bytes: a flat panorama.
    QImage wide(20000, 2000, QImage::Format_RGB888);
    wide.fill(QColor(51, 102, 204));
    QVERIFY(wide.save(path(u"panorama.png"_s)));
    QCOMPARE(convert(path(u"panorama.png"_s), everyFormat), QStringList(everyFormat.size()));
    for (const Index format : everyFormat) {
        const std::list<Magick::Image> frames = TestPictures::load(output(path(u"panorama.png"_s), format));
        QCOMPARE(frames.back().columns(), size_t(format == Ico ? 256 : 20000));
        const QImage shown = TestPictures::toQImage(frames.back());
        QVERIFY2(distance(shown.pixelColor(shown.width() / 2, shown.height() / 2), QColor(51, 102, 204)) <= 4,
                 extensions[format]);
    }

    TestPictures::saveBytes(path(u"bomb.png"_s), TestPictures::pngOfSize(60000, 60000));
    QCOMPARE(convert(path(u"bomb.png"_s), {Bmp}), QStringList{u"图片太大"_s});
}

// Every reader's header goes through one gate before anything is decoded: a few bytes that declare
// more than the limits are refused at once as too large, whatever the output; a header that is not
// one is damaged.
// Outside its one frame a GIF's screen shows nothing: transparent where the output has alpha, white
// where it has none; never the background colour.
void TestPictures_::gifFrameSmallerThanItsScreen_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QColor>("outside");
    QTest::newRow("png") << int(Png) << QColor(0, 0, 0, 0);
    QTest::newRow("bmp") << int(Bmp) << QColor(0, 0, 0, 0);
    QTest::newRow("tiff") << int(Tiff) << QColor(0, 0, 0, 0);
    QTest::newRow("jpg") << int(Jpg) << QColor(Qt::white);
    QTest::newRow("pcx") << int(Pcx) << QColor(Qt::white);
}

void TestPictures_::gifFrameSmallerThanItsScreen()
{
    QFETCH(int, format);
    QFETCH(QColor, outside);
    const QString source = path(u"small-frame.gif"_s);
    TestPictures::saveBytes(source, gifWithSmallFrame(100, 80, 30, 20, 40, 30));
    QCOMPARE(convert(source, {Index(format)}), QStringList{QString()});
    const QImage shown = TestPictures::toQImage(TestPictures::load(output(source, Index(format))).front());
    QCOMPARE(shown.size(), QSize(100, 80));
    QVERIFY(distance(shown.pixelColor(50, 35), QColor(Qt::red)) <= 3);
    const QColor corner = shown.pixelColor(5, 5);
    QCOMPARE(corner.alpha(), outside.alpha());
    if (outside.alpha() > 0)
        QVERIFY2(distance(corner, outside) <= 3, qPrintable(corner.name()));
}

// An animated WebP stores later frames as the part that changed, at an offset: every output shows
// the frames as the animation does.
void TestPictures_::animatedWebp()
{
    QImage first(100, 80, QImage::Format_RGBA8888);
    first.fill(Qt::transparent);
    for (int y = 10; y < 40; ++y) {
        for (int x = 10; x < 40; ++x)
            first.setPixelColor(x, y, Qt::red);
    }
    QImage second = first;
    for (int y = 40; y < 70; ++y) {
        for (int x = 60; x < 90; ++x)
            second.setPixelColor(x, y, Qt::blue);
    }
    const QString source = path(u"moving.webp"_s);
    TestPictures::saveBytes(source, webpAnimationOf({first, second}, {300, 500}, 0));
    QCOMPARE(convert(source, {Gif, Tiff, Png}), QStringList(3, QString()));

    // GIF: both frames, with their delays, composed as the WebP shows them.
    std::list<Magick::Image> gif = TestPictures::load(output(source, Gif));
    QCOMPARE(gif.size(), size_t(2));
    QCOMPARE(gif.front().animationDelay(), size_t(30));
    QCOMPARE(gif.back().animationDelay(), size_t(50));
    std::list<Magick::Image> shown;
    Magick::coalesceImages(&shown, gif.begin(), gif.end());
    const QImage one = TestPictures::toQImage(shown.front());
    const QImage two = TestPictures::toQImage(shown.back());
    QCOMPARE(one.pixelColor(75, 55).alpha(), 0);
    QVERIFY(distance(two.pixelColor(75, 55), QColor(Qt::blue)) <= 3 && two.pixelColor(75, 55).alpha() == 255);
    QVERIFY(distance(two.pixelColor(20, 20), QColor(Qt::red)) <= 3);
    QCOMPARE(two.pixelColor(5, 5).alpha(), 0);

    // TIFF: each page the whole frame, as libtiff's reader sees it.
    const QList<QImage> pages = TestPictures::tiffPages(output(source, Tiff));
    QCOMPARE(pages.size(), 2);
    for (const QImage& page : pages)
        QCOMPARE(page.size(), QSize(100, 80));
    QCOMPARE(pages[0].pixelColor(75, 55).alpha(), 0);
    QCOMPARE(pages[1].pixelColor(75, 55), QColor(Qt::blue));
    QCOMPARE(pages[1].pixelColor(20, 20), QColor(Qt::red));

    // PNG: the first frame as shown.
    const QImage png = TestPictures::toQImage(TestPictures::load(output(source, Png)).front());
    QCOMPARE(png.size(), QSize(100, 80));
    QCOMPARE(png.pixelColor(20, 20), QColor(Qt::red));
    QCOMPARE(png.pixelColor(75, 55).alpha(), 0);
}

void TestPictures_::headersBeyondTheLimits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<int>>("formats");
    QTest::addColumn<QString>("reason");
    const QList<int> all{Jpg, Bmp, Gif, Pcx, Png, Ico, Tiff};
    TestPictures::save(TestPictures::photo(64, 48), path(u"small.jpg"_s), "JPEG");
    const QByteArray jpeg = TestPictures::bytesOf(path(u"small.jpg"_s));

    QTest::newRow("jpeg of 4 gigapixels")
        << u"header-gp.jpg"_s << jpegDeclaring(jpeg, 64250, 64250) << all << u"图片太大"_s;
    QTest::newRow("jpeg wider than libjpeg reads")
        << u"header-wide.jpg"_s << jpegDeclaring(jpeg, 65520, 8) << all << u"图片太大"_s;
    QTest::newRow("tiff of 1.2 gigapixels")
        << u"header-big.tif"_s << tiffDeclaring({QSize(40000, 30000)}) << all << u"图片太大"_s;
    QTest::newRow("tiff whose second page is too large")
        << u"header-pages.tif"_s << tiffDeclaring({QSize(4, 4), QSize(60000, 60000)}) << all << u"图片太大"_s;
    QTest::newRow("gif frame of 4 gigapixels")
        << u"header-frame.gif"_s
        << QByteArray("GIF89a") + le16(16) + le16(16) + QByteArray("\0\0\0", 3) + ',' + le16(0) + le16(0) +
               le16(65535) + le16(65535) + QByteArray("\0\x02\x02\x44\x01\0;", 7)
        << all << u"图片太大"_s;
    QTest::newRow("bmp of 3.6 gigapixels")
        << u"header-big.bmp"_s
        << QByteArray("BM") + le32(70) + le32(0) + le32(54) + le32(40) + le32(60000) + le32(60000) + le16(1) +
               le16(24) + QByteArray(24 + 16, '\0')
        << all << u"图片太大"_s;
    QTest::newRow("tga of 4 gigapixels") << u"header-big.tga"_s
                                         << QByteArray("\0\0\x02", 3) + QByteArray(9, '\0') + le16(65535) +
                                                le16(65535) + QByteArray("\x18\0", 2) + QByteArray(64, '\0')
                                         << all << u"图片太大"_s;
    QTest::newRow("icon entry of 4 gigapixels")
        << u"header-big.ico"_s
        << QByteArray("\0\0\x01\0\x01\0", 6) + QByteArray("\x10\x10\0\0\x01\0\x20\0", 8) + le32(57) + le32(22) +
               TestPictures::pngOfSize(65535, 65535).left(57)
        << all << u"图片太大"_s;
    QTest::newRow("pcx of 4 gigapixels") << u"header-big.pcx"_s
                                         << QByteArray("\x0a\x05\x01\x08", 4) + le16(0) + le16(0) + le16(65534) +
                                                le16(65534) + QByteArray(200, '\0')
                                         << all << u"图片太大"_s;
    QTest::newRow("pnm of 3.6 gigapixels")
        << u"header-big.ppm"_s << QByteArray("P6\n60000 60000\n255\n") + QByteArray(300, '\x7f') << all
        << u"图片太大"_s;
    QTest::newRow("png of 3.6 gigapixels")
        << u"header-big.png"_s << TestPictures::pngOfSize(60000, 60000) << all << u"图片太大"_s;
    QTest::newRow("png signature before junk")
        << u"header-junk.png"_s << QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(64, 'x') << all << u"图片已损坏"_s;
}

void TestPictures_::headersBeyondTheLimits()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QList<int>, formats);
    QFETCH(QString, reason);
    TestPictures::saveBytes(path(name), bytes);
    QList<Index> outputs;
    for (const int format : formats)
        outputs.append(Index(format));
    WorkerEngine::Options options = testEngineOptions();
    // Bombs are refused from their headers; none of them waits for the machine's memory.
    options.poolSize = 2;
    QCOMPARE(convert(path(name), outputs, options), QStringList(outputs.size(), reason));
    for (const Index format : outputs)
        QVERIFY(!QFileInfo::exists(output(path(name), format)));
}

void TestPictures_::largePictureWaitsForTheOthers_data()
{
    QTest::addColumn<QString>("extension");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("shareMiB");
    QTest::newRow("png into gif") << u"png"_s << int(Gif) << 1;
    // An icon is made of a WebP decoded scaled, to a third of its sides here, which the share would
    // hold; but libwebp's lossless decoder holds every pixel even so.
    QTest::newRow("lossless webp into ico") << u"webp"_s << int(Ico) << 8;
}

void TestPictures_::largePictureWaitsForTheOthers()
{
    QFETCH(QString, extension);
    QFETCH(int, format);
    QFETCH(int, shareMiB);
    // A worker's share holds none of these pictures, so each converts alone, with the memory a picture
    // on its own may have; with the share alone and no room on disk, it could not convert at all.
    WorkerEngine::Options options = testEngineOptions();
    options.poolSize = 2;
    options.pixelMemory = qint64(shareMiB) << 20;
    options.aloneMemory = qint64(256) << 20;
    options.pixelDisk = qint64(1) << 20;
    const std::string coder = extension.toUpper().toStdString();
    Magick::Image large = TestPictures::photo(1500, 1000);
    large.defineValue("webp", "lossless", "true");
    QList<ConvertJob> jobs;
    for (const QString& name : {u"large1"_s, u"large2"_s, u"small"_s}) {
        const QString source = path(name + u"."_s + extension);
        TestPictures::save(name == u"small"_s ? TestPictures::photo(100, 50) : large, source, coder);
        jobs.append({source, output(source, Index(format)), Index(format)});
    }
    WorkerEngine engine(options);
    QStringList events;
    bool done = false;
    BatchCallbacks callbacks;
    callbacks.started = [&](int index) { events.append(u"start %1"_s.arg(index)); };
    callbacks.finished = [&](int index, const JobOutcome& outcome) {
        events.append(u"end %1 %2"_s.arg(index).arg(outcome.reason).trimmed());
    };
    callbacks.done = [&] { done = true; };
    engine.convertBatch(jobs, callbacks);
    QTRY_VERIFY_WITH_TIMEOUT(done, 120'000);
    // Both large pictures were under way before either had finished; the small one, which a free
    // worker could have taken, waited until both had.
    QCOMPARE(events.mid(0, 2), (QStringList{u"start 0"_s, u"start 1"_s}));
    QCOMPARE(events.mid(4), (QStringList{u"start 2"_s, u"end 2"_s}));
    QStringList ends = events.mid(2, 2);
    ends.sort();
    QCOMPARE(ends, (QStringList{u"end 0"_s, u"end 1"_s}));
}

QTEST_MAIN(TestPictures_)
#include "tst_pictures.moc"
