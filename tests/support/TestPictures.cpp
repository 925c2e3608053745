// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestPictures.h"

#include <QBuffer>
#include <QFile>
#include <QList>
#include <QtEndian>

#include <algorithm>
#include <tiffio.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

namespace TestPictures {

void initialise()
{
    static const bool once = [] {
        Magick::InitializeMagick(nullptr);
        return true;
    }();
    Q_UNUSED(once);
}

Magick::Image photo(size_t width, size_t height)
{
    initialise();
    QImage pixels(int(width), int(height), QImage::Format_RGB888);
    std::mt19937 random(1234);
    std::normal_distribution<double> noise(0.0, 6.0);
    for (int y = 0; y < pixels.height(); ++y) {
        uchar* row = pixels.scanLine(y);
        for (int x = 0; x < pixels.width(); ++x) {
            const double u = double(x) / width;
            const double v = double(y) / height;
            const double base[3] = {60 + 150 * u, 80 + 120 * std::sin(3.1 * v + u), 200 - 140 * v};
            for (int c = 0; c < 3; ++c)
                row[x * 3 + c] = uchar(std::clamp(base[c] + noise(random), 0.0, 255.0));
        }
    }
    Magick::Image image;
    image.read(width, height, "RGB", MagickCore::CharPixel, pixels.constBits());
    return image;
}

Magick::Image halves(size_t width, size_t height, const std::string& left, const std::string& right)
{
    initialise();
    Magick::Image image(Magick::Geometry(width, height), Magick::Color(right));
    image.draw(Magick::DrawableList{Magick::DrawableFillColor(Magick::Color(left)),
                                    Magick::DrawableStrokeColor(Magick::Color(left)),
                                    Magick::DrawableRectangle(0, 0, double(width) / 2 - 1, double(height) - 1)});
    return image;
}

Magick::Image framedByTransparency(size_t size, size_t border, const std::string& colour)
{
    initialise();
    Magick::Image image(Magick::Geometry(size, size), Magick::Color("transparent"));
    image.matte(true);
    Magick::Image inner(Magick::Geometry(size - 2 * border, size - 2 * border), Magick::Color(colour));
    image.composite(inner, ssize_t(border), ssize_t(border), MagickCore::OverCompositeOp);
    return image;
}

void saveBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        std::abort();
}

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void save(Magick::Image picture, const QString& path, const std::string& coder)
{
    Magick::Blob blob;
    picture.write(&blob, coder);
    saveBytes(path, QByteArray(static_cast<const char*>(blob.data()), qsizetype(blob.length())));
}

void saveFrames(std::list<Magick::Image> frames, const QString& path, const std::string& coder)
{
    for (Magick::Image& frame : frames)
        frame.magick(coder);
    Magick::Blob blob;
    Magick::writeImages(frames.begin(), frames.end(), &blob, true);
    saveBytes(path, QByteArray(static_cast<const char*>(blob.data()), qsizetype(blob.length())));
}

namespace {
quint32 crc32Of(const QByteArray& bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray pngChunk(const char* type, const QByteArray& data)
{
    QByteArray typed = QByteArray(type) + data;
    QByteArray chunk(4, '\0');
    qToBigEndian(quint32(data.size()), chunk.data());
    chunk += typed;
    QByteArray crc(4, '\0');
    qToBigEndian(crc32Of(typed), crc.data());
    return chunk + crc;
}
} // namespace

QByteArray pngOfSize(quint32 width, quint32 height)
{
    QByteArray header(13, '\0');
    qToBigEndian(width, header.data());
    qToBigEndian(height, header.data() + 4);
    header[8] = 8; // bits per sample
    header[9] = 0; // grey
    // Four rows of zeros; qCompress puts the length before zlib's own stream.
    const QByteArray rows(4 * (qsizetype(width) + 1), '\0');
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", qCompress(rows).mid(4)) +
           pngChunk("IEND", {});
}

namespace {
// An entry with its whole value, already in the block's byte order.
struct Tag {
    quint16 tag = 0;
    quint16 type = 0;
    quint32 count = 0;
    QByteArray value;
};

// Builds a TIFF structure as cameras write one: each directory, then the values that do not fit in
// its entries.
class ExifWriter {
public:
    explicit ExifWriter(bool bigEndian)
        : m_bigEndian(bigEndian)
    {
    }
    QByteArray u16(quint16 value) const
    {
        QByteArray bytes(2, '\0');
        m_bigEndian ? qToBigEndian(value, bytes.data()) : qToLittleEndian(value, bytes.data());
        return bytes;
    }
    QByteArray u32(quint32 value) const
    {
        QByteArray bytes(4, '\0');
        m_bigEndian ? qToBigEndian(value, bytes.data()) : qToLittleEndian(value, bytes.data());
        return bytes;
    }
    static qsizetype sizeOf(const QList<Tag>& tags)
    {
        qsizetype size = 2 + tags.size() * 12 + 4;
        for (const Tag& tag : tags)
            size += tag.value.size() > 4 ? tag.value.size() + tag.value.size() % 2 : 0;
        return size;
    }
    // The directory at offset at (sorted by the caller), linking to next.
    QByteArray directory(const QList<Tag>& tags, quint32 at, quint32 next) const
    {
        QByteArray entries = u16(quint16(tags.size()));
        QByteArray values;
        const quint32 valuesAt = at + 2 + quint32(tags.size()) * 12 + 4;
        for (const Tag& tag : tags) {
            entries += u16(tag.tag) + u16(tag.type) + u32(tag.count);
            if (tag.value.size() > 4) {
                entries += u32(valuesAt + quint32(values.size()));
                values += tag.value;
                if (values.size() % 2)
                    values += '\0';
            } else {
                entries += tag.value.leftJustified(4, '\0');
            }
        }
        return entries + u32(next) + values;
    }

private:
    bool m_bigEndian;
};
} // namespace

QByteArray exifBlock(const Exif& exif)
{
    const ExifWriter w(exif.bigEndian);
    const auto text = [](const QByteArray& value) { return value + '\0'; };
    const auto rational = [&](quint32 n, quint32 d) { return w.u32(n) + w.u32(d); };
    QByteArray orientation;
    for (quint32 i = 0; i < exif.orientationCount; ++i)
        orientation += exif.orientationType == 3 ? w.u16(quint16(exif.orientation)) : w.u32(quint32(exif.orientation));
    QList<Tag> first{{0x010F, 2, quint32(exif.make.size() + 1), text(exif.make)},
                     {0x0112, exif.orientationType, exif.orientationCount, orientation}};
    QList<Tag> camera;
    if (!exif.dateTimeOriginal.isEmpty())
        camera.append({0x9003, 2, quint32(exif.dateTimeOriginal.size() + 1), text(exif.dateTimeOriginal)});
    if (exif.gainControlType == 3)
        camera.append({0xA407, 3, 1, w.u16(1)});
    else if (exif.gainControlType != 0)
        camera.append({0xA407, exif.gainControlType, 1, rational(1, 1)});
    QList<Tag> thumbnail{{0x0103, 3, 1, w.u16(6)}};
    QByteArray thumbnailJpeg;
    if (exif.complete) {
        first += QList<Tag>{{0x011A, 5, 1, rational(72, 1)},
                            {0x011B, 5, 1, rational(72, 1)},
                            {0x0128, 3, 1, w.u16(2)},
                            {0x0213, 3, 1, w.u16(1)}};
        camera += QList<Tag>{{0x9000, 7, 4, "0232"},    {0x9101, 7, 4, QByteArray("\1\2\3\0", 4)},
                             {0xA000, 7, 4, "0100"},    {0xA001, 3, 1, w.u16(1)},
                             {0xA002, 4, 1, w.u32(60)}, {0xA003, 4, 1, w.u32(40)}};
        QImage small(8, 8, QImage::Format_RGB32);
        small.fill(Qt::green);
        QBuffer buffer(&thumbnailJpeg);
        buffer.open(QIODevice::WriteOnly);
        small.save(&buffer, "JPEG");
        thumbnail += QList<Tag>{{0x011A, 5, 1, rational(72, 1)},
                                {0x011B, 5, 1, rational(72, 1)},
                                {0x0128, 3, 1, w.u16(2)},
                                {0x0201, 4, 1, {}},
                                {0x0202, 4, 1, w.u32(quint32(thumbnailJpeg.size()))}};
    }
    const auto byTag = [](QList<Tag>& tags) {
        std::sort(tags.begin(), tags.end(), [](const Tag& a, const Tag& b) { return a.tag < b.tag; });
    };
    const qsizetype pointers = exif.exifDirectory ? 1 : 0;
    const quint32 cameraAt = quint32(8 + ExifWriter::sizeOf(first) + pointers * 12);
    if (exif.exifDirectory)
        first.append({0x8769, 4, 1, w.u32(cameraAt)});
    const quint32 thumbnailAt = cameraAt + quint32(exif.exifDirectory ? ExifWriter::sizeOf(camera) : 0);
    const quint32 jpegAt = thumbnailAt + quint32(ExifWriter::sizeOf(thumbnail));
    for (Tag& tag : thumbnail) {
        if (tag.tag == 0x0201)
            tag.value = w.u32(jpegAt);
    }
    byTag(first);
    byTag(camera);
    byTag(thumbnail);
    QByteArray out = QByteArray(exif.bigEndian ? "MM" : "II") + w.u16(42) + w.u32(8);
    out += w.directory(first, 8, exif.thumbnail ? thumbnailAt : 0);
    if (exif.exifDirectory)
        out += w.directory(camera, cameraAt, 0);
    // Nothing reads the thumbnail's picture unless the block is complete.
    if (exif.thumbnail)
        out += w.directory(thumbnail, thumbnailAt, 0) + thumbnailJpeg;
    return QByteArray("Exif\0\0", 6) + out;
}

QByteArray withApp1(const QByteArray& jpeg, const QByteArray& payload)
{
    QByteArray segment("\xFF\xE1", 2);
    char length[2];
    qToBigEndian(quint16(payload.size() + 2), length);
    segment.append(length, 2);
    segment.append(payload);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

QByteArray withExifRotation(const QByteArray& jpeg)
{
    return withApp1(jpeg, exifBlock({}));
}

QByteArray withPngChunk(const QByteArray& png, const char* type, const QByteArray& data)
{
    // The signature (8 bytes) and the header chunk (25) come first.
    constexpr qsizetype afterHeader = 8 + 25;
    return png.left(afterHeader) + pngChunk(type, data) + png.mid(afterHeader);
}

namespace {
bool isIcon(const QByteArray& bytes)
{
    return bytes.startsWith(QByteArray("\0\0\1\0", 4)) && bytes.size() > 6;
}
} // namespace

std::list<Magick::Image> load(const QString& path)
{
    initialise();
    const QByteArray bytes = bytesOf(path);
    std::list<Magick::Image> frames;
    Magick::ReadOptions options;
    options.quiet(true);
    // ImageMagick cannot tell an icon by its content; its header says it is one.
    if (isIcon(bytes))
        std::strcpy(options.imageInfo()->magick, "ICO");
    Magick::readImages(&frames, Magick::Blob(bytes.constData(), size_t(bytes.size())), options);
    return frames;
}

std::string formatOf(const QString& path)
{
    initialise();
    const QByteArray bytes = bytesOf(path);
    if (isIcon(bytes))
        return "ICO";
    Magick::Image image;
    image.quiet(true);
    image.ping(Magick::Blob(bytes.constData(), size_t(bytes.size())));
    return image.magick();
}

QImage toQImage(const Magick::Image& picture)
{
    QImage out(int(picture.columns()), int(picture.rows()), QImage::Format_RGBA8888);
    Magick::Image copy = picture;
    copy.write(0, 0, copy.columns(), copy.rows(), "RGBA", MagickCore::CharPixel, out.bits());
    return out;
}

namespace {
template <typename Combine> void eachChannel(const QImage& a, const QImage& b, Combine combine)
{
    const QImage x = a.convertToFormat(QImage::Format_RGBA8888);
    const QImage y = b.convertToFormat(QImage::Format_RGBA8888);
    for (int row = 0; row < std::min(x.height(), y.height()); ++row) {
        const uchar* p = x.constScanLine(row);
        const uchar* q = y.constScanLine(row);
        for (int i = 0; i < std::min(x.width(), y.width()) * 4; ++i)
            combine(std::abs(int(p[i]) - int(q[i])));
    }
}
} // namespace

int maxDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return 255;
    int worst = 0;
    eachChannel(a, b, [&](int d) { worst = std::max(worst, d); });
    return worst;
}

double meanDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return 255;
    double sum = 0;
    qint64 count = 0;
    eachChannel(a, b, [&](int d) {
        sum += d;
        ++count;
    });
    return count ? sum / double(count) : 0;
}

QList<QImage> tiffPages(const QString& path)
{
    QList<QImage> pages;
    const std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(TIFFOpen(QFile::encodeName(path).constData(), "r"), TIFFClose);
    if (!tiff)
        return pages;
    do {
        quint32 width = 0;
        quint32 height = 0;
        TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
        std::vector<quint32> pixels(size_t(width) * height);
        if (!TIFFReadRGBAImageOriented(tiff.get(), width, height, pixels.data(), ORIENTATION_TOPLEFT, 0))
            return {};
        QImage page(int(width), int(height), QImage::Format_RGBA8888);
        for (quint32 y = 0; y < height; ++y) {
            for (quint32 x = 0; x < width; ++x) {
                // The RGBA reader gives colour multiplied by alpha.
                const quint32 p = pixels[size_t(y) * width + x];
                const int alpha = int(TIFFGetA(p));
                const auto colour = [&](quint32 v) {
                    return alpha ? std::min(255, (int(v) * 255 + alpha / 2) / alpha) : 0;
                };
                page.setPixelColor(int(x), int(y),
                                   QColor(colour(TIFFGetR(p)), colour(TIFFGetG(p)), colour(TIFFGetB(p)), alpha));
            }
        }
        pages.append(page);
    } while (TIFFReadDirectory(tiff.get()));
    return pages;
}

} // namespace TestPictures
