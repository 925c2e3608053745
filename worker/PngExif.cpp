// SPDX-License-Identifier: GPL-3.0-or-later
// A PNG's EXIF block, in its eXIf chunk.
#include "worker/Metadata.h"

#include "worker/ExifBlock.h"

#include <QtEndian>

#include <zlib.h>

#include <optional>

using namespace Exif;

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
