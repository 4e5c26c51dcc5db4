// What the 8-bit and the deep resizes through libswscale share: the flags of each filter, and
// the widening of narrow pictures. libswscale resizes a picture under 4 pixels wide by the
// nearest pixel across, whatever the filter: a 3-pixel row halved gives two of its pixels
// rather than their averages. Such a picture is resized from a copy with each column
// repeated, which leaves every area average as it was.
#pragma once

extern "C" {
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <cstring>
#include <vector>

#include "faltrix/resample.h"

namespace faltrix {

// libswscale's flags for a filter, rounding exactly and keeping chroma at full resolution.
inline int SwscaleFlags(ResizeFilter filter) {
    const int exact = SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;
    switch (filter) {
    case ResizeFilter::Box: return SWS_AREA | exact;
    case ResizeFilter::Triangle: return SWS_BILINEAR | exact;
    case ResizeFilter::Bicubic: return SWS_BICUBIC | exact;
    default: return SWS_LANCZOS | exact;
    }
}

inline constexpr uint32_t kNarrowestForSwscale = 4;

// How often each column is repeated so that a picture `width` wide is wide enough; 1 when it
// already is.
inline uint32_t ColumnRepeats(uint32_t width) {
    return width >= kNarrowestForSwscale ? 1 : (kNarrowestForSwscale + width - 1) / width;
}

// Rows of `height` pixels of `pixelBytes` bytes, `stride` apart (negative: upwards), with
// each column repeated `repeats` times, packed top to bottom in the order given.
inline std::vector<uint8_t> RepeatColumns(const uint8_t *first, long stride, uint32_t width,
                                          uint32_t height, size_t pixelBytes, uint32_t repeats) {
    const size_t rowBytes = size_t(width) * repeats * pixelBytes;
    std::vector<uint8_t> out(rowBytes * height);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t *in = first + long(y) * stride;
        uint8_t *row = out.data() + size_t(y) * rowBytes;
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t r = 0; r < repeats; ++r)
                std::memcpy(row + (size_t(x) * repeats + r) * pixelBytes, in + x * pixelBytes,
                            pixelBytes);
    }
    return out;
}

}  // namespace faltrix
