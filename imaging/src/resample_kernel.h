// The inner loop of the area-averaging resampler, compiled twice: once for any x86-64 (or
// other) processor and once with AVX2, where the four lanes of a pixel's sums fit one
// register. Both are plain IEEE double arithmetic in the same order, without fused
// multiply-adds (-ffp-contract=off), so both give the same bytes; resample.cpp picks one at
// run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "faltrix/plugin.h"

namespace faltrix::resample_detail {

// The 24-bit source as the kernel reads it: row j (in memory order) starts j * stride bytes
// after bits.
struct Source {
    const uint8_t *bits;
    size_t stride;
    uint32_t width;
    uint32_t height;
    // No byte follows the last pixel of the last row in memory (no row padding): that row is
    // read byte by byte, every other row with one 4-byte load per pixel.
    bool lastRowNarrow;
};

// The terms of one destination row that contribute: `count` consecutive source rows from
// `first`, each with its weight in a table beside it.
struct Terms {
    uint32_t first;
    uint32_t count;
};

// The terms of destination columns [begin, end): column begin + i has count[i] terms from
// entry start[i] on, each a byte offset into a source row (3 * source column) and a weight.
struct ColumnTable {
    const uint32_t *start;
    const uint32_t *count;
    const uint32_t *offset;
    const double *weight;
};

// Writes destination columns [begin, end) of one row and reports progress(base + x, total, 0)
// after every pixel; rows and rowWeights are the destination row's terms.
using ResampleRowPieceFn = void (*)(const Source &src, uint8_t *dstRow, uint32_t begin, uint32_t end,
                                    const ColumnTable &columns, Terms rows, const double *rowWeights,
                                    uint32_t progressBase, uint32_t progressTotal, ProgressCallbackFn progress);

void ResampleRowPieceGeneric(const Source &src, uint8_t *dstRow, uint32_t begin, uint32_t end,
                             const ColumnTable &columns, Terms rows, const double *rowWeights,
                             uint32_t progressBase, uint32_t progressTotal, ProgressCallbackFn progress);
void ResampleRowPieceAvx2(const Source &src, uint8_t *dstRow, uint32_t begin, uint32_t end,
                          const ColumnTable &columns, Terms rows, const double *rowWeights, uint32_t progressBase,
                          uint32_t progressTotal, ProgressCallbackFn progress);
// True when the AVX2 kernel was built and the processor has AVX2.
bool HaveAvx2Kernel();
// Tests run both kernels: true makes AreaAverageResize use the generic one, false returns to
// the best one for this processor. Not to be called while a resize runs.
void UseGenericKernel(bool generic);

}  // namespace faltrix::resample_detail

#ifdef FALTRIX_RESAMPLE_KERNEL_BODY
#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace faltrix::resample_detail {
namespace {

typedef double Lanes __attribute__((vector_size(32)));  // channel 0, 1, 2, weight

// One source pixel as the four lanes (byte 0, byte 1, byte 2, 1.0). With `wide` the pixel
// is read with one 4-byte load, which touches the byte after it: only where that byte still
// belongs to the picture's memory.
template <bool wide>
[[gnu::always_inline]] inline void LoadPixel(const uint8_t *p, Lanes &out) {
    uint32_t v;
    if constexpr (wide) {
        std::memcpy(&v, p, 4);
    } else {
        v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
    }
#if defined(__AVX2__)
    const __m128i ints = _mm_blend_epi32(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(static_cast<int>(v))),
                                         _mm_set1_epi32(1), 8);
    out = reinterpret_cast<Lanes>(_mm256_cvtepi32_pd(ints));
#else
    typedef int32_t Ints __attribute__((vector_size(16)));
    const Ints ints = {static_cast<int32_t>(v & 0xFF), static_cast<int32_t>((v >> 8) & 0xFF),
                       static_cast<int32_t>((v >> 16) & 0xFF), 1};
    out = __builtin_convertvector(ints, Lanes);
#endif
}

// One source row's terms, in ascending column order: for each channel
// sum = (byte * wy) * wx + sum, and weight = wy * wx + weight (the 1.0 lane).
template <bool wide>
[[gnu::always_inline]] inline void AccumulateRow(Lanes &sums, const uint8_t *row, const uint32_t *offset,
                                                 const double *wx, uint32_t count, double wy) {
    for (uint32_t k = 0; k < count; ++k) {
        Lanes v;
        LoadPixel<wide>(row + offset[k], v);
        sums = (v * wy) * wx[k] + sums;
    }
}

// Two neighbouring destination pixels' terms of one source row, side by side: the first
// `count` terms of each, a's and b's sums each in their own order. Two independent chains
// of additions keep the processor busy where one would wait for each sum.
template <bool wide>
[[gnu::always_inline]] inline void AccumulateRowPair(Lanes &a, Lanes &b, const uint8_t *row, const uint32_t *oa,
                                                     const uint32_t *ob, const double *wa, const double *wb,
                                                     uint32_t count, double wy) {
    for (uint32_t k = 0; k < count; ++k) {
        Lanes va, vb;
        LoadPixel<wide>(row + oa[k], va);
        LoadPixel<wide>(row + ob[k], vb);
        a = (va * wy) * wa[k] + a;
        b = (vb * wy) * wb[k] + b;
    }
}

// Each channel's mean, truncated (not rounded, not clamped), keeps its low 8 bits. The first
// term of a span always weighs more than 0, so the weight sum is never 0, and a mean of bytes
// lies within 0..255 up to a rounding error.
[[gnu::always_inline]] inline void StoreMean(const Lanes &sums, uint8_t *out) {
    const Lanes mean = sums / sums[3];
    out[0] = static_cast<uint8_t>(static_cast<int64_t>(mean[0]));
    out[1] = static_cast<uint8_t>(static_cast<int64_t>(mean[1]));
    out[2] = static_cast<uint8_t>(static_cast<int64_t>(mean[2]));
}

[[gnu::always_inline]] inline void RowPiece(const Source &src, uint8_t *dstRow, uint32_t begin, uint32_t end,
                                            const ColumnTable &columns, Terms rows, const double *rowWeights,
                                            uint32_t progressBase, uint32_t progressTotal,
                                            ProgressCallbackFn progress) {
    const uint32_t narrowRow = src.lastRowNarrow ? src.height - 1 : UINT32_MAX;
    const auto total = static_cast<int32_t>(progressTotal);
    uint32_t x = begin;
    // Pixels in pairs: within each source row a pixel's terms run in ascending order, the
    // terms both pixels have first side by side, then the rest of each.
    for (; x + 1 < end; x += 2) {
        const uint32_t i = x - begin;
        const uint32_t na = columns.count[i], nb = columns.count[i + 1];
        const uint32_t *oa = columns.offset + columns.start[i];
        const uint32_t *ob = columns.offset + columns.start[i + 1];
        const double *wa = columns.weight + columns.start[i];
        const double *wb = columns.weight + columns.start[i + 1];
        const uint32_t both = na < nb ? na : nb;
        Lanes a = {0.0, 0.0, 0.0, 0.0};
        Lanes b = {0.0, 0.0, 0.0, 0.0};
        for (uint32_t r = 0; r < rows.count; ++r) {
            const uint32_t j = rows.first + r;
            const uint8_t *row = src.bits + j * src.stride;
            const double wy = rowWeights[r];
            if (j == narrowRow) {
                AccumulateRowPair<false>(a, b, row, oa, ob, wa, wb, both, wy);
                AccumulateRow<false>(a, row, oa + both, wa + both, na - both, wy);
                AccumulateRow<false>(b, row, ob + both, wb + both, nb - both, wy);
            } else {
                AccumulateRowPair<true>(a, b, row, oa, ob, wa, wb, both, wy);
                AccumulateRow<true>(a, row, oa + both, wa + both, na - both, wy);
                AccumulateRow<true>(b, row, ob + both, wb + both, nb - both, wy);
            }
        }
        StoreMean(a, dstRow + 3 * static_cast<size_t>(x));
        progress(static_cast<int32_t>(progressBase + x), total, 0);
        StoreMean(b, dstRow + 3 * static_cast<size_t>(x + 1));
        progress(static_cast<int32_t>(progressBase + x + 1), total, 0);
    }
    for (; x < end; ++x) {
        const uint32_t i = x - begin;
        const uint32_t *o = columns.offset + columns.start[i];
        const double *w = columns.weight + columns.start[i];
        Lanes sums = {0.0, 0.0, 0.0, 0.0};
        for (uint32_t r = 0; r < rows.count; ++r) {
            const uint32_t j = rows.first + r;
            const uint8_t *row = src.bits + j * src.stride;
            if (j == narrowRow) {
                AccumulateRow<false>(sums, row, o, w, columns.count[i], rowWeights[r]);
            } else {
                AccumulateRow<true>(sums, row, o, w, columns.count[i], rowWeights[r]);
            }
        }
        StoreMean(sums, dstRow + 3 * static_cast<size_t>(x));
        progress(static_cast<int32_t>(progressBase + x), total, 0);
    }
}

}  // namespace
}  // namespace faltrix::resample_detail
#endif  // FALTRIX_RESAMPLE_KERNEL_BODY
