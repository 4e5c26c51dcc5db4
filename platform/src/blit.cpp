#include "blit.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace faltrix::gdi {

namespace {

// Which source coordinate each visible destination coordinate of one axis reads.
//
// Destination [d, d + dExt) maps onto source [s, s + sExt) (sides swapped for a negative
// extent). Destination pixel i, counted from the rectangle's start (from its end when exactly
// one extent is negative, which mirrors), reads the source pixel under its centre,
// floor((i + 1/2) * sl / dl). This picks every other pixel at 2:1, repeats each three times
// at 1:3 and is the identity when the extents are equal; a mirrored copy is exactly the
// unmirrored one turned round. Only destination coordinates inside [0, dLimit) whose source
// lies inside [0, sLimit) are visible; they form one run, as the mapping is monotonic.
class AxisMap {
public:
    // False when no coordinate is visible.
    bool Init(int64_t d, int64_t dExt, int64_t s, int64_t sExt, int32_t dLimit, int32_t sLimit) {
        if (dExt == 0 || sExt == 0) return false;
        mirror_ = (dExt < 0) != (sExt < 0);
        d0_ = dExt < 0 ? d + dExt : d;
        dl_ = static_cast<uint64_t>(dExt < 0 ? -dExt : dExt);
        s0_ = sExt < 0 ? s + sExt : s;
        sl_ = static_cast<uint64_t>(sExt < 0 ? -sExt : sExt);

        int64_t lo = std::max<int64_t>(d0_, 0);
        int64_t hi = std::min<int64_t>(d0_ + static_cast<int64_t>(dl_), dLimit);
        if (lo >= hi) return false;
        // Sources run up (or down, mirrored) with x: those before the source's first pixel
        // come at one end of [lo, hi), those past its last at the other. Find both by bisection.
        auto before = [&](int64_t x) { return SourceAt(x) < 0; };
        auto past = [&](int64_t x) { return SourceAt(x) >= sLimit; };
        if (!mirror_) {
            lo = PartitionPoint(lo, hi, before);
            hi = PartitionPoint(lo, hi, [&](int64_t x) { return !past(x); });
        } else {
            lo = PartitionPoint(lo, hi, past);
            hi = PartitionPoint(lo, hi, [&](int64_t x) { return !before(x); });
        }
        if (lo >= hi) return false;
        first_ = static_cast<int32_t>(lo);
        count_ = static_cast<int32_t>(hi - lo);
        return true;
    }

    int32_t first() const { return first_; }
    int32_t count() const { return count_; }
    // Every visible coordinate reads the source coordinate just after the previous one's.
    bool contiguous() const { return !mirror_ && dl_ == sl_; }
    int32_t SourceOf(int32_t k) const {
        return static_cast<int32_t>(SourceAt(int64_t{first_} + k));
    }
    // out[j] = SourceOf(k0 + j) for j < n.
    void Fill(int32_t k0, int32_t n, int32_t *out) const {
        for (int32_t j = 0; j < n; ++j) out[j] = SourceOf(k0 + j);
    }

private:
    // (2i + 1) * sl stays below 2^63: i < dl <= 2^31 and sl <= 2^31.
    int64_t SourceAt(int64_t x) const {
        uint64_t i = static_cast<uint64_t>(x - d0_);
        if (mirror_) i = dl_ - 1 - i;
        return s0_ + static_cast<int64_t>(((2 * i + 1) * sl_) / (2 * dl_));
    }
    // The first x in [lo, hi) for which pred is false, pred being true on a prefix.
    template <typename Pred>
    static int64_t PartitionPoint(int64_t lo, int64_t hi, Pred pred) {
        while (lo < hi) {
            const int64_t mid = lo + (hi - lo) / 2;
            if (pred(mid)) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }

    bool mirror_ = false;
    int64_t d0_ = 0, s0_ = 0;
    uint64_t dl_ = 1, sl_ = 1;
    int32_t first_ = 0, count_ = 0;
};

// Rows of the source as the copy reads them: the bitmap itself, or a snapshot of its rows
// when source and destination are the same bitmap.
struct RowSource {
    const uint8_t *bits;
    uint32_t stride;
    int32_t height;
    bool topDown;
    int32_t firstRow;  // device row of the snapshot's first row
    const uint8_t *Row(int32_t y) const {
        return DibRow(bits, stride, height, topDown, y - firstRow);
    }
};

// A run of destination columns and the source column each reads.
struct Columns {
    int32_t first;       // destination x of the first
    const int32_t *src;  // source x of each
    size_t n;
    bool contiguous;  // src[i] == src[0] + i
};

// Whole rows of equal layout in the same order: one block, which the C library copies faster
// than row by row (for large blocks it bypasses the cache). False when the copy is not that.
bool CopyWholeBlock(const Bitmap &dst, const RowSource &src, const AxisMap &cols,
                    const AxisMap &rows) {
    if (!cols.contiguous() || !rows.contiguous() || cols.first() != 0 || cols.SourceOf(0) != 0 ||
        cols.count() != dst.width || src.stride != dst.stride || src.topDown != dst.topDown) {
        return false;
    }
    const int32_t count = rows.count();
    const int32_t dLow = dst.topDown ? rows.first() : rows.first() + count - 1;
    const int32_t sLow = src.topDown ? rows.SourceOf(0) : rows.SourceOf(count - 1);
    std::memcpy(dst.Row(dLow), src.Row(sLow), static_cast<size_t>(count) * dst.stride);
    return true;
}

void CopySameBytes(const Bitmap &dst, const RowSource &src, const AxisMap &rows,
                   const Columns &cols) {
    const size_t bpp = static_cast<size_t>(dst.format.bitCount / 8);
    const size_t n = cols.n;
    const size_t len = n * bpp;
    const size_t dOff = static_cast<size_t>(cols.first) * bpp;

    if (cols.contiguous) {
        const size_t sOff = static_cast<size_t>(cols.src[0]) * bpp;
        for (int32_t k = 0; k < rows.count(); ++k) {
            std::memcpy(dst.Row(rows.first() + k) + dOff, src.Row(rows.SourceOf(k)) + sOff, len);
        }
        return;
    }

    std::vector<size_t> offsets(n);
    for (size_t i = 0; i < n; ++i) offsets[i] = static_cast<size_t>(cols.src[i]) * bpp;
    const size_t *off = offsets.data();
    const uint8_t *previous = nullptr;
    int32_t previousSource = -1;
    for (int32_t k = 0; k < rows.count(); ++k) {
        uint8_t *d = dst.Row(rows.first() + k) + dOff;
        const int32_t sy = rows.SourceOf(k);
        if (previous != nullptr && sy == previousSource) {
            std::memcpy(d, previous, len);  // a row repeated by enlarging: copy the one just made
            continue;
        }
        const uint8_t *s = src.Row(sy);
        switch (bpp) {
        case 1:
            for (size_t i = 0; i < n; ++i) d[i] = s[off[i]];
            break;
        case 2:
            for (size_t i = 0; i < n; ++i) std::memcpy(d + 2 * i, s + off[i], 2);
            break;
        case 3:
            for (size_t i = 0; i < n; ++i) {
                const uint8_t *p = s + off[i];
                uint8_t *q = d + 3 * i;
                q[0] = p[0];
                q[1] = p[1];
                q[2] = p[2];
            }
            break;
        default:
            for (size_t i = 0; i < n; ++i) std::memcpy(d + 4 * i, s + off[i], 4);
            break;
        }
        previous = d;
        previousSource = sy;
    }
}

void CopySameIndices(const Bitmap &dst, const RowSource &src, const AxisMap &rows,
                     const Columns &cols) {
    const int bits = dst.format.bitCount;
    // An unscaled copy whose both ends start on a byte boundary moves whole bytes; only the
    // pixels of a partial last byte go one by one.
    const int32_t perByte = 8 / bits;
    const bool aligned = cols.contiguous && cols.first % perByte == 0 && cols.src[0] % perByte == 0;
    const size_t wholeBytes = aligned ? cols.n / static_cast<size_t>(perByte) : 0;
    const size_t done = wholeBytes * static_cast<size_t>(perByte);
    for (int32_t k = 0; k < rows.count(); ++k) {
        uint8_t *d = dst.Row(rows.first() + k);
        const uint8_t *s = src.Row(rows.SourceOf(k));
        if (wholeBytes > 0)
            std::memcpy(d + cols.first / perByte, s + cols.src[0] / perByte, wholeBytes);
        for (size_t i = done; i < cols.n; ++i) {
            WriteDibIndex(d, cols.first + static_cast<int32_t>(i), bits,
                          ReadDibIndex(s, cols.src[i], bits));
        }
    }
}

void CopyConverting(const Bitmap &dst, const RowSource &src, const ColourReader &reader,
                    ColourWriter &writer, const AxisMap &rows, const Columns &cols,
                    std::vector<uint32_t> &colours) {
    colours.resize(cols.n);
    int32_t previousSource = -1;
    for (int32_t k = 0; k < rows.count(); ++k) {
        const int32_t sy = rows.SourceOf(k);
        if (sy != previousSource) {
            reader.Gather(src.Row(sy), cols.src, cols.n, colours.data());
            previousSource = sy;
        }
        writer.Scatter(dst.Row(rows.first() + k), cols.first, colours.data(), cols.n);
    }
}

// Columns go in strips of at most this many, so that the per-column tables stay small
// whatever the width.
constexpr int32_t kStrip = 1 << 16;

}  // namespace

bool StretchPixels(const Bitmap &dst, int xd, int yd, int wd, int hd, const Bitmap &src, int xs,
                   int ys, int ws, int hs) {
    AxisMap cols, rows;
    if (!cols.Init(xd, wd, xs, ws, dst.width, src.width)) return false;
    if (!rows.Init(yd, hd, ys, hs, dst.height, src.height)) return false;

    RowSource source{src.bits, src.stride, src.height, src.topDown, 0};
    std::vector<uint8_t> snapshot;
    if (&src == &dst) {
        // Copying within one bitmap: read from a copy of the rows involved so that no pixel is
        // read after it was overwritten.
        const int32_t a = rows.SourceOf(0), b = rows.SourceOf(rows.count() - 1);
        const int32_t lo = std::min(a, b);
        const int32_t count = std::max(a, b) - lo + 1;
        snapshot.resize(static_cast<size_t>(count) * src.stride);
        for (int32_t y = 0; y < count; ++y) {
            std::memcpy(snapshot.data() + static_cast<size_t>(y) * src.stride, src.Row(lo + y),
                        src.stride);
        }
        source = RowSource{snapshot.data(), src.stride, count, true, lo};
    }

    const bool same = dst.format.SameLayout(src.format);
    if (same && CopyWholeBlock(dst, source, cols, rows)) return true;

    std::vector<int32_t> table(static_cast<size_t>(std::min(cols.count(), kStrip)));
    std::vector<uint32_t> colours;
    ColourWriter writer(dst.format);
    for (int32_t k0 = 0; k0 < cols.count(); k0 += kStrip) {
        const int32_t n = std::min(kStrip, cols.count() - k0);
        cols.Fill(k0, n, table.data());
        const Columns strip{cols.first() + k0, table.data(), static_cast<size_t>(n),
                            cols.contiguous()};
        if (!same) {
            CopyConverting(dst, source, *src.reader, writer, rows, strip, colours);
        } else if (dst.format.bitCount >= 8) {
            CopySameBytes(dst, source, rows, strip);
        } else {
            CopySameIndices(dst, source, rows, strip);
        }
    }
    return true;
}

bool FillPixels(const Bitmap &dst, const RECT &rect, uint32_t colour) {
    const int32_t left = std::max<int32_t>(rect.left, 0);
    const int32_t right = std::min<int32_t>(rect.right, dst.width);
    const int32_t top = std::max<int32_t>(rect.top, 0);
    const int32_t bottom = std::min<int32_t>(rect.bottom, dst.height);
    if (left >= right || top >= bottom) return false;

    ColourWriter writer(dst.format);
    uint8_t *first = dst.Row(top);
    for (int32_t x = left; x < right; ++x) writer.Put(first, x, colour);
    if (dst.format.bitCount >= 8) {
        const size_t bpp = static_cast<size_t>(dst.format.bitCount / 8);
        const size_t off = static_cast<size_t>(left) * bpp;
        const size_t len = static_cast<size_t>(right - left) * bpp;
        for (int32_t y = top + 1; y < bottom; ++y) std::memcpy(dst.Row(y) + off, first + off, len);
    } else {
        for (int32_t y = top + 1; y < bottom; ++y) {
            uint8_t *row = dst.Row(y);
            for (int32_t x = left; x < right; ++x)
                WriteDibIndex(row, x, dst.format.bitCount,
                              ReadDibIndex(first, x, dst.format.bitCount));
        }
    }
    return true;
}

}  // namespace faltrix::gdi
