// SPDX-License-Identifier: GPL-3.0-or-later
// Edits of an EXIF block itself, and of an XMP packet; the PNG and TIFF files that carry them are in
// PngExif.cpp and TiffExif.cpp.
#include "worker/Metadata.h"

#include "worker/ExifBlock.h"

#include <QRegularExpression>

#include <optional>
#include <vector>

using namespace Exif;

namespace {
// Takes out of the directory at offset, in place, the entries of a type the standard does not allow:
// those after move up, the count and the link to the next directory follow, and every value stays
// where it was.
void dropWronglyTyped(Block& block, qint64 offset, Ifd ifd)
{
    if (!block.holds(offset, 2))
        return;
    const int count = block.u16(offset);
    if (!block.holds(offset + 2, qint64(count) * 12 + 4))
        return;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const qint64 entry = offset + 2 + qint64(i) * 12;
        // The orientation is written again instead.
        const quint16 tag = block.u16(entry);
        if (wronglyTyped(ifd, tag, block.u16(entry + 2)) && !(ifd == Ifd::Image && tag == orientationTag))
            continue;
        if (kept != i)
            block.move(offset + 2 + qint64(kept) * 12, entry, 12);
        ++kept;
    }
    if (kept == count)
        return;
    const quint32 next = block.u32(offset + 2 + qint64(count) * 12);
    block.setU16(offset, quint16(kept));
    block.setU32(offset + 2 + qint64(kept) * 12, next);
}
} // namespace

int Metadata::orientationOf(const QByteArray& exif)
{
    const std::optional<Layout> layout = layoutOf(exif);
    if (!layout)
        return 0;
    QByteArray bytes = exif;
    const Block block(bytes, *layout);
    const std::optional<Directory> directory = firstDirectory(block);
    if (!directory)
        return 0;
    const std::optional<qint64> entry = entryOf(block, directory->entries - 2, orientationTag);
    // A SHORT as the standard has it, or a LONG or SLONG as some cameras write it, which ImageMagick,
    // exiftool and PIL read too; one value only.
    if (!entry || block.u32(*entry + 4) != 1)
        return 0;
    const quint16 type = block.u16(*entry + 2);
    qint64 value = 0;
    if (type == shortType)
        value = block.u16(*entry + 8);
    else if (type == longType)
        value = block.u32(*entry + 8);
    else if (type == slongType)
        value = qint32(block.u32(*entry + 8));
    return value >= 1 && value <= 8 ? int(value) : 0;
}

Metadata::Resolution Metadata::resolutionOf(const QByteArray& exif)
{
    const std::optional<Layout> layout = layoutOf(exif);
    if (!layout)
        return {};
    QByteArray bytes = exif;
    const Block block(bytes, *layout);
    const std::optional<Directory> directory = firstDirectory(block);
    if (!directory)
        return {};
    const std::optional<std::vector<Entry>> entries = entriesAt(block, directory->entries - 2);
    if (!entries)
        return {};
    Resolution resolution;
    for (const Entry& entry : *entries) {
        const qint64 at = directory->entries + (&entry - entries->data()) * 12 + 8;
        if ((entry.tag == 0x011a || entry.tag == 0x011b) && entry.type == 5 && entry.count == 1) {
            const qint64 offset = block.u32(at);
            if (!block.holds(offset, 8) || block.u32(offset + 4) == 0)
                continue;
            const double value = double(block.u32(offset)) / double(block.u32(offset + 4));
            (entry.tag == 0x011a ? resolution.x : resolution.y) = value;
        } else if (entry.tag == 0x0128 && entry.type == shortType && entry.count == 1) {
            const int unit = block.u16(at);
            resolution.unit = unit == 2   ? Resolution::PerInch
                              : unit == 3 ? Resolution::PerCentimetre
                                          : Resolution::None;
        }
    }
    if (resolution.x <= 0 || resolution.y <= 0 || resolution.unit == Resolution::None)
        return {};
    return resolution;
}

QByteArray Metadata::upright(const QByteArray& exif, bool turned)
{
    const std::optional<Layout> layout = layoutOf(exif);
    if (!layout)
        return exif;
    QByteArray bytes = exif;
    Block block(bytes, *layout);
    const std::optional<Directory> directory = firstDirectory(block);
    if (!directory)
        return exif;
    const qint64 first = directory->entries - 2;
    const std::optional<qint64> exifDirectory = subDirectory(block, first, exifDirectoryTag);
    const std::optional<qint64> gpsDirectory = subDirectory(block, first, gpsDirectoryTag);
    dropWronglyTyped(block, first, Ifd::Image);
    if (exifDirectory && *exifDirectory != first)
        dropWronglyTyped(block, *exifDirectory, Ifd::Exif);
    if (gpsDirectory && *gpsDirectory != first && gpsDirectory != exifDirectory)
        dropWronglyTyped(block, *gpsDirectory, Ifd::Gps);
    // Whatever it said, and in whichever type: a SHORT of 1, which every reader takes. Last, in case a
    // crafted block's directories overlap.
    const int count = block.u16(first);
    if (!block.holds(first + 2, qint64(count) * 12 + 4))
        return bytes;
    for (int i = 0; i < count; ++i) {
        const qint64 entry = first + 2 + qint64(i) * 12;
        if (block.u16(entry) != orientationTag)
            continue;
        block.setU16(entry + 2, shortType);
        block.setU32(entry + 4, 1);
        block.setU16(entry + 8, 1);
        block.setU16(entry + 10, 0);
    }
    // The thumbnail is the second directory; without the link to it, readers find none.
    if (turned)
        block.setU32(first + 2 + qint64(count) * 12, 0);
    return bytes;
}

QByteArray Metadata::uprightXmp(const QByteArray& xmp)
{
    // As an attribute, tiff:Orientation="6", or as an element, <tiff:Orientation>6</tiff:Orientation>.
    static const QRegularExpression orientation(
        QStringLiteral(R"((?:tiff:Orientation\s*=\s*["']|<tiff:Orientation>)\s*(\d+))"));
    if (!xmp.contains("tiff:Orientation"))
        return xmp;
    QString text = QString::fromUtf8(xmp);
    QList<QRegularExpressionMatch> matches;
    for (QRegularExpressionMatchIterator it = orientation.globalMatch(text); it.hasNext();)
        matches.append(it.next());
    // From the last, so that the earlier positions stay where they were.
    for (auto match = matches.crbegin(); match != matches.crend(); ++match)
        text.replace(match->capturedStart(1), match->capturedLength(1), QStringLiteral("1"));
    return text.toUtf8();
}

bool Metadata::isBigEndian(const QByteArray& exif)
{
    const std::optional<Layout> layout = layoutOf(exif);
    return layout && layout->bigEndian;
}

QByteArray Metadata::asJpegSegment(const QByteArray& exif)
{
    const std::optional<Layout> layout = layoutOf(exif);
    if (!layout)
        return {};
    return layout->base == 0 ? QByteArrayLiteral("Exif\0\0") + exif : exif;
}
