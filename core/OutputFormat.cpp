// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/OutputFormat.h"

namespace {

bool validIndex(int index)
{
    return index >= 0 && index < OutputFormat::Count;
}
} // namespace

QString OutputFormat::extension(int index)
{
    return validIndex(index) ? QString::fromUtf16(OutputFormat::table[size_t(index)].extension) : QString();
}

QString OutputFormat::caption(int index)
{
    return validIndex(index) ? QString::fromUtf16(OutputFormat::table[size_t(index)].caption) : QString();
}
