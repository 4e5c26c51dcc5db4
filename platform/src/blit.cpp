#include "blit.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace faltrix::gdi {

namespace {

// Which source coordinate each visible destination coordinate of one axis reads.
struct AxisMap {
    int32_t first = 0;            // first destination coordinate written
    std::vector<int32_t> source;  // source coordinate for destination first + k
    bool contiguous = false;      // source[k] == source[0] + k for every k
};

// Maps destination [d, d + dExt) onto source [s, s + sExt) (sides swapped for a negative
// extent), keeping only destination coordinates inside [0, dLimit) whose source lies inside
// [0, sLimit). Destination pixel i (counted from the rectangle's start, or from its end when
// mirrored) reads the source pixel under its centre, floor((i + 1/2) * sl / dl). This picks
// every other pixel at 2:1, repeats each three times at 1:3 and is the identity when the
// extents are equal; a mirrored copy is exactly the unmirrored one turned round. False when
// nothing is left.
bool MapAxis(int64_t d, int64_t dExt, int64_t s, int64_t sExt, int32_t dLimit, int32_t sLimit, AxisMap *out) {
    if (dExt == 0 || sExt == 0) return false;
    const bool mirror = (dExt < 0) != (sExt < 0);
    const int64_t d0 = dExt < 0 ? d + dExt : d;
    const uint64_t dl = static_cast<uint64_t>(dExt < 0 ? -dExt : dExt);
    const int64_t s0 = sExt < 0 ? s + sExt : s;
    const uint64_t sl = static_cast<uint64_t>(sExt < 0 ? -sExt : sExt);

    // (2i + 1) * sl stays below 2^63: i < dl <= 2^31 and sl <= 2^31.
    auto sourceOf = [&](int64_t x) -> int64_t {
        uint64_t i = static_cast<uint64_t>(x - d0);
        if (mirror) i = dl - 1 - i;
        return s0 + static_cast<int64_t>(((2 * i + 1) * sl) / (2 * dl));
    };
    auto inside = [&](int64_t sx) { return sx >= 0 && sx < sLimit; };

    int64_t lo = std::max<int64_t>(d0, 0);
    int64_t hi = std::min<int64_t>(d0 + static_cast<int64_t>(dl), dLimit);
    // The mapping is monotonic, so the coordinates with an inside source form one run.
    while (lo < hi && !inside(sourceOf(lo))) ++lo;
    while (hi > lo && !inside(sourceOf(hi - 1))) --hi;
    if (lo >= hi) return false;

    out->first = static_cast<int32_t>(lo);
    out->source.resize(static_cast<size_t>(hi - lo));
    for (int64_t x = lo; x < hi; ++x) out->source[static_cast<size_t>(x - lo)] = static_cast<int32_t>(sourceOf(x));
    out->contiguous = !mirror && dl == sl;
    return true;
}

// Rows of the source as the copy reads them: the bitmap itself, or a snapshot of its rows
// when source and destination are the same bitmap.
struct RowSource {
    const uint8_t *bits;
    uint32_t stride;
    int32_t height;
    bool topDown;
    int32_t firstRow;  // device row of the snapshot's first row
    const uint8_t *Row(int32_t y) const { return DibRow(bits, stride, height, topDown, y - firstRow); }
};

// Whole rows of equal layout in the same order: one block, which the C library copies faster
// than row by row (for large blocks it bypasses the cache). False when the copy is not that.
bool CopyWholeBlock(const Bitmap &dst, const RowSource &src, const AxisMap &cols, const AxisMap &rows) {
    if (!cols.contiguous || !rows.contiguous || cols.first != 0 || cols.source[0] != 0 ||
        cols.source.size() != static_cast<size_t>(dst.width) || src.stride != dst.stride || src.topDown != dst.topDown) {
        return false;
    }
    const int32_t count = static_cast<int32_t>(rows.source.size());
    const int32_t dLow = dst.topDown ? rows.first : rows.first + count - 1;
    const int32_t sLow = src.topDown ? rows.source.front() : rows.source.back();
    std::memcpy(dst.Row(dLow), src.Row(sLow), static_cast<size_t>(count) * dst.stride);
    return true;
}

void CopySameBytes(const Bitmap &dst, const RowSource &src, const AxisMap &cols, const AxisMap &rows) {
    const size_t bpp = static_cast<size_t>(dst.format.bitCount / 8);
    const size_t n = cols.source.size();
    const size_t len = n * bpp;
    const size_t dOff = static_cast<size_t>(cols.first) * bpp;

    if (cols.contiguous) {
        const size_t sOff = static_cast<size_t>(cols.source[0]) * bpp;
        for (size_t k = 0; k < rows.source.size(); ++k) {
            std::memcpy(dst.Row(rows.first + static_cast<int32_t>(k)) + dOff, src.Row(rows.source[k]) + sOff, len);
        }
        return;
    }

    std::vector<size_t> offsets(n);
    for (size_t i = 0; i < n; ++i) offsets[i] = static_cast<size_t>(cols.source[i]) * bpp;
    const size_t *off = offsets.data();
    const uint8_t *previous = nullptr;
    int32_t previousSource = -1;
    for (size_t k = 0; k < rows.source.size(); ++k) {
        uint8_t *d = dst.Row(rows.first + static_cast<int32_t>(k)) + dOff;
        if (previous != nullptr && rows.source[k] == previousSource) {
            std::memcpy(d, previous, len);  // a row repeated by enlarging: copy the one just made
            continue;
        }
        const uint8_t *s = src.Row(rows.source[k]);
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
        previousSource = rows.source[k];
    }
}

void CopySameIndices(const Bitmap &dst, const RowSource &src, const AxisMap &cols, const AxisMap &rows) {
    const int bits = dst.format.bitCount;
    const size_t n = cols.source.size();
    // An unscaled copy whose both ends start on a byte boundary moves whole bytes; only the
    // pixels of a partial last byte go one by one.
    const int32_t perByte = 8 / bits;
    const bool aligned = cols.contiguous && cols.first % perByte == 0 && cols.source[0] % perByte == 0;
    const size_t wholeBytes = aligned ? n / static_cast<size_t>(perByte) : 0;
    const size_t done = wholeBytes * static_cast<size_t>(perByte);
    for (size_t k = 0; k < rows.source.size(); ++k) {
        uint8_t *d = dst.Row(rows.first + static_cast<int32_t>(k));
        const uint8_t *s = src.Row(rows.source[k]);
        if (wholeBytes > 0) std::memcpy(d + cols.first / perByte, s + cols.source[0] / perByte, wholeBytes);
        for (size_t i = done; i < n; ++i) {
            WriteIndex(d, cols.first + static_cast<int32_t>(i), bits, ReadIndex(s, cols.source[i], bits));
        }
    }
}

void CopyConverting(const Bitmap &dst, const RowSource &src, const ColourReader &reader, const AxisMap &cols,
                    const AxisMap &rows) {
    ColourWriter writer(dst.format);
    std::vector<uint32_t> colours(cols.source.size());
    int32_t previousSource = -1;
    for (size_t k = 0; k < rows.source.size(); ++k) {
        if (rows.source[k] != previousSource) {
            reader.Gather(src.Row(rows.source[k]), cols.source.data(), colours.size(), colours.data());
            previousSource = rows.source[k];
        }
        writer.Scatter(dst.Row(rows.first + static_cast<int32_t>(k)), cols.first, colours.data(), colours.size());
    }
}

}  // namespace

bool StretchPixels(const Bitmap &dst, int xd, int yd, int wd, int hd, const Bitmap &src, int xs, int ys, int ws,
                   int hs) {
    AxisMap cols, rows;
    if (!MapAxis(xd, wd, xs, ws, dst.width, src.width, &cols)) return false;
    if (!MapAxis(yd, hd, ys, hs, dst.height, src.height, &rows)) return false;

    RowSource source{src.bits, src.stride, src.height, src.topDown, 0};
    std::vector<uint8_t> snapshot;
    if (&src == &dst) {
        // Copying within one bitmap: read from a copy of the rows involved so that no pixel is
        // read after it was overwritten.
        const auto [lo, hi] = std::minmax_element(rows.source.begin(), rows.source.end());
        const int32_t count = *hi - *lo + 1;
        snapshot.resize(static_cast<size_t>(count) * src.stride);
        for (int32_t y = 0; y < count; ++y) {
            std::memcpy(snapshot.data() + static_cast<size_t>(y) * src.stride, src.Row(*lo + y), src.stride);
        }
        source = RowSource{snapshot.data(), src.stride, count, true, *lo};
    }

    if (dst.format.SameLayout(src.format)) {
        if (CopyWholeBlock(dst, source, cols, rows)) return true;
        if (dst.format.bitCount >= 8) {
            CopySameBytes(dst, source, cols, rows);
        } else {
            CopySameIndices(dst, source, cols, rows);
        }
    } else {
        CopyConverting(dst, source, *src.reader, cols, rows);
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
            for (int32_t x = left; x < right; ++x) WriteIndex(row, x, dst.format.bitCount, ReadIndex(first, x, dst.format.bitCount));
        }
    }
    return true;
}

}  // namespace faltrix::gdi
