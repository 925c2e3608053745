// SPDX-License-Identifier: GPL-3.0-or-later
// The photo route on bytes from a JPEG file: libjpeg's reading, the markers and EXIF it carries on,
// and every writer on the rows and metadata that come out. Pictures past a megapixel are left, as the
// worker's gate leaves larger ones to its memory limit.
#include "worker/PhotoRoute.h"
#include "worker/writers/Output.h"

#include <cstddef>
#include <cstdint>

namespace {
struct TooLarge {};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const OutputFormat::Index format : {OutputFormat::Jpg, OutputFormat::Bmp, OutputFormat::Gif, OutputFormat::Pcx,
                                             OutputFormat::Png, OutputFormat::Tiff}) {
        MemoryOutput out;
        try {
            PhotoRoute::convert(bytes, format, out, [](qint64 pixels) {
                if (pixels > (qint64(1) << 20))
                    throw TooLarge{};
            });
        } catch (const TooLarge&) {
            return 0;
        }
    }
    return 0;
}
