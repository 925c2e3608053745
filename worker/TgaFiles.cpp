// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/TgaFiles.h"

#include <QtEndian>

namespace {
constexpr qsizetype headerSize = 18;

struct Header {
    quint8 idLength = 0;
    quint8 mapType = 0;
    quint8 kind = 0;
    quint16 mapFirst = 0;
    quint16 mapLength = 0;
    quint8 mapBits = 0;
    quint16 width = 0;
    quint16 height = 0;
    quint8 depth = 0;
    quint8 descriptor = 0;

    bool mapped() const { return kind == 1 || kind == 9; }
    bool grey() const { return kind == 3 || kind == 11; }
    bool colour() const { return kind == 2 || kind == 10; }
    bool runLength() const { return kind >= 9; }
    qsizetype mapBytes() const { return mapType == 1 ? qsizetype(mapLength) * ((mapBits + 7) / 8) : 0; }
    qsizetype pixelsAt() const { return headerSize + idLength + mapBytes(); }
};

Header headerOf(const QByteArray& bytes)
{
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    Header header;
    header.idLength = data[0];
    header.mapType = data[1];
    header.kind = data[2];
    header.mapFirst = qFromLittleEndian<quint16>(data + 3);
    header.mapLength = qFromLittleEndian<quint16>(data + 5);
    header.mapBits = data[7];
    header.width = qFromLittleEndian<quint16>(data + 12);
    header.height = qFromLittleEndian<quint16>(data + 14);
    header.depth = data[16];
    header.descriptor = data[17];
    return header;
}

bool isMapEntrySize(quint8 bits)
{
    return bits == 15 || bits == 16 || bits == 24 || bits == 32;
}
} // namespace

bool TgaFiles::isPlausible(const QByteArray& bytes)
{
    if (bytes.size() <= headerSize)
        return false;
    const Header header = headerOf(bytes);
    if ((!header.mapped() && !header.grey() && !header.colour()) || header.mapType > 1 || header.width == 0 ||
        header.height == 0)
        return false;
    // Bits 6 and 7 once meant interleaving, which nothing writes; no more than 8 bits of alpha.
    if ((header.descriptor & 0xc0) != 0 || (header.descriptor & 0x0f) > 8)
        return false;
    const bool depthFits = header.colour() ? isMapEntrySize(header.depth) : header.depth == 8 || header.depth == 16;
    if (!depthFits)
        return false;
    if (header.mapType == 1) {
        if (!isMapEntrySize(header.mapBits) || header.mapLength == 0 ||
            qint64(header.mapFirst) + header.mapLength > 65536)
            return false;
    } else if (header.mapped()) {
        return false;
    }
    return header.pixelsAt() < bytes.size();
}

QByteArray TgaFiles::forImageMagick(const QByteArray& bytes)
{
    if (bytes.size() <= headerSize)
        return bytes;
    const Header header = headerOf(bytes);
    if (!header.grey() || header.depth != 16 || header.pixelsAt() >= bytes.size())
        return bytes;
    QByteArray out;
    out.reserve(2 * (bytes.size() - header.pixelsAt()) + headerSize + header.idLength);
    out.append(bytes.left(headerSize));
    out[1] = 0;
    out[2] = char(header.runLength() ? 10 : 2);
    for (int i = 3; i < 8; ++i)
        out[i] = 0;
    out[16] = 32;
    out[17] = char((header.descriptor & 0x30) | 8);
    out.append(bytes.mid(headerSize, header.idLength));
    const auto* in = reinterpret_cast<const uchar*>(bytes.constData());
    qsizetype at = header.pixelsAt();
    const qsizetype end = bytes.size();
    // Grey, then alpha: as blue, green, red, alpha.
    const auto pixel = [&] {
        const char grey = char(in[at]);
        out.append(grey).append(grey).append(grey).append(char(in[at + 1]));
        at += 2;
    };
    const qint64 pixels = qint64(header.width) * header.height;
    qint64 done = 0;
    // Whatever ends early stays short: the decoder then says the picture is cut off.
    while (done < pixels && at + 2 <= end) {
        if (!header.runLength()) {
            pixel();
            ++done;
            continue;
        }
        const uchar packet = in[at];
        const qint64 count = (packet & 0x7f) + 1;
        out.append(char(packet));
        ++at;
        const qint64 stored = packet & 0x80 ? 1 : count;
        for (qint64 i = 0; i < stored && at + 2 <= end; ++i)
            pixel();
        done += count;
    }
    return out;
}
