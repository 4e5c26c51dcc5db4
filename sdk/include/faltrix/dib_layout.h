/*
 * faltrix/dib_layout.h -- the memory layout of a DIB, for C++ code that walks pixel rows.
 *
 * Shared by the graphics layer, the codecs and the resampler, so that every part pads rows
 * and orders them the same way:
 *
 *   - each row takes ((width * bitCount + 31) / 32) * 4 bytes: whole 32-bit words;
 *   - a positive biHeight stores the bottom row first (bottom-up), a negative one the top row
 *     first (top-down). Row y below always counts from the top of the picture, as device
 *     coordinates do, whatever the order in memory.
 *
 * It also holds the few pixel helpers that every part needs alike: packed palette indices,
 * channels under bit-field masks, and the swap between B, G, R and R, G, B order.
 *
 * Header-only, C++17 or later, no dependencies beyond the C++ standard library.
 */
#ifndef FALTRIX_DIB_LAYOUT_H
#define FALTRIX_DIB_LAYOUT_H

#ifndef __cplusplus
#error "faltrix/dib_layout.h is a C++ header"
#endif

#include <cstddef>
#include <cstdint>

namespace faltrix {

// Bytes from one row of a DIB to the next: `width` pixels of `bitCount` bits, padded to a
// multiple of 4. Returns 0 for a width <= 0, a bit count outside 1..32, or a row of more than
// INT32_MAX bytes (the most that BITMAP::bmWidthBytes can hold): callers treat 0 as "too
// large" and allocate nothing.
constexpr uint32_t DibStride(int64_t width, int bitCount) noexcept {
    if (width <= 0 || bitCount <= 0 || bitCount > 32) return 0;
    // width * bitCount cannot overflow: width is below 2^63 / 32 after this check.
    if (width > (int64_t{INT32_MAX} * 8) / bitCount) return 0;
    const uint64_t bits = static_cast<uint64_t>(width) * static_cast<uint64_t>(bitCount);
    const uint64_t bytes = ((bits + 31) / 32) * 4;
    return bytes > static_cast<uint64_t>(INT32_MAX) ? 0 : static_cast<uint32_t>(bytes);
}

// Bytes of pixel memory of `rows` rows (a biHeight of either sign) of `stride` bytes each.
// Cannot overflow: a stride below 2^32 times at most 2^31 rows stays below 2^63.
constexpr uint64_t DibImageBytes(uint32_t stride, int64_t rows) noexcept {
    const uint64_t magnitude =
        rows < 0 ? static_cast<uint64_t>(-(rows + 1)) + 1 : static_cast<uint64_t>(rows);
    return magnitude > (uint64_t{1} << 31) ? 0 : static_cast<uint64_t>(stride) * magnitude;
}

// Row y of a picture counted from the top (0 <= y < height), given the first byte of its pixel
// memory, its stride, its height in rows (the magnitude, > 0) and whether its rows are stored
// top-down (negative biHeight). y is not checked: the caller keeps it in range.
inline uint8_t *DibRow(uint8_t *bits, uint32_t stride, int32_t height, bool topDown,
                       int32_t y) noexcept {
    const size_t row = static_cast<size_t>(topDown ? y : height - 1 - y);
    return bits + row * stride;
}

inline const uint8_t *DibRow(const uint8_t *bits, uint32_t stride, int32_t height, bool topDown,
                             int32_t y) noexcept {
    const size_t row = static_cast<size_t>(topDown ? y : height - 1 - y);
    return bits + row * stride;
}

// ---- Packed palette indices --------------------------------------------------------------
// Rows of 1, 2 and 4 bits a pixel hold the first pixel of each byte in its high bits. Any
// other bit count is read and written as 8. x is not checked.

constexpr uint32_t ReadDibIndex(const uint8_t *row, size_t x, int bitCount) noexcept {
    switch (bitCount) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 0x01u;
    case 2: return (row[x >> 2] >> (6 - 2 * (x & 3))) & 0x03u;
    case 4: return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0Fu;
    default: return row[x];
    }
}

// Sets pixel x to `index` (cut to the bit count), leaving the other pixels of its byte alone.
constexpr void WriteDibIndex(uint8_t *row, size_t x, int bitCount, uint32_t index) noexcept {
    unsigned shift = 0, mask = 0xFF;
    switch (bitCount) {
    case 1: shift = 7 - (x & 7), mask = 0x01, x >>= 3; break;
    case 2: shift = 6 - 2 * (x & 3), mask = 0x03, x >>= 2; break;
    case 4: shift = (x & 1) ? 0 : 4, mask = 0x0F, x >>= 1; break;
    default: break;
    }
    row[x] = static_cast<uint8_t>((row[x] & ~(mask << shift)) | ((index & mask) << shift));
}

// ---- Channels under bit-field masks -------------------------------------------------------

// True for a mask that is one run of set bits (or none at all).
constexpr bool OneRunOfBits(uint32_t mask) noexcept {
    if (mask == 0) return true;
    const uint32_t run = mask / (mask & (~mask + 1));  // shifted down past its lowest set bit
    return (run & (run + 1)) == 0;
}

// The number of clear bits below the lowest set bit of a non-zero mask (0 for no mask).
constexpr int LowestSetBit(uint32_t mask) noexcept {
    int shift = 0;
    while (mask != 0 && (mask & 1) == 0) mask >>= 1, ++shift;
    return shift;
}

// A field value 0..max scaled to 0..255, rounded to the nearest: the one rule for every field
// width, exact for 8-bit fields (v stays v) and the same for 5 bits as for 16. A max of 0 (no
// field) gives 0.
constexpr uint8_t FieldToByte(uint32_t value, uint32_t max) noexcept {
    if (max == 0) return 0;
    return static_cast<uint8_t>((uint64_t{value} * 255 + max / 2) / max);
}

// One channel of a 16- or 32-bit pixel under a mask of one run of bits, scaled to 0..255.
struct MaskedChannel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;  // mask >> shift: the largest field value

    constexpr explicit MaskedChannel(uint32_t m = 0) noexcept
        : mask(m), shift(LowestSetBit(m)), max(m >> LowestSetBit(m)) {}
    constexpr uint32_t Field(uint32_t pixel) const noexcept { return (pixel & mask) >> shift; }
    constexpr uint8_t operator()(uint32_t pixel) const noexcept {
        const uint32_t v = Field(pixel);
        return max == 255 ? static_cast<uint8_t>(v) : FieldToByte(v, max);
    }
};

// ---- B, G, R and R, G, B ------------------------------------------------------------------
// A DIB holds B, G, R (and A); most codecs want R, G, B (and A). The swap is the same both
// ways. Pixels are kFrom bytes in and kTo bytes out, each 3 or 4: alpha is copied from 4 to 4,
// dropped from 4 to 3 and made 255 from 3 to 4. Each pixel is read before it is written, so
// `to` may be `from` when kTo <= kFrom (the rows shrink or stay in place).

template <int kFrom, int kTo>
inline void SwapRedBlue(const uint8_t *from, uint8_t *to, size_t pixels) noexcept {
    static_assert((kFrom == 3 || kFrom == 4) && (kTo == 3 || kTo == 4));
    for (size_t x = 0; x < pixels; ++x, from += kFrom, to += kTo) {
        const uint8_t c0 = from[0], c1 = from[1], c2 = from[2];
        uint8_t alpha = 255;
        if constexpr (kFrom == 4) alpha = from[3];
        to[0] = c2;
        to[1] = c1;
        to[2] = c0;
        if constexpr (kTo == 4) to[3] = alpha;
    }
}

// The same with byte counts known only at run time.
inline void SwapRedBlue(const uint8_t *from, int fromBytes, uint8_t *to, int toBytes,
                        size_t pixels) noexcept {
    if (fromBytes == 4) {
        if (toBytes == 4) SwapRedBlue<4, 4>(from, to, pixels);
        else SwapRedBlue<4, 3>(from, to, pixels);
    } else {
        if (toBytes == 4) SwapRedBlue<3, 4>(from, to, pixels);
        else SwapRedBlue<3, 3>(from, to, pixels);
    }
}

}  // namespace faltrix

#endif /* FALTRIX_DIB_LAYOUT_H */
