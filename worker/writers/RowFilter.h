// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <cstddef>
#include <vector>

/// PNG's five filters tried on each row, the one whose bytes read as signed sum smallest kept: libpng's
/// adaptive filter, which ImageMagick uses for photographs.
class RowFilter {
public:
    RowFilter(size_t stride, size_t pixelBytes);
    /// line filtered against above (nullptr for the first row) into out: the type byte, then stride bytes.
    void filter(const quint8* line, const quint8* above, quint8* out);

private:
    size_t m_stride;
    size_t m_pixelBytes;
    std::vector<quint8> m_none;
};
