// SPDX-License-Identifier: GPL-3.0-or-later
// A TGA's header, judged before any decoder sees it, and the bytes rewritten for ImageMagick's coder.
#include "worker/TgaFiles.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    TgaFiles::isPlausible(bytes);
    const QByteArray rewritten = TgaFiles::forImageMagick(bytes);
    // At most twice as long, and a rewritten file needs nothing more done.
    if (rewritten.size() > 2 * bytes.size() || TgaFiles::forImageMagick(rewritten) != rewritten)
        __builtin_trap();
    return 0;
}
