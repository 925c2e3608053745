// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <algorithm>
#include <cstddef>
#include <cstring>

/// Where a file is written as it is made.
class Output {
public:
    virtual ~Output() = default;
    /// Adds bytes at the end of what has been written.
    virtual void append(const char* data, size_t size) = 0;
    /// Writes bytes at offset from the start, beyond the end as well.
    virtual void overwrite(quint64 offset, const char* data, size_t size) = 0;

    // Rows are decoded into a buffer of about a mebibyte and written from it, never into a buffer as
    // large as the file: on Debian's wallpapers the fresh memory of a whole BMP cost as much system time
    // as writing it.
    static constexpr size_t chunkBytes = size_t(1) << 20;
    /// The rows of stride bytes such a buffer holds, at least one.
    static size_t chunkRows(size_t stride) { return std::max<size_t>(1, chunkBytes / std::max<size_t>(1, stride)); }
};

/// A file kept in memory.
class MemoryOutput : public Output {
public:
    void append(const char* data, size_t size) override { m_bytes.append(data, qsizetype(size)); }
    void overwrite(quint64 offset, const char* data, size_t size) override
    {
        if (offset + size > quint64(m_bytes.size()))
            m_bytes.resize(qsizetype(offset + size));
        std::memcpy(m_bytes.data() + offset, data, size);
    }
    QByteArray& bytes() { return m_bytes; }

private:
    QByteArray m_bytes;
};
