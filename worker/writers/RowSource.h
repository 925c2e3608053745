// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>

/// The thousandths of a conversion done, told as it goes: each stage covers a fixed part, measured on
/// Debian's wallpapers, and reports the fraction of itself done.
class Steps {
public:
    void tellTo(const std::function<void(qint16 done)>& tell) { m_tell = tell; }
    /// The next stage, which ends at until thousandths.
    void stage(int until)
    {
        m_from = m_until;
        m_until = until;
    }
    void at(double fraction) const
    {
        if (m_tell)
            m_tell(qint16(m_from + std::lround((m_until - m_from) * std::clamp(fraction, 0.0, 1.0))));
    }

private:
    std::function<void(qint16 done)> m_tell;
    int m_from = 0;
    int m_until = 0;
};

/// A picture's 8-bit rows as a writer asks for them, decoded one at a time from the top: a writer
/// knows no decoder.
class RowSource {
public:
    enum class Samples {
        Rgb,
        Bgr,
        Rgba,
        /// YCbCr as a JPEG stores it, for a source that stores it so.
        YCbCr,
    };

    virtual ~RowSource() = default;
    virtual size_t width() const = 0;
    virtual size_t height() const = 0;
    /// Decodes the rows as samples, each into the place rowAt gives, and hands each to done when given;
    /// false when the source turns out damaged. Advances the current stage of steps() row by row.
    virtual bool read(Samples samples, const std::function<quint8*(size_t row)>& rowAt,
                      const std::function<void(size_t row)>& done = {}) = 0;
    /// Where the conversion has got: read() covers the current stage, a writer the ones after.
    virtual Steps& steps() = 0;
};
