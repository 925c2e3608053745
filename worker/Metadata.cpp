// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/Metadata.h"

#include <QRegularExpression>
#include <QtEndian>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

namespace {
constexpr quint16 orientationTag = 0x0112;
constexpr quint16 shortType = 3;
constexpr quint16 longType = 4;
constexpr quint16 slongType = 9;

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
    void move(qint64 to, qint64 from, qint64 size)
    {
        std::memmove(m_bytes.data() + m_layout.base + to, m_bytes.constData() + m_layout.base + from, size_t(size));
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

// What the TIFF and EXIF standards allow each entry to be: its types (a bit a type number) and, where
// it is fixed, its count (0: any). libtiff reading a page's EXIF or GPS directory ignores, with a
// warning, an entry of another type or count, or of a tag it does not know.
struct Rule {
    quint16 tag = 0;
    quint16 types = 0;
    quint16 count = 0;
};

constexpr quint16 asciiType = 1u << 2, byteType = 1u << 1, undefinedType = 1u << 7;
constexpr quint16 shortTypes = 1u << 3, longTypes = 1u << 4, rationalTypes = 1u << 5;
constexpr quint16 srationalTypes = 1u << 10, ifdTypes = 1u << 13;

// Sorted by tag. The first directory's entries that describe the picture rather than its pixels.
constexpr Rule imageRules[] = {
    {0x010E, asciiType, 0},
    {0x010F, asciiType, 0},
    {0x0110, asciiType, 0},
    {0x0112, shortTypes, 1},
    {0x011A, rationalTypes, 1},
    {0x011B, rationalTypes, 1},
    {0x0128, shortTypes, 1},
    {0x0131, asciiType, 0},
    {0x0132, asciiType, 20},
    {0x013B, asciiType, 0},
    {0x013E, rationalTypes, 2},
    {0x013F, rationalTypes, 6},
    {0x0211, rationalTypes, 3},
    {0x0213, shortTypes, 1},
    {0x0214, rationalTypes, 6},
    {0x8298, asciiType, 0},
    {0x8769, longTypes | ifdTypes, 1},
    {0x8825, longTypes | ifdTypes, 1},
};

constexpr Rule exifRules[] = {
    {0x829A, rationalTypes, 1},
    {0x829D, rationalTypes, 1},
    {0x8822, shortTypes, 1},
    {0x8824, asciiType, 0},
    {0x8827, shortTypes, 0},
    {0x8828, undefinedType, 0},
    {0x8830, shortTypes, 1},
    {0x8831, longTypes, 1},
    {0x8832, longTypes, 1},
    {0x8833, longTypes, 1},
    {0x8834, longTypes, 1},
    {0x8835, longTypes, 1},
    {0x9000, undefinedType, 4},
    {0x9003, asciiType, 20},
    {0x9004, asciiType, 20},
    {0x9010, asciiType, 7},
    {0x9011, asciiType, 7},
    {0x9012, asciiType, 7},
    {0x9101, undefinedType, 4},
    {0x9102, rationalTypes, 1},
    {0x9201, srationalTypes, 1},
    {0x9202, rationalTypes, 1},
    {0x9203, srationalTypes, 1},
    {0x9204, srationalTypes, 1},
    {0x9205, rationalTypes, 1},
    {0x9206, rationalTypes, 1},
    {0x9207, shortTypes, 1},
    {0x9208, shortTypes, 1},
    {0x9209, shortTypes, 1},
    {0x920A, rationalTypes, 1},
    {0x9214, shortTypes, 0},
    {0x927C, undefinedType, 0},
    {0x9286, undefinedType, 0},
    {0x9290, asciiType, 0},
    {0x9291, asciiType, 0},
    {0x9292, asciiType, 0},
    {0x9400, srationalTypes, 1},
    {0x9401, rationalTypes, 1},
    {0x9402, rationalTypes, 1},
    {0x9403, srationalTypes, 1},
    {0x9404, rationalTypes, 1},
    {0x9405, srationalTypes, 1},
    {0xA000, undefinedType, 4},
    {0xA001, shortTypes, 1},
    {0xA002, shortTypes | longTypes, 1},
    {0xA003, shortTypes | longTypes, 1},
    {0xA004, asciiType, 13},
    {0xA005, longTypes | ifdTypes, 1},
    {0xA20B, rationalTypes, 1},
    {0xA20C, undefinedType, 0},
    {0xA20E, rationalTypes, 1},
    {0xA20F, rationalTypes, 1},
    {0xA210, shortTypes, 1},
    {0xA214, shortTypes, 2},
    {0xA215, rationalTypes, 1},
    {0xA217, shortTypes, 1},
    {0xA300, undefinedType, 1},
    {0xA301, undefinedType, 1},
    {0xA302, undefinedType, 0},
    {0xA401, shortTypes, 1},
    {0xA402, shortTypes, 1},
    {0xA403, shortTypes, 1},
    {0xA404, rationalTypes, 1},
    {0xA405, shortTypes, 1},
    {0xA406, shortTypes, 1},
    {0xA407, shortTypes, 1},
    {0xA408, shortTypes, 1},
    {0xA409, shortTypes, 1},
    {0xA40A, shortTypes, 1},
    {0xA40B, undefinedType, 0},
    {0xA40C, shortTypes, 1},
    {0xA420, asciiType, 33},
    {0xA430, asciiType, 0},
    {0xA431, asciiType, 0},
    {0xA432, rationalTypes, 4},
    {0xA433, asciiType, 0},
    {0xA434, asciiType, 0},
    {0xA435, asciiType, 0},
    {0xA460, shortTypes, 1},
    {0xA461, shortTypes, 2},
    {0xA462, undefinedType, 0},
    {0xA500, rationalTypes, 1},
};

constexpr Rule gpsRules[] = {
    {0x00, byteType, 4},      {0x01, asciiType, 2},     {0x02, rationalTypes, 3}, {0x03, asciiType, 2},
    {0x04, rationalTypes, 3}, {0x05, byteType, 1},      {0x06, rationalTypes, 1}, {0x07, rationalTypes, 3},
    {0x08, asciiType, 0},     {0x09, asciiType, 2},     {0x0A, asciiType, 2},     {0x0B, rationalTypes, 1},
    {0x0C, asciiType, 2},     {0x0D, rationalTypes, 1}, {0x0E, asciiType, 2},     {0x0F, rationalTypes, 1},
    {0x10, asciiType, 2},     {0x11, rationalTypes, 1}, {0x12, asciiType, 0},     {0x13, asciiType, 2},
    {0x14, rationalTypes, 3}, {0x15, asciiType, 2},     {0x16, rationalTypes, 3}, {0x17, asciiType, 2},
    {0x18, rationalTypes, 1}, {0x19, asciiType, 2},     {0x1A, rationalTypes, 1}, {0x1B, undefinedType, 0},
    {0x1C, undefinedType, 0}, {0x1D, asciiType, 11},    {0x1E, shortTypes, 1},    {0x1F, rationalTypes, 1},
};

enum class Ifd { Image, Exif, Gps };

const Rule* ruleFor(Ifd ifd, quint16 tag)
{
    const auto find = [tag](const auto& rules) -> const Rule* {
        const auto at = std::lower_bound(std::begin(rules), std::end(rules), tag,
                                         [](const Rule& rule, quint16 wanted) { return rule.tag < wanted; });
        return at != std::end(rules) && at->tag == tag ? at : nullptr;
    };
    return ifd == Ifd::Image ? find(imageRules) : ifd == Ifd::Exif ? find(exifRules) : find(gpsRules);
}

// An entry of a tag the standard knows, of a type it does not allow: a reader takes it for noise.
bool wronglyTyped(Ifd ifd, quint16 tag, quint16 type)
{
    const Rule* rule = ruleFor(ifd, tag);
    return rule && (type >= 16 || !(rule->types & (1u << type)));
}

// An entry exactly as the standard has it, the only kind a TIFF page takes from an EXIF block.
bool standard(Ifd ifd, quint16 tag, quint16 type, quint32 count)
{
    const Rule* rule = ruleFor(ifd, tag);
    return rule && !wronglyTyped(ifd, tag, type) && (rule->count == 0 || rule->count == count);
}

constexpr quint16 exifDirectoryTag = 0x8769;
constexpr quint16 gpsDirectoryTag = 0x8825;

// The first entry of tag in the directory at offset, once the directory is checked to lie inside the
// block.
std::optional<qint64> entryOf(const Block& block, qint64 offset, quint16 tag)
{
    if (!block.holds(offset, 2))
        return std::nullopt;
    const int count = block.u16(offset);
    if (!block.holds(offset + 2, qint64(count) * 12 + 4))
        return std::nullopt;
    for (int i = 0; i < count; ++i) {
        const qint64 entry = offset + 2 + qint64(i) * 12;
        if (block.u16(entry) == tag)
            return entry;
    }
    return std::nullopt;
}

// Where the sub-directory a pointer entry of the directory at offset names starts.
std::optional<qint64> subDirectory(const Block& block, qint64 offset, quint16 tag)
{
    const std::optional<qint64> entry = entryOf(block, offset, tag);
    if (!entry || block.u32(*entry + 4) != 1 || (block.u16(*entry + 2) != 4 && block.u16(*entry + 2) != 13))
        return std::nullopt;
    return block.u32(*entry + 8);
}

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

namespace {
// An entry with its whole value, in the byte order of the block it came from, to be written anew.
struct Field {
    quint16 tag = 0;
    quint16 type = 0;
    quint32 count = 0;
    QByteArray value;
};

// The entries of the directory at offset that a page of a TIFF takes as they are, with their values;
// those whose values lie outside the block are left out, and a tag that comes twice counts once.
std::vector<Field> standardFields(const Block& block, qint64 offset, Ifd ifd)
{
    std::vector<Field> fields;
    const std::optional<std::vector<Entry>> entries = entriesAt(block, offset);
    if (!entries)
        return fields;
    for (size_t i = 0; i < entries->size(); ++i) {
        const Entry& entry = (*entries)[i];
        if (!standard(ifd, entry.tag, entry.type, entry.count) ||
            std::any_of(fields.begin(), fields.end(), [&](const Field& f) { return f.tag == entry.tag; }))
            continue;
        const qint64 size = typeSize(entry.type) * qint64(entry.count);
        const qint64 at =
            size > 4 ? qint64(block.u32(offset + 2 + qint64(i) * 12 + 8)) : offset + 2 + qint64(i) * 12 + 8;
        if (!block.holds(at, size))
            continue;
        fields.push_back({entry.tag, entry.type, entry.count, block.bytes(at, size)});
    }
    return fields;
}

class Writer {
public:
    explicit Writer(QByteArray& out, bool bigEndian)
        : m_out(out)
        , m_bigEndian(bigEndian)
    {
    }

    void put16(quint16 value)
    {
        char bytes[2];
        m_bigEndian ? qToBigEndian(value, bytes) : qToLittleEndian(value, bytes);
        m_out.append(bytes, 2);
    }
    void put32(quint32 value)
    {
        char bytes[4];
        m_bigEndian ? qToBigEndian(value, bytes) : qToLittleEndian(value, bytes);
        m_out.append(bytes, 4);
    }
    QByteArray bytes32(quint32 value) const
    {
        QByteArray bytes(4, '\0');
        m_bigEndian ? qToBigEndian(value, bytes.data()) : qToLittleEndian(value, bytes.data());
        return bytes;
    }

    static qint64 sizeOf(const std::vector<Entry>& entries, const std::vector<Field>& fields)
    {
        qint64 size = 2 + qint64(entries.size() + fields.size()) * 12 + 4;
        for (const Field& field : fields)
            size += field.value.size() > 4 ? field.value.size() + field.value.size() % 2 : 0;
        return size;
    }

    // Appends a directory, on a word boundary, of entries that stand as they are and fields whose
    // values follow it, in order of their tags as TIFF wants, and gives its offset from base; nothing
    // when the offsets would not fit in 32 bits.
    std::optional<quint32> append(std::vector<Entry> entries, const std::vector<Field>& fields, quint32 next,
                                  qint64 base = 0)
    {
        if (m_out.size() % 2)
            m_out.append('\0');
        const qint64 at = m_out.size() - base;
        if (at + sizeOf(entries, fields) > qint64(0xFFFFFFF0))
            return std::nullopt;
        qint64 valueAt = at + 2 + qint64(entries.size() + fields.size()) * 12 + 4;
        QByteArray values;
        for (const Field& field : fields) {
            QByteArray inPlace = field.value;
            if (field.value.size() > 4) {
                inPlace = bytes32(quint32(valueAt + values.size()));
                values += field.value;
                if (values.size() % 2)
                    values.append('\0');
            }
            entries.push_back({field.tag, field.type, field.count, inPlace.leftJustified(4, '\0')});
        }
        std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
        put16(quint16(entries.size()));
        for (const Entry& entry : entries) {
            put16(entry.tag);
            put16(entry.type);
            put32(entry.count);
            m_out.append(entry.value);
        }
        put32(next);
        m_out.append(values);
        return quint32(at);
    }

private:
    QByteArray& m_out;
    bool m_bigEndian;
};

constexpr quint16 interoperabilityTag = 0xA005;
constexpr quint16 makerNoteTag = 0x927C;
// The first directory's entries that a TIFF page and an EXIF block share: the camera, the times and
// the description of the picture, and how densely it is printed.
constexpr quint16 cameraTags[] = {0x010F, 0x0110, 0x0132};
constexpr quint16 resolutionTags[] = {0x011A, 0x011B, 0x0128};
constexpr quint16 descriptionTags[] = {0x010E, 0x010F, 0x0110, 0x0112, 0x011A, 0x011B,
                                       0x0128, 0x0131, 0x0132, 0x013B, 0x8298};

// The EXIF and GPS entries a TIFF page takes. The maker's note and the interoperability directory
// have offsets of their own; the components, bits per pixel and pixel dimensions describe a JPEG's
// compression, not a TIFF's (exiftool: "not allowed in TIFF"); and libtiff (4.5) has GainControl as a
// RATIONAL where the standard, exiftool and every camera have a SHORT, so that it warns of either.
std::vector<Field> tiffFields(const Block& block, qint64 offset, Ifd ifd)
{
    std::vector<Field> fields = standardFields(block, offset, ifd);
    if (ifd == Ifd::Exif) {
        std::erase_if(fields, [](const Field& f) {
            return f.tag == makerNoteTag || f.tag == interoperabilityTag || f.tag == 0x9101 || f.tag == 0x9102 ||
                   f.tag == 0xA002 || f.tag == 0xA003 || f.tag == 0xA407;
        });
    }
    return fields;
}

std::vector<Field> subDirectoryFields(const Block& block, qint64 first, quint16 tag, Ifd ifd)
{
    const std::optional<qint64> offset = subDirectory(block, first, tag);
    return offset && *offset != first ? tiffFields(block, *offset, ifd) : std::vector<Field>();
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
    const auto has = [&](quint16 tag) {
        return std::any_of(pageEntries->begin(), pageEntries->end(),
                           [&](const Entry& entry) { return entry.tag == tag; });
    };
    if (has(exifDirectoryTag) || has(gpsDirectoryTag))
        return tiff;
    const bool bigEndian = tiffLayout->bigEndian;
    const quint32 next = page.u32(pageFirst->nextOffset());
    const qint64 first = exifFirst->entries - 2;

    // The directories go after the file as it is, each with its values; the first page's directory,
    // with the new entries, replaces the old one, whose values stay where they were.
    Writer writer(out, bigEndian);
    std::vector<Field> added;
    for (const auto& [tag, ifd] : {std::pair{exifDirectoryTag, Ifd::Exif}, {gpsDirectoryTag, Ifd::Gps}}) {
        // An empty directory is none: libtiff refuses a directory of no entries.
        const std::vector<Field> fields = subDirectoryFields(source, first, tag, ifd);
        if (fields.empty())
            continue;
        const std::optional<quint32> offset = writer.append({}, fields, 0);
        if (!offset)
            return tiff;
        added.push_back({tag, longType, 1, writer.bytes32(*offset)});
    }
    // The camera's name and the time of the picture, where the page does not say them itself; the
    // resolution where it says none (a PNG's or a WebP's EXIF block is the only record of it).
    const std::vector<Field> described = tiffFields(source, first, Ifd::Image);
    const bool resolved = std::any_of(std::begin(resolutionTags), std::end(resolutionTags), has);
    for (const Field& field : described) {
        const bool camera = std::find(std::begin(cameraTags), std::end(cameraTags), field.tag) != std::end(cameraTags);
        const bool resolution =
            std::find(std::begin(resolutionTags), std::end(resolutionTags), field.tag) != std::end(resolutionTags);
        if ((camera && !has(field.tag)) || (resolution && !resolved))
            added.push_back(field);
    }
    if (added.empty())
        return tiff;
    const std::optional<quint32> firstPage = writer.append(*pageEntries, added, next);
    if (!firstPage)
        return tiff;
    Block(out, *tiffLayout).setU32(4, *firstPage);
    return out;
}

QByteArray Metadata::exifOfTiff(const QByteArray& tiff)
{
    const std::optional<Layout> layout = layoutOf(tiff);
    if (!layout || layout->base != 0)
        return {};
    QByteArray bytes = tiff;
    const Block page(bytes, *layout);
    const std::optional<Directory> directory = firstDirectory(page);
    if (!directory)
        return {};
    const qint64 first = directory->entries - 2;
    std::vector<Field> described = standardFields(page, first, Ifd::Image);
    std::erase_if(described, [](const Field& f) {
        return std::find(std::begin(descriptionTags), std::end(descriptionTags), f.tag) == std::end(descriptionTags);
    });
    std::vector<Field> exifFields = subDirectoryFields(page, first, exifDirectoryTag, Ifd::Exif);
    std::vector<Field> gpsFields = subDirectoryFields(page, first, gpsDirectoryTag, Ifd::Gps);
    const bool fromCamera = std::any_of(described.begin(), described.end(), [](const Field& f) {
        return std::find(std::begin(cameraTags), std::end(cameraTags), f.tag) != std::end(cameraTags);
    });
    if (!fromCamera && exifFields.empty() && gpsFields.empty())
        return {};

    // The header, the first directory right after it, then the EXIF and GPS directories.
    QByteArray out = QByteArrayLiteral("Exif\0\0") + (layout->bigEndian ? "MM" : "II");
    Writer writer(out, layout->bigEndian);
    // What a JPEG's EXIF must say and a TIFF's may not (exiftool's validation of each): where the
    // chroma samples sit, the order of the components, the picture's size.
    const auto number = [&](quint16 tag) -> quint32 {
        const std::optional<qint64> entry = entryOf(page, first, tag);
        if (!entry || page.u32(*entry + 4) != 1)
            return 0;
        const quint16 type = page.u16(*entry + 2);
        return type == shortType ? page.u16(*entry + 8) : type == longType ? page.u32(*entry + 8) : 0;
    };
    const QByteArray centred = writer.bytes32(1).mid(layout->bigEndian ? 2 : 0, 2);
    described.push_back({0x0213, shortType, 1, centred});
    if (!exifFields.empty()) {
        exifFields.push_back({0x9101, 7, 4, QByteArray("\1\2\3\0", 4)});
        if (const quint32 width = number(0x0100), height = number(0x0101); width && height) {
            exifFields.push_back({0xA002, longType, 1, writer.bytes32(width)});
            exifFields.push_back({0xA003, longType, 1, writer.bytes32(height)});
        }
    }
    writer.put16(42);
    writer.put32(8);
    qint64 at = 8 + Writer::sizeOf({}, described) + 12 * qint64(!exifFields.empty() + !gpsFields.empty());
    for (const auto& [tag, fields] : {std::pair{exifDirectoryTag, &exifFields}, {gpsDirectoryTag, &gpsFields}}) {
        if (fields->empty())
            continue;
        at += at % 2;
        described.push_back({tag, longType, 1, writer.bytes32(quint32(at))});
        at += Writer::sizeOf({}, *fields);
    }
    if (!writer.append({}, described, 0, 6))
        return {};
    for (const std::vector<Field>* fields : {&exifFields, &gpsFields}) {
        if (!fields->empty() && !writer.append({}, *fields, 0, 6))
            return {};
    }
    // One APP1 segment holds at most 65533 bytes, and readers do not join two.
    return out.size() <= 65533 ? out : QByteArray();
}

QByteArray Metadata::asJpegSegment(const QByteArray& exif)
{
    const std::optional<Layout> layout = layoutOf(exif);
    if (!layout)
        return {};
    return layout->base == 0 ? QByteArrayLiteral("Exif\0\0") + exif : exif;
}
