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
 * Header-only, no dependencies beyond the C++ standard library.
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

}  // namespace faltrix

#endif /* FALTRIX_DIB_LAYOUT_H */
