// The "anti-alias" resampler: every destination pixel is the weighted mean of the source
// pixels under it.
//
// The result is defined to the byte by a fixed sequence of double-precision operations per
// destination pixel (see AccumulateRow in resample_kernel.h), so these files are compiled
// with -ffp-contract=off: a fused multiply-add rounds once where the definition rounds twice
// and changes bytes. For the same reason the work cannot be split into a horizontal and a vertical
// pass, nor the weights be multiplied together first: (byte * wy) * wx is not byte * (wy * wx).
//
// What may be moved out of the pixel loop without changing a single operation: the source
// span and the weights of a destination column depend on the column alone, those of a row
// on the row alone, so they are computed once per column and once per row. Two further
// facts are used, both exact in IEEE arithmetic:
//   - A term whose column or row weight is exactly 0 adds +0 or -0 to the sums. The sums
//     start at +0 and can never become -0 (a sum is -0 only when both addends are), and
//     s + 0 == s for every other s, so such terms are left out.
//   - The three channel sums and the weight sum travel as the four lanes of one vector; the
//     weight lane carries 1.0 where the channels carry their byte, and (1.0 * wy) * wx is
//     wy * wx exactly. Each lane performs exactly the operations of its own sum.
#include "faltrix/resample.h"

#include "resample_kernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace faltrix {
namespace {

using resample_detail::ColumnTable;
using resample_detail::ResampleRowPieceAvx2;
using resample_detail::ResampleRowPieceFn;
using resample_detail::ResampleRowPieceGeneric;
using resample_detail::Source;
using resample_detail::Terms;

ResampleRowPieceFn BestKernel() {
    return resample_detail::HaveAvx2Kernel() ? ResampleRowPieceAvx2 : ResampleRowPieceGeneric;
}
std::atomic<ResampleRowPieceFn> g_kernel{BestKernel()};

// Sources of 2^20 columns or rows and more are refused: the fixed-point positions (a step
// with 12 fraction bits times a destination index) stay exact only below that.
constexpr int32_t kMaxSourceSide = (1 << 20) - 1;

// Destination columns whose spans are kept at once. A result wider than this has its
// column table recomputed per row in pieces, so the table never outgrows a few megabytes
// however wide the result is.
constexpr uint32_t kColumnChunk = 1u << 16;

// The source span of destination index d along one axis: first = (step * d) >> 12 and
// last = (step * (d + 1)) >> 12, both inclusive, in unsigned 32-bit arithmetic.
struct Span {
    uint32_t first;
    uint32_t last;
};

inline Span SpanOf(uint32_t step, uint32_t d) {
    return Span{(step * d) >> 12, (step * (d + 1)) >> 12};
}

// The weight of source index n in the span of destination index d, by the first rule that
// applies:
//   n == first: (n + 1) * scale - T, with T = n * scale truncated to an integer. T is where
//               source pixel n starts in destination units, truncated; it equals d only when
//               the pixel starts exactly at d, so a first pixel that begins left of d weighs
//               more than its overlap with d. The weights of a span therefore need not add up
//               to 1; the division by the weight sum makes the result a mean all the same.
//   n == last:  (d + 1) - n * scale, the part of pixel n before d + 1 (can be 0, or a hair
//               below 0 when n * scale rounds up past d + 1).
//   otherwise:  scale, the whole width of pixel n.
inline double WeightOf(uint32_t n, const Span &span, uint32_t d, double scale) {
    if (n == span.first) {
        const double start =
            static_cast<double>(static_cast<int32_t>(static_cast<double>(n) * scale));
        return static_cast<double>(n + 1) * scale - start;
    }
    if (n == span.last) return static_cast<double>(d + 1) - static_cast<double>(n) * scale;
    return scale;
}

// The terms of destination index d that contribute: source indices below the source's
// extent, with a weight other than 0, in ascending order. They are consecutive: the first
// index of a span always lies inside and weighs more than 0, the middle ones weigh `scale`,
// and only the last one can drop out. Appends their weights to `weights`.
Terms CollectTerms(uint32_t step, uint32_t d, double scale, uint32_t extent,
                   std::vector<double> *weights) {
    const Span span = SpanOf(step, d);
    uint32_t count = 0;
    for (uint32_t n = span.first; n <= span.last && n < extent; ++n) {
        const double w = WeightOf(n, span, d, scale);
        if (n == span.last && n != span.first && w == 0.0) break;
        weights->push_back(w);
        ++count;
    }
    return Terms{span.first, count};
}

// A size derived from a scale factor: trunc(extent * scale), or 0 when that is not a usable
// size (not finite, below 1, beyond what a header can hold).
uint32_t ScaledExtent(int32_t extent, double scale) {
    const double size = static_cast<double>(extent) * scale;
    if (!(size >= 1.0) || size >= 2147483648.0) return 0;
    return static_cast<uint32_t>(size);
}

// A resolution scaled with the picture, truncated; saturated where it leaves 32 bits.
LONG ScaledResolution(LONG resolution, double scale) {
    const double value = static_cast<double>(resolution) * scale;
    if (value >= 2147483647.0) return std::numeric_limits<LONG>::max();
    if (value <= -2147483648.0) return std::numeric_limits<LONG>::min();
    return static_cast<LONG>(value);
}

// The terms of a run of destination columns, made once for the whole row (or, for results
// wider than kColumnChunk, once per piece of each row).
//
// When the columns' term counts differ only a little (as when shrinking by a factor that is
// not a whole number: 5 or 6 terms), every column is padded to the largest count with terms
// of weight 0 on the column's first pixel. Such a term adds +0 or -0 and changes no sum (see
// the top of this file), while a fixed count per column lets the processor predict the inner
// loop's end instead of missing it at every other pixel.
class ColumnTerms {
public:
    void Build(uint32_t step, double scale, uint32_t extent, uint32_t begin, uint32_t end) {
        const uint32_t n = end - begin;
        start_.resize(n);
        count_.resize(n);
        offset_.clear();
        weight_.clear();
        uint32_t most = 0;
        for (uint32_t x = begin; x < end; ++x) {
            start_[x - begin] = static_cast<uint32_t>(weight_.size());
            const Terms t = CollectTerms(step, x, scale, extent, &weight_);
            for (uint32_t k = 0; k < t.count; ++k) offset_.push_back(3 * (t.first + k));
            count_[x - begin] = t.count;
            most = std::max(most, t.count);
        }
        const size_t terms = weight_.size();
        if (static_cast<size_t>(most) * n > terms + terms / 8) return;  // padding would cost more
        paddedOffset_.resize(static_cast<size_t>(most) * n);
        paddedWeight_.resize(static_cast<size_t>(most) * n);
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t from = start_[i], to = i * most;
            for (uint32_t k = 0; k < most; ++k) {
                const bool real = k < count_[i];
                paddedOffset_[to + k] = offset_[real ? from + k : from];
                paddedWeight_[to + k] = real ? weight_[from + k] : 0.0;
            }
            start_[i] = to;
            count_[i] = most;
        }
        offset_.swap(paddedOffset_);
        weight_.swap(paddedWeight_);
    }

    ColumnTable Table() const {
        return ColumnTable{start_.data(), count_.data(), offset_.data(), weight_.data()};
    }

private:
    std::vector<uint32_t> start_, count_, offset_, paddedOffset_;
    std::vector<double> weight_, paddedWeight_;
};

// The whole resampling once the destination exists. Returns false when the term tables
// cannot be had (no memory); the destination is then to be discarded.
bool Resample(const Source &src, uint8_t *dst, size_t dstStride, uint32_t W, uint32_t H, double sx,
              double sy, ProgressCallbackFn progress) {
    const ResampleRowPieceFn kernel = g_kernel.load(std::memory_order_relaxed);
    const auto columnStep = static_cast<uint32_t>((1.0 / sx) * 4096.0);
    const auto rowStep = static_cast<uint32_t>((1.0 / sy) * 4096.0);
    const uint32_t chunk = std::min(W, kColumnChunk);
    const uint32_t total = W * H;  // unsigned 32-bit, as the progress report has it

    try {
        ColumnTerms columns;
        std::vector<double> rowWeights;
        if (chunk == W) columns.Build(columnStep, sx, src.width, 0, W);
        for (uint32_t y = 0; y < H; ++y) {
            rowWeights.clear();
            const Terms rows = CollectTerms(rowStep, y, sy, src.height, &rowWeights);
            uint8_t *dstRow = dst + y * dstStride;
            for (uint32_t begin = 0; begin < W; begin += chunk) {
                const uint32_t end = std::min(W, begin + chunk);
                if (chunk != W) columns.Build(columnStep, sx, src.width, begin, end);
                kernel(src, dstRow, begin, end, columns.Table(), rows, rowWeights.data(), W * y,
                       total, progress);
            }
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

}  // namespace

void resample_detail::UseGenericKernel(bool generic) {
    g_kernel.store(generic ? ResampleRowPieceGeneric : BestKernel(), std::memory_order_relaxed);
}

HBITMAP AreaAverageResize(HBITMAP source, double sx, double sy, ProgressCallbackFn progress) {
    if (progress == nullptr) progress = [](int32_t, int32_t, int32_t) -> int32_t { return 1; };
    progress(0, 1, 0);

    DIBSECTION ds{};
    if (source == nullptr || GetObjectW(source, sizeof ds, &ds) != static_cast<int>(sizeof ds))
        return nullptr;
    if (ds.dsBm.bmBitsPixel != 24 || ds.dsBm.bmBits == nullptr) return nullptr;
    const int32_t srcW = ds.dsBm.bmWidth;
    const int32_t srcH = ds.dsBm.bmHeight;
    if (srcW <= 0 || srcH <= 0 || srcW > kMaxSourceSide || srcH > kMaxSourceSide) return nullptr;
    if (ds.dsBm.bmWidthBytes < 3 * srcW) return nullptr;
    if (!(sx > 0.0) || !(sy > 0.0) || !std::isfinite(sx) || !std::isfinite(sy)) return nullptr;

    // An empty result is refused rather than made: the callers then fall back to the
    // stretching blit. A 49-pixel row asked for 1 pixel gives 49 * (1 / 49) =
    // 0.9999999999999999, which is 0 pixels.
    const uint32_t W = ScaledExtent(srcW, sx);
    const uint32_t H = ScaledExtent(srcH, sy);
    if (W == 0 || H == 0) return nullptr;
    const uint64_t stride = (3 * static_cast<uint64_t>(W) + 3) & ~uint64_t{3};
    const uint64_t image = stride * H;
    if (image > std::numeric_limits<DWORD>::max()) return nullptr;

    BITMAPINFO info{};
    BITMAPINFOHEADER &h = info.bmiHeader;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = static_cast<LONG>(W);
    // Rows are paired in memory order (the first source rows in memory feed the first
    // destination row in memory), so the destination takes the source's row order: a
    // top-down source gives a top-down result and the picture stays upright, where a
    // bottom-up header over rows in top-down order would turn it upside down.
    h.biHeight = ds.dsBmih.biHeight < 0 ? -static_cast<LONG>(H) : static_cast<LONG>(H);
    h.biPlanes = 1;
    h.biBitCount = 24;
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(image);
    h.biXPelsPerMeter = ScaledResolution(ds.dsBmih.biXPelsPerMeter, sx);
    h.biYPelsPerMeter = ScaledResolution(ds.dsBmih.biYPelsPerMeter, sy);
    h.biClrUsed = 0;
    h.biClrImportant = 0;

    void *bits = nullptr;
    HBITMAP result = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (result == nullptr) return nullptr;
    if (bits == nullptr) {
        DeleteObject(result);
        return nullptr;
    }

    const Source src{static_cast<const uint8_t *>(ds.dsBm.bmBits),
                     static_cast<size_t>(ds.dsBm.bmWidthBytes), static_cast<uint32_t>(srcW),
                     static_cast<uint32_t>(srcH), ds.dsBm.bmWidthBytes == 3 * srcW};
    if (!Resample(src, static_cast<uint8_t *>(bits), static_cast<size_t>(stride), W, H, sx, sy,
                  progress)) {
        DeleteObject(result);
        return nullptr;
    }
    progress(1, 1, 0);
    return result;
}

}  // namespace faltrix
