// SPDX-License-Identifier: GPL-3.0-or-later
// libpng's filter comes only with zlib's deflate; in 16-byte lanes 3% of PNG's time, not 8% (README, Benchmark).
#include "worker/writers/RowFilter.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>

// The row filter works on 16 bytes at a time where SSE2 is there (every x86-64), on one elsewhere.
#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define ROW_FILTER_SSE2
#endif

RowFilter::RowFilter(size_t stride, size_t pixelBytes)
    : m_stride(stride)
    , m_pixelBytes(pixelBytes)
    , m_none(stride, 0)
{
}

namespace {
// Paeth's predictor with its distances worked out from the neighbours alone, so that the loops below
// have no branch the compiler cannot turn into a select.
inline int paeth(int left, int up, int upLeft)
{
    const int toLeft = std::abs(up - upLeft);
    const int toUp = std::abs(left - upLeft);
    const int toUpLeft = std::abs(left + up - 2 * upLeft);
    return toLeft <= toUp && toLeft <= toUpLeft ? left : toUp <= toUpLeft ? up : upLeft;
}

// How far a filtered byte is from zero, read as signed.
inline quint32 signedSize(int value)
{
    return quint32(std::abs(int(qint8(quint8(value)))));
}

// PNG's filters: 0 none, 1 left, 2 up, 3 average, 4 Paeth. x is the byte, a the one to its left,
// b the one above, c the one above to the left.
template <int type> inline quint8 filtered(int x, int a, int b, int c)
{
    if constexpr (type == 0)
        return quint8(x);
    else if constexpr (type == 1)
        return quint8(x - a);
    else if constexpr (type == 2)
        return quint8(x - b);
    else if constexpr (type == 3)
        return quint8(x - ((a + b) >> 1));
    else
        return quint8(x - paeth(a, b, c));
}

// The bytes after the first pixel, whose left neighbours are in the row: line and above start one
// pixel back, so that one index reaches each byte and its neighbours.
template <int type>
void filterTail(const quint8* line, const quint8* above, size_t from, size_t count, size_t bpp, quint8* out)
{
    for (size_t i = from; i < count; ++i)
        out[i] = filtered<type>(line[bpp + i], line[i], above[bpp + i], above[i]);
}

#ifdef ROW_FILTER_SSE2
// Sixteen bytes at a time, all in 8-bit lanes. perf on the wallpapers' PNG run put the filter at 8% of
// the time in 32-bit lanes, as the compiler vectorised it; in bytes it is a third of that.
struct Bytes16 {
    __m128i x, a, b, c;
};

inline Bytes16 load16(const quint8* line, const quint8* above, size_t i, size_t bpp)
{
    const auto at = [](const quint8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    return {at(line + bpp + i), at(line + i), at(above + bpp + i), at(above + i)};
}

inline __m128i distance16(__m128i p, __m128i q)
{
    return _mm_or_si128(_mm_subs_epu8(p, q), _mm_subs_epu8(q, p));
}

inline __m128i atMost16(__m128i p, __m128i q)
{
    return _mm_cmpeq_epi8(_mm_min_epu8(p, q), p);
}

inline __m128i select16(__m128i mask, __m128i yes, __m128i no)
{
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// Paeth's choice with 8-bit distances: |a + b - 2c| is the sum of |b - c| and |a - c| where a and b lie
// on the same side of c, their difference otherwise. The sum saturates at 255, which no comparison
// with the other two distances (at most 255 each) can tell from the true sum.
inline __m128i paeth16(__m128i a, __m128i b, __m128i c)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i toLeft = distance16(b, c);
    const __m128i toUp = distance16(a, c);
    const __m128i sameSide =
        _mm_cmpeq_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(c, a), zero), _mm_cmpeq_epi8(_mm_subs_epu8(c, b), zero));
    const __m128i toUpLeft = select16(sameSide, _mm_adds_epu8(toLeft, toUp), distance16(toLeft, toUp));
    const __m128i left = _mm_and_si128(atMost16(toLeft, toUp), atMost16(toLeft, toUpLeft));
    return select16(left, a, select16(atMost16(toUp, toUpLeft), b, c));
}

template <int type> inline __m128i filtered16(const Bytes16& p)
{
    if constexpr (type == 0)
        return p.x;
    else if constexpr (type == 1)
        return _mm_sub_epi8(p.x, p.a);
    else if constexpr (type == 2)
        return _mm_sub_epi8(p.x, p.b);
    else if constexpr (type == 3) // _mm_avg_epu8 rounds up, PNG's average down
        return _mm_sub_epi8(
            p.x, _mm_sub_epi8(_mm_avg_epu8(p.a, p.b), _mm_and_si128(_mm_xor_si128(p.a, p.b), _mm_set1_epi8(1))));
    else
        return _mm_sub_epi8(p.x, paeth16(p.a, p.b, p.c));
}

// Sums |byte| of filtered bytes read as signed, in two 64-bit halves.
inline __m128i signedSizes16(__m128i bytes)
{
    const __m128i zero = _mm_setzero_si128();
    return _mm_sad_epu8(_mm_min_epu8(bytes, _mm_sub_epi8(zero, bytes)), zero);
}

inline quint64 total16(__m128i sums)
{
    return quint64(_mm_cvtsi128_si64(sums)) + quint64(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

constexpr size_t vectorBytes = 16;
#endif

template <int type> void filterInto(const quint8* line, const quint8* above, size_t count, size_t bpp, quint8* out)
{
    size_t i = 0;
#ifdef ROW_FILTER_SSE2
    for (; i + vectorBytes <= count; i += vectorBytes)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), filtered16<type>(load16(line, above, i, bpp)));
#endif
    filterTail<type>(line, above, i, count, bpp, out);
}
} // namespace

// The costs of all five filters are summed in one pass and only the chosen filter's bytes are written,
// in a second, without branches in the loops.
void RowFilter::filter(const quint8* line, const quint8* above, quint8* out)
{
    if (!above)
        above = m_none.data();
    const size_t bpp = std::min(m_pixelBytes, m_stride);
    const size_t rest = m_stride - bpp;
    std::array<quint64, 5> cost{};
    // The first pixel has nothing to its left.
    for (size_t i = 0; i < bpp; ++i) {
        cost[0] += signedSize(filtered<0>(line[i], 0, above[i], 0));
        cost[1] += signedSize(filtered<1>(line[i], 0, above[i], 0));
        cost[2] += signedSize(filtered<2>(line[i], 0, above[i], 0));
        cost[3] += signedSize(filtered<3>(line[i], 0, above[i], 0));
        cost[4] += signedSize(filtered<4>(line[i], 0, above[i], 0));
    }
    size_t i = 0;
#ifdef ROW_FILTER_SSE2
    __m128i none = _mm_setzero_si128(), left = none, up = none, average = none, predicted = none;
    for (; i + vectorBytes <= rest; i += vectorBytes) {
        const Bytes16 p = load16(line, above, i, bpp);
        none = _mm_add_epi64(none, signedSizes16(filtered16<0>(p)));
        left = _mm_add_epi64(left, signedSizes16(filtered16<1>(p)));
        up = _mm_add_epi64(up, signedSizes16(filtered16<2>(p)));
        average = _mm_add_epi64(average, signedSizes16(filtered16<3>(p)));
        predicted = _mm_add_epi64(predicted, signedSizes16(filtered16<4>(p)));
    }
    cost[0] += total16(none);
    cost[1] += total16(left);
    cost[2] += total16(up);
    cost[3] += total16(average);
    cost[4] += total16(predicted);
#endif
    for (; i < rest; ++i) {
        const int x = line[bpp + i], a = line[i], b = above[bpp + i], c = above[i];
        cost[0] += signedSize(filtered<0>(x, a, b, c));
        cost[1] += signedSize(filtered<1>(x, a, b, c));
        cost[2] += signedSize(filtered<2>(x, a, b, c));
        cost[3] += signedSize(filtered<3>(x, a, b, c));
        cost[4] += signedSize(filtered<4>(x, a, b, c));
    }
    // libpng leaves a picture one pixel wide to none and up, the filters that need no left neighbour.
    if (rest == 0)
        cost[1] = cost[3] = cost[4] = std::numeric_limits<quint64>::max();
    const int best = int(std::min_element(cost.begin(), cost.end()) - cost.begin());
    out[0] = quint8(best);
    quint8* const bytes = out + 1;
    const auto first = [&](auto filter) {
        for (size_t i = 0; i < bpp; ++i)
            bytes[i] = filter(line[i], 0, above[i], 0);
    };
    switch (best) {
    case 0:
        std::memcpy(bytes, line, m_stride);
        break;
    case 1:
        first(filtered<1>);
        filterInto<1>(line, above, rest, bpp, bytes + bpp);
        break;
    case 2:
        first(filtered<2>);
        filterInto<2>(line, above, rest, bpp, bytes + bpp);
        break;
    case 3:
        first(filtered<3>);
        filterInto<3>(line, above, rest, bpp, bytes + bpp);
        break;
    default:
        first(filtered<4>);
        filterInto<4>(line, above, rest, bpp, bytes + bpp);
        break;
    }
}
