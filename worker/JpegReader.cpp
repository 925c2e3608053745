// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/JpegReader.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr char xmpHeader[] = "http://ns.adobe.com/xap/1.0/";
constexpr char exifHeader[] = "Exif\0";

// Its units are numbered as JFIF numbers them.
using Density = Metadata::Resolution;
static_assert(Density::None == 0 && Density::PerInch == 1 && Density::PerCentimetre == 2);

void quietly(j_common_ptr) {}

J_COLOR_SPACE spaceOf(RowSource::Samples samples)
{
    switch (samples) {
    case RowSource::Samples::Bgr:
        return JCS_EXT_BGR;
    case RowSource::Samples::Rgba:
        return JCS_EXT_RGBA;
    case RowSource::Samples::YCbCr:
        return JCS_YCbCr;
    case RowSource::Samples::Rgb:
        break;
    }
    return JCS_RGB;
}

} // namespace

JpegReader::JpegReader(const QByteArray& bytes)
    : m_bytes(bytes)
{
    m_info.err = jpeg_std_error(&m_error.base);
    m_error.base.error_exit = [](j_common_ptr info) {
        std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
    };
    m_error.base.output_message = quietly;
    jpeg_create_decompress(&m_info);
}

JpegReader::~JpegReader()
{
    jpeg_destroy_decompress(&m_info);
}

bool JpegReader::open()
{
    if (setjmp(m_error.jump))
        return false;
    jpeg_mem_src(&m_info, reinterpret_cast<const unsigned char*>(m_bytes.constData()),
                 static_cast<unsigned long>(m_bytes.size()));
    jpeg_save_markers(&m_info, JPEG_COM, 0xffff);
    for (int marker = JPEG_APP0 + 1; marker <= JPEG_APP0 + 15; ++marker)
        jpeg_save_markers(&m_info, marker, 0xffff);
    if (jpeg_read_header(&m_info, TRUE) != JPEG_HEADER_OK)
        return false;
    if (m_info.num_components != 3 || m_info.data_precision != 8 ||
        (m_info.jpeg_color_space != JCS_YCbCr && m_info.jpeg_color_space != JCS_RGB))
        return false;
    JOCTET* icc = nullptr;
    unsigned int iccLength = 0;
    if (jpeg_read_icc_profile(&m_info, &icc, &iccLength)) {
        m_icc = QByteArray(reinterpret_cast<const char*>(icc), qsizetype(iccLength));
        std::free(icc);
    }
    // Markers and sampling go with the decoder's memory when it finishes; they are kept here.
    for (int component = 0; component < 3; ++component)
        m_sampling[size_t(component)] = {m_info.comp_info[component].h_samp_factor,
                                         m_info.comp_info[component].v_samp_factor};
    for (jpeg_saved_marker_ptr marker = m_info.marker_list; marker; marker = marker->next) {
        const QByteArray data(reinterpret_cast<const char*>(marker->data), qsizetype(marker->data_length));
        m_markers.push_back({marker->marker, data});
        if (marker->marker != JPEG_APP0 + 1)
            continue;
        if (data.startsWith(QByteArray::fromRawData(exifHeader, sizeof exifHeader)) && m_exif.isEmpty()) {
            m_exif = data;
            m_exifMarker = m_markers.size() - 1;
        } else if (data.startsWith(QByteArray::fromRawData(xmpHeader, sizeof xmpHeader)) && m_xmp.isEmpty())
            m_xmp = data.mid(qsizetype(sizeof xmpHeader));
    }
    if (const Metadata::Resolution exif = Metadata::resolutionOf(m_exif); exif.unit != Metadata::Resolution::None)
        m_density = exif;
    else if (m_info.saw_JFIF_marker && (m_info.density_unit == 1 || m_info.density_unit == 2))
        m_density = {double(m_info.X_density), double(m_info.Y_density), Density::Unit(m_info.density_unit)};
    return m_error.base.num_warnings == 0;
}

bool JpegReader::read(Samples samples, const std::function<quint8*(size_t row)>& rowAt,
                      const std::function<void(size_t row)>& done)
{
    if (setjmp(m_error.jump))
        return false;
    m_info.out_color_space = spaceOf(samples);
    m_info.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&m_info);
    while (m_info.output_scanline < m_info.output_height) {
        const size_t row = m_info.output_scanline;
        JSAMPROW line = rowAt(row);
        if (jpeg_read_scanlines(&m_info, &line, 1) != 1)
            return false;
        if (done)
            done(row);
        m_steps.at(double(row + 1) / double(m_info.output_height));
    }
    jpeg_finish_decompress(&m_info);
    return m_error.base.num_warnings == 0;
}

void JpegReader::settleExif()
{
    m_exif = Metadata::upright(m_exif, false);
    if (m_exifMarker < m_markers.size())
        m_markers[m_exifMarker].second = m_exif;
}
