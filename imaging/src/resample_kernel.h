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
using ResampleRowPieceFn = void (*)(const Source &src, uint8_t *dstRow, uint32_t begin,
                                    uint32_t end, const ColumnTable &columns, Terms rows,
                                    const double *rowWeights, uint32_t progressBase,
                                    uint32_t progressTotal, ProgressCallbackFn progress);

void ResampleRowPieceGeneric(const Source &src, uint8_t *dstRow, uint32_t begin, uint32_t end,
                             const ColumnTable &columns, Terms rows, const double *rowWeights,
                             uint32_t progressBase, uint32_t progressTotal,
                             ProgressCallbackFn progress);
void ResampleRowPieceAvx2(const Source &src, uint8_t *dstRow, uint32_t begin, uint32_t end,
                          const ColumnTable &columns, Terms rows, const double *rowWeights,
                          uint32_t progressBase, uint32_t progressTotal,
                          ProgressCallbackFn progress);
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
        v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
            static_cast<uint32_t>(p[2]) << 16;
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
[[gnu::always_inline]] inline void AccumulateRow(Lanes &sums, const uint8_t *row,
                                                 const uint32_t *offset, const double *wx,
                                                 uint32_t count, double wy) {
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
[[gnu::always_inline]] inline void AccumulateRowPair(Lanes &a, Lanes &b, const uint8_t *row,
                                                     const uint32_t *oa, const uint32_t *ob,
                                                     const double *wa, const double *wb,
                                                     uint32_t count, double wy) {
    for (uint32_t k = 0; k < count; ++k) {
        Lanes va, vb;
        LoadPixel<wide>(row + oa[k], va);
        LoadPixel<wide>(row + ob[k], vb);
        a = (va * wy) * wa[k] + a;
        b = (vb * wy) * wb[k] + b;
    }
}

// Four neighbouring pixels with the same number of terms (columns padded to one count),
// likewise side by side.
template <bool wide>
[[gnu::always_inline]] inline void AccumulateRowQuad(Lanes (&sums)[4], const uint8_t *row,
                                                     const uint32_t *const (&offset)[4],
                                                     const double *const (&wx)[4], uint32_t count,
                                                     double wy) {
    for (uint32_t k = 0; k < count; ++k) {
        Lanes v0, v1, v2, v3;
        LoadPixel<wide>(row + offset[0][k], v0);
        LoadPixel<wide>(row + offset[1][k], v1);
        LoadPixel<wide>(row + offset[2][k], v2);
        LoadPixel<wide>(row + offset[3][k], v3);
        sums[0] = (v0 * wy) * wx[0][k] + sums[0];
        sums[1] = (v1 * wy) * wx[1][k] + sums[1];
        sums[2] = (v2 * wy) * wx[2][k] + sums[2];
        sums[3] = (v3 * wy) * wx[3][k] + sums[3];
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

// The pixels of one destination row, begin <= x < end. Neighbouring pixels are computed side
// by side, four at a time where their term counts agree, else two at a time: independent
// chains of additions keep the processor busy where one chain would wait for each sum. Each
// pixel's terms still run in ascending order within each source row, and the progress calls
// come in pixel order.
class RowPieceWriter {
public:
    RowPieceWriter(const Source &src, uint8_t *dstRow, uint32_t begin, const ColumnTable &columns,
                   Terms rows, const double *rowWeights, uint32_t progressBase,
                   uint32_t progressTotal, ProgressCallbackFn progress)
        : src_(src),
          dstRow_(dstRow),
          begin_(begin),
          columns_(columns),
          rows_(rows),
          rowWeights_(rowWeights),
          progressBase_(progressBase),
          total_(static_cast<int32_t>(progressTotal)),
          progress_(progress),
          narrowRow_(src.lastRowNarrow ? src.height - 1 : UINT32_MAX) {}

    [[gnu::always_inline]] void Run(uint32_t end) {
        uint32_t x = begin_;
        for (; x + 3 < end; x += 4) {
            const uint32_t i = x - begin_;
            const uint32_t n = columns_.count[i];
            if (columns_.count[i + 1] == n && columns_.count[i + 2] == n &&
                columns_.count[i + 3] == n) {
                Quad(x, n);
            } else {
                Pair(x);
                Pair(x + 2);
            }
        }
        for (; x + 1 < end; x += 2) Pair(x);
        if (x < end) Single(x);
    }

private:
    const uint8_t *Row(uint32_t j) const { return src_.bits + j * src_.stride; }
    const uint32_t *Offsets(uint32_t x) const {
        return columns_.offset + columns_.start[x - begin_];
    }
    const double *Weights(uint32_t x) const { return columns_.weight + columns_.start[x - begin_]; }
    uint32_t Count(uint32_t x) const { return columns_.count[x - begin_]; }

    [[gnu::always_inline]] void Finish(const Lanes &sums, uint32_t x) const {
        StoreMean(sums, dstRow_ + 3 * static_cast<size_t>(x));
        progress_(static_cast<int32_t>(progressBase_ + x), total_, 0);
    }

    [[gnu::always_inline]] void Quad(uint32_t x, uint32_t count) const {
        const uint32_t *const offset[4] = {Offsets(x), Offsets(x + 1), Offsets(x + 2),
                                           Offsets(x + 3)};
        const double *const wx[4] = {Weights(x), Weights(x + 1), Weights(x + 2), Weights(x + 3)};
        Lanes sums[4] = {};
        for (uint32_t r = 0; r < rows_.count; ++r) {
            const uint32_t j = rows_.first + r;
            if (j == narrowRow_) {
                AccumulateRowQuad<false>(sums, Row(j), offset, wx, count, rowWeights_[r]);
            } else {
                AccumulateRowQuad<true>(sums, Row(j), offset, wx, count, rowWeights_[r]);
            }
        }
        for (uint32_t q = 0; q < 4; ++q) Finish(sums[q], x + q);
    }

    // The terms both pixels have first side by side, then the rest of each.
    [[gnu::always_inline]] void Pair(uint32_t x) const {
        const uint32_t na = Count(x), nb = Count(x + 1);
        const uint32_t both = na < nb ? na : nb;
        const uint32_t *oa = Offsets(x), *ob = Offsets(x + 1);
        const double *wa = Weights(x), *wb = Weights(x + 1);
        Lanes a = {0.0, 0.0, 0.0, 0.0};
        Lanes b = {0.0, 0.0, 0.0, 0.0};
        for (uint32_t r = 0; r < rows_.count; ++r) {
            const uint32_t j = rows_.first + r;
            const uint8_t *row = Row(j);
            const double wy = rowWeights_[r];
            if (j == narrowRow_) {
                AccumulateRowPair<false>(a, b, row, oa, ob, wa, wb, both, wy);
                AccumulateRow<false>(a, row, oa + both, wa + both, na - both, wy);
                AccumulateRow<false>(b, row, ob + both, wb + both, nb - both, wy);
            } else {
                AccumulateRowPair<true>(a, b, row, oa, ob, wa, wb, both, wy);
                AccumulateRow<true>(a, row, oa + both, wa + both, na - both, wy);
                AccumulateRow<true>(b, row, ob + both, wb + both, nb - both, wy);
            }
        }
        Finish(a, x);
        Finish(b, x + 1);
    }

    [[gnu::always_inline]] void Single(uint32_t x) const {
        Lanes sums = {0.0, 0.0, 0.0, 0.0};
        for (uint32_t r = 0; r < rows_.count; ++r) {
            const uint32_t j = rows_.first + r;
            if (j == narrowRow_) {
                AccumulateRow<false>(sums, Row(j), Offsets(x), Weights(x), Count(x),
                                     rowWeights_[r]);
            } else {
                AccumulateRow<true>(sums, Row(j), Offsets(x), Weights(x), Count(x), rowWeights_[r]);
            }
        }
        Finish(sums, x);
    }

    const Source &src_;
    uint8_t *dstRow_;
    uint32_t begin_;
    const ColumnTable &columns_;
    Terms rows_;
    const double *rowWeights_;
    uint32_t progressBase_;
    int32_t total_;
    ProgressCallbackFn progress_;
    uint32_t narrowRow_;
};

[[gnu::always_inline]] inline void RowPiece(const Source &src, uint8_t *dstRow, uint32_t begin,
                                            uint32_t end, const ColumnTable &columns, Terms rows,
                                            const double *rowWeights, uint32_t progressBase,
                                            uint32_t progressTotal, ProgressCallbackFn progress) {
    RowPieceWriter(src, dstRow, begin, columns, rows, rowWeights, progressBase, progressTotal,
                   progress)
        .Run(end);
}

}  // namespace
}  // namespace faltrix::resample_detail
#endif  // FALTRIX_RESAMPLE_KERNEL_BODY
