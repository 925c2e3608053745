// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QtEndian>

#include <limits>

/// Numbers put into a buffer in one byte order, as the writers' headers need them.
class ByteWriter {
public:
    explicit ByteWriter(QByteArray& out, bool bigEndian = false)
        : m_out(out)
        , m_big(bigEndian)
    {
    }
    void u8(quint8 value) { m_out.append(char(value)); }
    void u16(quint16 value)
    {
        const quint16 v = m_big ? qToBigEndian(value) : qToLittleEndian(value);
        m_out.append(reinterpret_cast<const char*>(&v), 2);
    }
    void u32(quint32 value)
    {
        const quint32 v = m_big ? qToBigEndian(value) : qToLittleEndian(value);
        m_out.append(reinterpret_cast<const char*>(&v), 4);
    }
    void bytes(const QByteArray& data) { m_out.append(data); }
    void zeros(qsizetype count) { m_out.append(count, '\0'); }
    qsizetype size() const { return m_out.size(); }

    /// value for a field of type T: the nearest it holds, 0 for NaN. A camera's EXIF can say 4e9
    /// pixels an inch, which converted as it is would be undefined.
    template <typename T> static T clamped(double value)
    {
        constexpr T most = std::numeric_limits<T>::max();
        return !(value > 0) ? T(0) : value >= double(most) ? most : T(value);
    }

private:
    QByteArray& m_out;
    bool m_big;
};
