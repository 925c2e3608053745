// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/writers/Jpeg.h"

#include "worker/writers/ByteWriter.h"
#include "worker/writers/Output.h"
#include "worker/writers/RowSource.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void leave(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void quietly(j_common_ptr) {}

// No object with a destructor lives here: an error of libjpeg comes back through longjmp.
bool compress(jpeg_compress_struct& info, ErrorManager& error, RowSource& source, const JpegWriter::Original& original,
              const quint8* rows, unsigned char** buffer, unsigned long* length)
{
    if (setjmp(error.jump))
        return false;
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, buffer, length);
    info.image_width = JDIMENSION(source.width());
    info.image_height = JDIMENSION(source.height());
    info.input_components = 3;
    info.in_color_space = original.ycc ? JCS_YCbCr : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    info.optimize_coding = TRUE;
    info.dct_method = JDCT_ISLOW;
    for (int component = 0; component < 3; ++component) {
        info.comp_info[component].h_samp_factor = original.sampling[size_t(component)].first;
        info.comp_info[component].v_samp_factor = original.sampling[size_t(component)].second;
    }
    const Metadata::Resolution& density = original.density;
    info.write_JFIF_header = TRUE;
    info.density_unit = UINT8(density.unit);
    info.X_density = density.x > 0 ? ByteWriter::clamped<UINT16>(density.x) : 1;
    info.Y_density = density.y > 0 ? ByteWriter::clamped<UINT16>(density.y) : 1;
    jpeg_start_compress(&info, TRUE);
    for (const auto& [marker, data] : original.markers) {
        if (marker != JPEG_APP0 + 14)
            jpeg_write_marker(&info, marker, reinterpret_cast<const JOCTET*>(data.constData()), unsigned(data.size()));
    }
    const size_t stride = size_t(info.image_width) * 3;
    while (info.next_scanline < info.image_height) {
        JSAMPROW line = const_cast<quint8*>(rows) + size_t(info.next_scanline) * stride;
        jpeg_write_scanlines(&info, &line, 1);
        source.steps().at(double(info.next_scanline) / double(info.image_height));
    }
    jpeg_finish_compress(&info);
    return true;
}

} // namespace

bool JpegWriter::write(RowSource& source, const Original& original, Output& file)
{
    // Its units are numbered as JFIF numbers them.
    static_assert(Metadata::Resolution::None == 0 && Metadata::Resolution::PerInch == 1 &&
                  Metadata::Resolution::PerCentimetre == 2);
    const size_t stride = source.width() * 3;
    std::vector<quint8> rows(stride * source.height());
    if (!source.read(original.ycc ? RowSource::Samples::YCbCr : RowSource::Samples::Rgb,
                     [&](size_t row) { return rows.data() + row * stride; }))
        return false;
    source.steps().stage(1000);
    ErrorManager error{};
    jpeg_compress_struct info{};
    info.err = jpeg_std_error(&error.base);
    error.base.error_exit = leave;
    error.base.output_message = quietly;
    // libjpeg's memory destination grows its buffer with malloc.
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    const bool done = compress(info, error, source, original, rows.data(), &buffer, &length);
    if (done)
        file.append(reinterpret_cast<const char*>(buffer), size_t(length));
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return done;
}

// Pictures of the general route, decoded and settled by ImageMagick, written by its coder with the
// settings below.

Magick::Blob JpegWriter::ofImage(Magick::Image& image)
{
    Magick::Blob blob;
    image.quality(90);
    image.depth(8);
    image.write(&blob, "JPEG");
    return blob;
}
