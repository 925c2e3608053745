// SPDX-License-Identifier: GPL-3.0-or-later
// The frames of the wire between the window and its workers, from bytes either side may send.
#include "Protocol.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray buffer(reinterpret_cast<const char*>(data), qsizetype(size));
    while (const std::optional<QByteArray> payload = Protocol::takeFrame(buffer)) {
        if (payload->isEmpty())
            break;
    }
    return 0;
}
