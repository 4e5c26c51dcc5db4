// Row filtering: every filter is one loop over the row without a branch on the data, reading
// only unfiltered bytes, so that the compiler turns each into vector code; the five costs are
// five such passes and the chosen filter one more, all over two rows that stay in cache.
#include "png_filter.h"

#include <algorithm>

namespace faltrix::png {
namespace {

// What each filter predicts for byte i from its left (a), upper (b) and upper-left (c)
// neighbours, as PNG defines them.
// Byte arithmetic where it suffices (the average without a carry out of 8 bits), 16 bits for
// Paeth's distances: the narrower the lanes, the more bytes per vector instruction.
struct None {
    static uint8_t Predict(uint8_t, uint8_t, uint8_t) { return 0; }
};
struct Sub {
    static uint8_t Predict(uint8_t a, uint8_t, uint8_t) { return a; }
};
struct Up {
    static uint8_t Predict(uint8_t, uint8_t b, uint8_t) { return b; }
};
struct Average {
    static uint8_t Predict(uint8_t a, uint8_t b, uint8_t) {
        return uint8_t((a & b) + ((a ^ b) >> 1));
    }
};
struct Paeth {
    static uint8_t Predict(uint8_t a, uint8_t b, uint8_t c) {
        const int16_t pb0 = int16_t(a - c), pa0 = int16_t(b - c);
        const int16_t pa = pa0 < 0 ? int16_t(-pa0) : pa0, pb = pb0 < 0 ? int16_t(-pb0) : pb0;
        const int16_t pc0 = int16_t(pa0 + pb0), pc = pc0 < 0 ? int16_t(-pc0) : pc0;
        return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    }
};

// The sum of the filtered bytes read as signed: 0x01 and 0xFF both cost 1, the smaller of d
// and -d as bytes. At most 128 per byte, so a row's sum stays far below 2^32.
template <class F>
uint32_t Cost(const uint8_t *__restrict row, const uint8_t *__restrict prior, size_t n,
              size_t bpp) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t d = uint8_t(row[i] - F::Predict(row[i - bpp], prior[i], prior[i - bpp]));
        const uint8_t negated = uint8_t(-d);
        sum += d < negated ? d : negated;
    }
    return sum;
}

template <class F>
void Apply(const uint8_t *__restrict row, const uint8_t *__restrict prior, size_t n, size_t bpp,
           uint8_t *__restrict out) {
    for (size_t i = 0; i < n; ++i)
        out[i] = uint8_t(row[i] - F::Predict(row[i - bpp], prior[i], prior[i - bpp]));
}

}  // namespace

void FilterRow(const uint8_t *row, const uint8_t *prior, size_t n, size_t bpp, uint8_t *out) {
    const uint32_t costs[5] = {Cost<None>(row, prior, n, bpp), Cost<Sub>(row, prior, n, bpp),
                               Cost<Up>(row, prior, n, bpp), Cost<Average>(row, prior, n, bpp),
                               Cost<Paeth>(row, prior, n, bpp)};
    int best = 0;
    for (int f = 1; f < 5; ++f)
        if (costs[f] < costs[best]) best = f;
    out[0] = uint8_t(best);
    switch (best) {
    case 0: Apply<None>(row, prior, n, bpp, out + 1); break;
    case 1: Apply<Sub>(row, prior, n, bpp, out + 1); break;
    case 2: Apply<Up>(row, prior, n, bpp, out + 1); break;
    case 3: Apply<Average>(row, prior, n, bpp, out + 1); break;
    default: Apply<Paeth>(row, prior, n, bpp, out + 1); break;
    }
}

size_t CountZeros(const uint8_t *data, size_t n) {
    size_t zeros = 0;
    // In blocks whose count fits 32 bits: the narrower the sum, the more bytes per instruction.
    for (size_t begin = 0; begin < n; begin += size_t{1} << 30) {
        const size_t end = std::min(n, begin + (size_t{1} << 30));
        uint32_t block = 0;
        for (size_t i = begin; i < end; ++i) block += data[i] == 0;
        zeros += block;
    }
    return zeros;
}

}  // namespace faltrix::png
