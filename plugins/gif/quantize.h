// Reduces a true-colour picture to at most 256 colours for GIF output: our own median cut
// over a 5-5-5 histogram, no dithering. A picture with 256 colours or fewer keeps its exact
// colours. Fed row by row, so the picture is never copied whole.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "faltrix/gdi.h"

namespace faltrix::gif {

class Quantizer {
public:
    Quantizer();
    // Counts one row of B, G, R, A pixels; pixels with alpha below 128 are transparent and
    // not counted.
    void Add(const uint8_t *bgra, int32_t n);
    // Builds a palette of at most maxColours entries (1 to 256).
    void Build(int maxColours);
    // Writes one palette index per pixel; transparent pixels get transparentIndex.
    void Map(const uint8_t *bgra, int32_t n, uint8_t transparentIndex, uint8_t *indices);
    const std::vector<RGBQUAD> &palette() const { return palette_; }
    // How many distinct colours Add counted, 257 for any number over 256.
    int DistinctColours() const { return exactOverflow_ ? 257 : int(exact_.size()); }
    // True when Add met a transparent pixel.
    bool sawTransparent() const { return sawTransparent_; }

private:
    struct Bin {
        uint64_t count = 0, r = 0, g = 0, b = 0;
    };
    std::vector<Bin> bins_;                        // 32768: 5 bits of each channel
    std::unordered_map<uint32_t, uint8_t> exact_;  // distinct colours while there are <= 256
    bool exactOverflow_ = false;
    bool exactMode_ = false;
    bool sawTransparent_ = false;
    std::vector<RGBQUAD> palette_;
    std::vector<int16_t> nearest_;  // per bin, filled on first use
};

}  // namespace faltrix::gif
