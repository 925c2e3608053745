// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/ExifBlock.h"

#include <algorithm>
#include <iterator>

using namespace Exif;

std::optional<Exif::Layout> Exif::layoutOf(const QByteArray& exif)
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

std::optional<Exif::Directory> Exif::firstDirectory(const Block& block)
{
    if (!block.holds(0, 8) || block.u16(2) != 42)
        return std::nullopt;
    const qint64 offset = block.u32(4);
    if (offset < headerSize || !block.holds(offset, 2))
        return std::nullopt;
    Directory directory{offset + 2, block.u16(offset)};
    if (!block.holds(directory.entries, qint64(directory.count) * 12 + 4))
        return std::nullopt;
    return directory;
}

qint64 Exif::typeSize(quint16 type)
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

std::optional<std::vector<Exif::Entry>> Exif::entriesAt(const Block& block, qint64 offset)
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

namespace {
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

const Rule* ruleFor(Ifd ifd, quint16 tag)
{
    const auto find = [tag](const auto& rules) -> const Rule* {
        const auto at = std::lower_bound(std::begin(rules), std::end(rules), tag,
                                         [](const Rule& rule, quint16 wanted) { return rule.tag < wanted; });
        return at != std::end(rules) && at->tag == tag ? at : nullptr;
    };
    return ifd == Ifd::Image ? find(imageRules) : ifd == Ifd::Exif ? find(exifRules) : find(gpsRules);
}
} // namespace

bool Exif::wronglyTyped(Ifd ifd, quint16 tag, quint16 type)
{
    const Rule* rule = ruleFor(ifd, tag);
    return rule && (type >= 16 || !(rule->types & (1u << type)));
}

bool Exif::standard(Ifd ifd, quint16 tag, quint16 type, quint32 count)
{
    const Rule* rule = ruleFor(ifd, tag);
    return rule && !wronglyTyped(ifd, tag, type) && (rule->count == 0 || rule->count == count);
}

std::optional<qint64> Exif::entryOf(const Block& block, qint64 offset, quint16 tag)
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

std::optional<qint64> Exif::subDirectory(const Block& block, qint64 offset, quint16 tag)
{
    const std::optional<qint64> entry = entryOf(block, offset, tag);
    if (!entry || block.u32(*entry + 4) != 1 || (block.u16(*entry + 2) != 4 && block.u16(*entry + 2) != 13))
        return std::nullopt;
    const qint64 start = block.u32(*entry + 8);
    if (start < headerSize)
        return std::nullopt;
    return start;
}
