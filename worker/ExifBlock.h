// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QtEndian>

#include <cstring>
#include <optional>
#include <vector>

/// The TIFF structure of an EXIF block, which a TIFF file has too: its byte order, its directories and
/// their entries, and which entries the standards allow. What the metadata edits share.
namespace Exif {

/// The byte order, 42 and the link to the first directory. No directory starts inside it: an edit of
/// one that did would rewrite that link (a crafted block's GPS directory at offset 4 did).
inline constexpr qint64 headerSize = 8;
inline constexpr quint16 orientationTag = 0x0112;
inline constexpr quint16 shortType = 3;
inline constexpr quint16 longType = 4;
inline constexpr quint16 slongType = 9;
inline constexpr quint16 exifDirectoryTag = 0x8769;
inline constexpr quint16 gpsDirectoryTag = 0x8825;

/// The EXIF block's TIFF structure: where it starts and in which byte order its numbers are.
struct Layout {
    qsizetype base = 0;
    bool bigEndian = false;
};

/// Where the block's TIFF header starts (after "Exif\0\0", if it has it) and its byte order; nothing
/// when it has no TIFF header.
std::optional<Layout> layoutOf(const QByteArray& exif);

/// Numbers at an offset from the TIFF header, read and written in the block's byte order; nothing
/// beyond the block's end.
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

/// The first directory: where its entries start and how many there are, once checked to lie inside
/// the block.
struct Directory {
    qint64 entries = 0;
    int count = 0;
    qint64 nextOffset() const { return entries + qint64(count) * 12; }
};

std::optional<Directory> firstDirectory(const Block& block);

struct Entry {
    quint16 tag = 0;
    quint16 type = 0;
    quint32 count = 0;
    // The four bytes after the count, as they stand: the value itself or where it is.
    QByteArray value;
};

/// The bytes one value of a TIFF type takes; 0 for a type TIFF does not have.
qint64 typeSize(quint16 type);

/// The entries of the directory at offset; nothing when it does not lie inside the block.
std::optional<std::vector<Entry>> entriesAt(const Block& block, qint64 offset);

/// The directory an entry stands in, whose rules it keeps to.
enum class Ifd { Image, Exif, Gps };

/// An entry of a tag the standard knows, of a type it does not allow: a reader takes it for noise.
bool wronglyTyped(Ifd ifd, quint16 tag, quint16 type);

/// An entry exactly as the standard has it, the only kind a TIFF page takes from an EXIF block.
bool standard(Ifd ifd, quint16 tag, quint16 type, quint32 count);

/// The first entry of tag in the directory at offset, once the directory is checked to lie inside the
/// block.
std::optional<qint64> entryOf(const Block& block, qint64 offset, quint16 tag);

/// Where the sub-directory a pointer entry of the directory at offset names starts.
std::optional<qint64> subDirectory(const Block& block, qint64 offset, quint16 tag);

} // namespace Exif
