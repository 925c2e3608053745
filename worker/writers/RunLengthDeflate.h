// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

#include <cstddef>

namespace RunLengthDeflate {

/// A zlib stream of the bytes deflated with run-length matching alone, as zlib's Z_RLE strategy
/// parses them: a byte that repeats the one before it three times or more starts a match at distance
/// 1. The symbols are cut into blocks of 16383, as zlib cuts them, and each block is written with the
/// cheapest of its own Huffman codes, the fixed codes or storing, so that the stream is no larger than
/// zlib's of the same parse.
QByteArray deflated(const quint8* data, size_t size);

} // namespace RunLengthDeflate
