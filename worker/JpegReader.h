// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "worker/Metadata.h"
#include "worker/writers/RowSource.h"

#include <QByteArray>

#include <array>
#include <csetjmp>
#include <cstdio>
#include <utility>
#include <vector>

#include <jpeglib.h>

/// An 8-bit three-component JPEG decoded by libjpeg-turbo into 8-bit rows, with the markers a file
/// made from it carries on. Errors of libjpeg come back as a return of false, never as an exit of the
/// process; a warning (data that ends early, a bad marker) counts as an error here, so that such a
/// picture takes the general path and is reported as it is there.
class JpegReader final : public RowSource {
public:
    /// Reads bytes, which must outlive the reader.
    explicit JpegReader(const QByteArray& bytes);
    ~JpegReader() override;
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;

    /// Reads the header and the markers; false for anything but an 8-bit three-component picture.
    bool open();

    size_t width() const override { return m_info.image_width; }
    size_t height() const override { return m_info.image_height; }
    bool read(Samples samples, const std::function<quint8*(size_t row)>& rowAt,
              const std::function<void(size_t row)>& done = {}) override;
    Steps& steps() override { return m_steps; }

    const QByteArray& icc() const { return m_icc; }
    const QByteArray& exif() const { return m_exif; }
    /// The EXIF block, and its marker, as an upright picture's output carries it: orientation 1 in a
    /// type every reader takes (a source's invalid one was copied, and ImageMagick's path writes 1),
    /// entries of types the standard does not allow left out.
    void settleExif();
    const QByteArray& xmp() const { return m_xmp; }
    /// As ImageMagick reads it: EXIF's resolution, else JFIF's where it has a unit.
    const Metadata::Resolution& density() const { return m_density; }
    bool isYcc() const { return m_info.jpeg_color_space == JCS_YCbCr; }
    /// Chroma sampling of each component, horizontal and vertical.
    const std::array<std::pair<int, int>, 3>& sampling() const { return m_sampling; }
    /// The markers after the header, in their order: APP1 to APP15 and comments.
    const std::vector<std::pair<int, QByteArray>>& markers() const { return m_markers; }

private:
    struct ErrorManager {
        jpeg_error_mgr base;
        std::jmp_buf jump;
    };

    const QByteArray& m_bytes;
    jpeg_decompress_struct m_info{};
    ErrorManager m_error{};
    QByteArray m_icc;
    QByteArray m_exif;
    QByteArray m_xmp;
    Metadata::Resolution m_density;
    std::array<std::pair<int, int>, 3> m_sampling{};
    std::vector<std::pair<int, QByteArray>> m_markers;
    size_t m_exifMarker = SIZE_MAX;
    Steps m_steps;
};
