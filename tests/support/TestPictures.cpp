// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestPictures.h"

#include <QFile>
#include <QtEndian>

#include <cmath>
#include <cstdlib>
#include <cstring>
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

QByteArray exifBlock(const Exif& exif)
{
    QByteArray out;
    const auto put16 = [&](quint16 value) {
        char bytes[2];
        exif.bigEndian ? qToBigEndian(value, bytes) : qToLittleEndian(value, bytes);
        out.append(bytes, 2);
    };
    const auto put32 = [&](quint32 value) {
        char bytes[4];
        exif.bigEndian ? qToBigEndian(value, bytes) : qToLittleEndian(value, bytes);
        out.append(bytes, 4);
    };
    // One directory entry; a SHORT's value sits in the first two of its four bytes.
    const auto entry = [&](quint16 tag, quint16 type, quint32 count, quint32 value) {
        put16(tag);
        put16(type);
        put32(count);
        if (type == 3) {
            put16(quint16(value));
            put16(0);
        } else {
            put32(value);
        }
    };
    const auto padded = [&](const QByteArray& text) {
        out.append(text);
        if (text.size() % 2)
            out.append('\0');
    };
    const QByteArray make = exif.make + '\0';
    const QByteArray date = exif.dateTimeOriginal + '\0';
    // Header, then the first directory of three entries at 8, its value after it, then the EXIF
    // directory of one entry, its value, and the thumbnail's directory.
    const quint32 first = 8;
    const quint32 makeAt = first + 2 + 3 * 12 + 4;
    const quint32 exifAt = makeAt + quint32(make.size() + make.size() % 2);
    const quint32 dateAt = exifAt + 2 + 12 + 4;
    const quint32 thumbnailAt = dateAt + quint32(date.size() + date.size() % 2);
    out.append(exif.bigEndian ? "MM" : "II");
    put16(42);
    put32(first);
    put16(3);
    entry(0x010F, 2, quint32(make.size()), makeAt);
    entry(0x0112, 3, 1, quint32(exif.orientation));
    entry(0x8769, 4, 1, exifAt);
    put32(exif.thumbnail ? thumbnailAt : 0);
    padded(make);
    put16(1);
    entry(0x9003, 2, quint32(date.size()), dateAt);
    put32(0);
    padded(date);
    // A thumbnail directory with one entry; nothing reads its picture here.
    put16(1);
    entry(0x0103, 3, 1, 6);
    put32(0);
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

} // namespace TestPictures
