// SPDX-License-Identifier: GPL-3.0-or-later
// A TIFF page's camera entries and EXIF and GPS directories, to and from an EXIF block.
#include "worker/Metadata.h"

#include "worker/ExifBlock.h"

#include <QtEndian>

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

using namespace Exif;

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
