// SPDX-License-Identifier: GPL-3.0-or-later
#include "Metadata.h"

#include <QRegularExpression>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {
constexpr quint16 orientationTag = 0x0112;
constexpr quint16 shortType = 3;

// The EXIF block's TIFF structure: where it starts and in which byte order its numbers are.
struct Layout {
    qsizetype base = 0;
    bool bigEndian = false;
};

std::optional<Layout> layoutOf(const QByteArray& exif)
{
    Layout layout;
    if (exif.startsWith(QByteArrayLiteral("Exif\0\0")))
        layout.base = 6;
    const QByteArray order = exif.mid(layout.base, 2);
    if (order == "MM")
        layout.bigEndian = true;
    else if (order != "II")
        return std::nullopt;
    return layout;
}

// Numbers at an offset from the TIFF header, read and written in the block's byte order; nothing
// beyond the block's end.
class Block {
public:
    Block(QByteArray& bytes, Layout layout)
        : m_bytes(bytes)
        , m_layout(layout)
    {
    }

    bool holds(qint64 offset, qint64 size) const
    {
        return offset >= 0 && size >= 0 && m_layout.base + offset + size <= m_bytes.size();
    }
    quint16 u16(qint64 offset) const
    {
        const char* at = m_bytes.constData() + m_layout.base + offset;
        return m_layout.bigEndian ? qFromBigEndian<quint16>(at) : qFromLittleEndian<quint16>(at);
    }
    quint32 u32(qint64 offset) const
    {
        const char* at = m_bytes.constData() + m_layout.base + offset;
        return m_layout.bigEndian ? qFromBigEndian<quint32>(at) : qFromLittleEndian<quint32>(at);
    }
    void setU16(qint64 offset, quint16 value)
    {
        char* at = m_bytes.data() + m_layout.base + offset;
        m_layout.bigEndian ? qToBigEndian(value, at) : qToLittleEndian(value, at);
    }
    void setU32(qint64 offset, quint32 value)
    {
        char* at = m_bytes.data() + m_layout.base + offset;
        m_layout.bigEndian ? qToBigEndian(value, at) : qToLittleEndian(value, at);
    }
    QByteArray bytes(qint64 offset, qint64 size) const { return m_bytes.mid(m_layout.base + offset, size); }
    bool bigEndian() const { return m_layout.bigEndian; }

private:
    QByteArray& m_bytes;
    Layout m_layout;
};

// The first directory: where its entries start and how many there are, once checked to lie inside
// the block.
struct Directory {
    qint64 entries = 0;
    int count = 0;
    qint64 nextOffset() const { return entries + qint64(count) * 12; }
};

std::optional<Directory> firstDirectory(const Block& block)
{
    if (!block.holds(0, 8) || block.u16(2) != 42)
        return std::nullopt;
    const qint64 offset = block.u32(4);
    if (!block.holds(offset, 2))
        return std::nullopt;
    Directory directory{offset + 2, block.u16(offset)};
    if (!block.holds(directory.entries, qint64(directory.count) * 12 + 4))
        return std::nullopt;
    return directory;
}

struct Entry {
    quint16 tag = 0;
    quint16 type = 0;
    quint32 count = 0;
    // The four bytes after the count, as they stand: the value itself or where it is.
    QByteArray value;
};

qint64 typeSize(quint16 type)
{
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
        return 1;
    case 3:
    case 8:
        return 2;
    case 4:
    case 9:
    case 11:
    case 13:
        return 4;
    case 5:
    case 10:
    case 12:
        return 8;
    default:
        return 0;
    }
}

std::optional<std::vector<Entry>> entriesAt(const Block& block, qint64 offset)
{
    if (!block.holds(offset, 2))
        return std::nullopt;
    const int count = block.u16(offset);
    if (!block.holds(offset + 2, qint64(count) * 12 + 4))
        return std::nullopt;
    std::vector<Entry> entries;
    for (int i = 0; i < count; ++i) {
        const qint64 at = offset + 2 + qint64(i) * 12;
        entries.push_back({block.u16(at), block.u16(at + 2), block.u32(at + 4), block.bytes(at + 8, 4)});
    }
    return entries;
}

std::optional<qint64> orientationEntry(const Block& block, const Directory& directory)
{
    for (int i = 0; i < directory.count; ++i) {
        const qint64 entry = directory.entries + qint64(i) * 12;
        if (block.u16(entry) == orientationTag && block.u16(entry + 2) == shortType && block.u32(entry + 4) >= 1)
            return entry;
    }
    return std::nullopt;
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
    const std::optional<qint64> entry = orientationEntry(block, *directory);
    if (!entry)
        return 0;
    const int value = block.u16(*entry + 8);
    return value >= 1 && value <= 8 ? value : 0;
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

QByteArray Metadata::pngExif(const QByteArray& png)
{
    // After the signature, chunks of length, type, data and checksum.
    qsizetype at = 8;
    while (at + 12 <= png.size()) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
        const QByteArray type = png.mid(at + 4, 4);
        if (type == "IEND" || qint64(length) > png.size() - at - 12)
            return {};
        if (type == "eXIf")
            return png.mid(at + 8, qsizetype(length));
        at += 12 + qsizetype(length);
    }
    return {};
}

QByteArray Metadata::pngWithExif(const QByteArray& png, const QByteArray& exif)
{
    // The signature (8 bytes) and the header chunk (25) come first.
    constexpr qsizetype afterHeader = 8 + 25;
    const std::optional<Layout> layout = layoutOf(exif);
    if (!layout || png.size() < afterHeader || png.mid(12, 4) != "IHDR")
        return png;
    const QByteArray typed = "eXIf" + exif.mid(layout->base);
    QByteArray chunk(4, '\0');
    qToBigEndian(quint32(typed.size() - 4), chunk.data());
    chunk += typed;
    QByteArray check(4, '\0');
    qToBigEndian(quint32(crc32(0, reinterpret_cast<const Bytef*>(typed.constData()), uInt(typed.size()))),
                 check.data());
    chunk += check;
    return png.left(afterHeader) + chunk + png.mid(afterHeader);
}

QByteArray Metadata::upright(const QByteArray& exif)
{
    const std::optional<Layout> layout = layoutOf(exif);
    if (!layout)
        return exif;
    QByteArray bytes = exif;
    Block block(bytes, *layout);
    const std::optional<Directory> directory = firstDirectory(block);
    if (!directory)
        return exif;
    if (const std::optional<qint64> entry = orientationEntry(block, *directory))
        block.setU16(*entry + 8, 1);
    // The thumbnail is the second directory; without the link to it, readers find none.
    block.setU32(directory->nextOffset(), 0);
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

namespace {
constexpr quint16 exifDirectoryTag = 0x8769;
constexpr quint16 gpsDirectoryTag = 0x8825;
constexpr quint16 interoperabilityTag = 0xA005;
constexpr quint16 makerNoteTag = 0x927C;

// Appends a directory of entries to out, in order of their tags as TIFF wants, and gives its offset.
// Values that do not fit an entry were copied to shift bytes further on, where they now are.
quint32 appendDirectory(QByteArray& out, std::vector<Entry> entries, bool bigEndian, quint32 shift, quint32 next)
{
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    if (out.size() % 2)
        out.append('\0');
    const auto quint16At = [&](quint16 value) {
        char bytes[2];
        bigEndian ? qToBigEndian(value, bytes) : qToLittleEndian(value, bytes);
        out.append(bytes, 2);
    };
    const auto quint32At = [&](quint32 value) {
        char bytes[4];
        bigEndian ? qToBigEndian(value, bytes) : qToLittleEndian(value, bytes);
        out.append(bytes, 4);
    };
    const quint32 offset = quint32(out.size());
    quint16At(quint16(entries.size()));
    for (const Entry& entry : entries) {
        quint16At(entry.tag);
        quint16At(entry.type);
        quint32At(entry.count);
        if (shift != 0 && typeSize(entry.type) * entry.count > 4) {
            const char* at = entry.value.constData();
            quint32At((bigEndian ? qFromBigEndian<quint32>(at) : qFromLittleEndian<quint32>(at)) + shift);
        } else {
            out.append(entry.value);
        }
    }
    quint32At(next);
    return offset;
}

Entry pointerTo(quint16 tag, quint32 offset, bool bigEndian)
{
    Entry entry{tag, 4, 1, QByteArray(4, '\0')};
    bigEndian ? qToBigEndian(offset, entry.value.data()) : qToLittleEndian(offset, entry.value.data());
    return entry;
}
} // namespace

QByteArray Metadata::tiffWithExif(const QByteArray& tiff, const QByteArray& exif)
{
    const std::optional<Layout> exifLayout = layoutOf(exif);
    const std::optional<Layout> tiffLayout = layoutOf(tiff);
    if (!exifLayout || !tiffLayout || tiffLayout->base != 0 || exifLayout->bigEndian != tiffLayout->bigEndian)
        return tiff;
    QByteArray exifBytes = exif;
    QByteArray out = tiff;
    const Block source(exifBytes, *exifLayout);
    const Block page(out, *tiffLayout);
    const std::optional<Directory> exifFirst = firstDirectory(source);
    const std::optional<Directory> pageFirst = firstDirectory(page);
    if (!exifFirst || !pageFirst)
        return tiff;
    const std::optional<std::vector<Entry>> camera = entriesAt(source, exifFirst->entries - 2);
    std::optional<std::vector<Entry>> pageEntries = entriesAt(page, pageFirst->entries - 2);
    if (!camera || !pageEntries)
        return tiff;
    const auto has = [](const std::vector<Entry>& entries, quint16 tag) {
        return std::any_of(entries.begin(), entries.end(), [&](const Entry& entry) { return entry.tag == tag; });
    };
    if (has(*pageEntries, exifDirectoryTag))
        return tiff;
    const bool bigEndian = tiffLayout->bigEndian;
    const quint32 next = page.u32(pageFirst->nextOffset());

    // The EXIF block goes after the file as it is, so that its values keep their places relative to
    // each other; its directories are written again after it, their offsets moved by as much.
    if (out.size() % 2)
        out.append('\0');
    const qint64 shift = out.size();
    if (shift + exifBytes.size() - exifLayout->base > qint64(0xFFFF0000))
        return tiff;
    out.append(exifBytes.mid(exifLayout->base));

    const auto copyDirectory = [&](quint16 pointerTag) -> std::optional<quint32> {
        for (const Entry& entry : *camera) {
            if (entry.tag != pointerTag || entry.count != 1 || (entry.type != 4 && entry.type != 13))
                continue;
            const char* at = entry.value.constData();
            const quint32 offset = bigEndian ? qFromBigEndian<quint32>(at) : qFromLittleEndian<quint32>(at);
            std::optional<std::vector<Entry>> entries = entriesAt(source, offset);
            if (!entries)
                return std::nullopt;
            // The maker's note and the interoperability directory have offsets of their own; the
            // components and bits per pixel describe the JPEG's compression, not the TIFF's.
            std::erase_if(*entries, [](const Entry& e) {
                return e.tag == makerNoteTag || e.tag == interoperabilityTag || e.tag == 0x9101 || e.tag == 0x9102;
            });
            return appendDirectory(out, *entries, bigEndian, quint32(shift), 0);
        }
        return std::nullopt;
    };
    std::vector<Entry> added;
    if (const std::optional<quint32> offset = copyDirectory(exifDirectoryTag))
        added.push_back(pointerTo(exifDirectoryTag, *offset, bigEndian));
    if (const std::optional<quint32> offset = copyDirectory(gpsDirectoryTag))
        added.push_back(pointerTo(gpsDirectoryTag, *offset, bigEndian));
    // The camera's name and the time of the picture, where the page does not say them itself.
    for (const quint16 tag : {quint16(0x010F), quint16(0x0110), quint16(0x0132)}) {
        for (const Entry& entry : *camera) {
            if (entry.tag == tag && !has(*pageEntries, tag)) {
                Entry moved = entry;
                if (typeSize(entry.type) * entry.count > 4) {
                    const char* at = entry.value.constData();
                    const quint32 offset =
                        (bigEndian ? qFromBigEndian<quint32>(at) : qFromLittleEndian<quint32>(at)) + quint32(shift);
                    bigEndian ? qToBigEndian(offset, moved.value.data()) : qToLittleEndian(offset, moved.value.data());
                }
                added.push_back(moved);
            }
        }
    }
    if (added.empty())
        return tiff;
    pageEntries->insert(pageEntries->end(), added.begin(), added.end());
    // The first page's directory, with the new entries, replaces the old one; its values stay where
    // they were, and the pages after it follow as before.
    const quint32 first = appendDirectory(out, *pageEntries, bigEndian, 0, next);
    Block(out, *tiffLayout).setU32(4, first);
    return out;
}
