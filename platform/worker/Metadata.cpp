#include "Metadata.h"

#include <QRegularExpression>
#include <QtEndian>

#include <optional>

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
