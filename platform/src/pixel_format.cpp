#include "pixel_format.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace faltrix::gdi {

bool PixelFormat::SameLayout(const PixelFormat &other) const {
    if (bitCount != other.bitCount) return false;
    if (bitCount == 24) return true;
    if (bitCount > 8) {
        return masks[0] == other.masks[0] && masks[1] == other.masks[1] &&
               masks[2] == other.masks[2];
    }
    if (palette.size() != other.palette.size()) return false;
    for (size_t i = 0; i < palette.size(); ++i) {
        const RGBQUAD &a = palette[i];
        const RGBQUAD &b = other.palette[i];
        if (a.rgbRed != b.rgbRed || a.rgbGreen != b.rgbGreen || a.rgbBlue != b.rgbBlue)
            return false;
    }
    return true;
}

bool ValidMasks(const uint32_t masks[3], int bitCount) {
    const uint64_t room = bitCount >= 32 ? 0xFFFFFFFFull : (uint64_t{1} << bitCount) - 1;
    uint32_t seen = 0;
    for (int i = 0; i < 3; ++i) {
        const uint32_t m = masks[i];
        if (m == 0 || m > room || (m & seen) != 0) return false;
        if (!OneRunOfBits(m)) return false;
        seen |= m;
    }
    return true;
}

Channel::Channel(uint32_t m) : field(m) {
    if (m == 0) return;
    const uint64_t max = field.max;
    if (max <= 255) {
        for (uint64_t v = 0; v <= max; ++v)
            expand[v] = FieldToByte(static_cast<uint32_t>(v), field.max);
    }
    for (uint64_t c = 0; c < 256; ++c) {
        compress[c] = static_cast<uint32_t>(((c * max + 127) / 255) << field.shift);
    }
}

namespace {

template <typename Kind>
Kind KindOf(const PixelFormat &f) {
    switch (f.bitCount) {
    case 24: return Kind::Bgr24;
    case 32:
        return std::memcmp(f.masks, kDefault32Masks, sizeof f.masks) == 0 ? Kind::Bgrx32
                                                                          : Kind::Masked32;
    case 16: return Kind::Masked16;
    default: return Kind::Indexed;
    }
}

inline uint32_t Load16(const uint8_t *p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }
inline uint32_t Load32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

ColourReader::ColourReader(const PixelFormat &f)
    : kind_(KindOf<Kind>(f)),
      bitCount_(f.bitCount),
      r_(f.masks[0]),
      g_(f.masks[1]),
      b_(f.masks[2]) {
    for (size_t i = 0; i < f.palette.size() && i < 256; ++i) {
        const RGBQUAD &q = f.palette[i];
        lut_[i] = (uint32_t{q.rgbRed} << 16) | (uint32_t{q.rgbGreen} << 8) | q.rgbBlue;
    }
}

uint32_t ColourReader::Pixel(const uint8_t *row, int32_t x) const {
    switch (kind_) {
    case Kind::Indexed: return lut_[ReadDibIndex(row, x, bitCount_)];
    case Kind::Bgr24: {
        const uint8_t *p = row + static_cast<size_t>(x) * 3;
        return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
    }
    case Kind::Bgrx32: return Load32(row + static_cast<size_t>(x) * 4) & 0xFFFFFFu;
    case Kind::Masked16: {
        const uint32_t v = Load16(row + static_cast<size_t>(x) * 2);
        return (uint32_t{r_.Decode(v)} << 16) | (uint32_t{g_.Decode(v)} << 8) | b_.Decode(v);
    }
    case Kind::Masked32: {
        const uint32_t v = Load32(row + static_cast<size_t>(x) * 4);
        return (uint32_t{r_.Decode(v)} << 16) | (uint32_t{g_.Decode(v)} << 8) | b_.Decode(v);
    }
    }
    return 0;
}

void ColourReader::Gather(const uint8_t *row, const int32_t *xs, size_t n, uint32_t *out) const {
    switch (kind_) {
    case Kind::Bgr24:
        for (size_t k = 0; k < n; ++k) {
            const uint8_t *p = row + static_cast<size_t>(xs[k]) * 3;
            out[k] = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
        }
        break;
    case Kind::Bgrx32:
        for (size_t k = 0; k < n; ++k)
            out[k] = Load32(row + static_cast<size_t>(xs[k]) * 4) & 0xFFFFFFu;
        break;
    case Kind::Indexed:
        if (bitCount_ == 8) {
            for (size_t k = 0; k < n; ++k) out[k] = lut_[row[xs[k]]];
        } else {
            for (size_t k = 0; k < n; ++k) out[k] = lut_[ReadDibIndex(row, xs[k], bitCount_)];
        }
        break;
    default:
        for (size_t k = 0; k < n; ++k) out[k] = Pixel(row, xs[k]);
        break;
    }
}

ColourWriter::ColourWriter(const PixelFormat &f)
    : kind_(KindOf<Kind>(f)),
      bitCount_(f.bitCount),
      palette_(&f.palette),
      r_(f.masks[0]),
      g_(f.masks[1]),
      b_(f.masks[2]) {}

uint8_t ColourWriter::Nearest(uint32_t colour) {
    constexpr size_t kCacheSize = 4096;
    if (cacheKey_.empty()) {
        cacheKey_.assign(kCacheSize, 0);
        cacheIndex_.assign(kCacheSize, 0);
    }
    const size_t slot = ((colour * 0x9E3779B1u) >> 20) & (kCacheSize - 1);
    const uint32_t key = colour | (1u << 24);
    if (cacheKey_[slot] == key) return cacheIndex_[slot];

    const int r = static_cast<int>((colour >> 16) & 0xFF);
    const int g = static_cast<int>((colour >> 8) & 0xFF);
    const int b = static_cast<int>(colour & 0xFF);
    const std::vector<RGBQUAD> &pal = *palette_;
    // Entries a pixel cannot address (beyond 1 << bitCount) are never chosen.
    const size_t usable = std::min(pal.size(), size_t{1} << bitCount_);
    uint32_t best = 0;
    int bestDistance = 1 << 30;
    for (size_t i = 0; i < usable; ++i) {
        const int dr = pal[i].rgbRed - r, dg = pal[i].rgbGreen - g, db = pal[i].rgbBlue - b;
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) {
            bestDistance = d;
            best = static_cast<uint32_t>(i);
            if (d == 0) break;
        }
    }
    cacheKey_[slot] = key;
    cacheIndex_[slot] = static_cast<uint8_t>(best);
    return static_cast<uint8_t>(best);
}

void ColourWriter::Put(uint8_t *row, int32_t x, uint32_t colour) {
    const size_t r8 = (colour >> 16) & 0xFF, g8 = (colour >> 8) & 0xFF, b8 = colour & 0xFF;
    switch (kind_) {
    case Kind::Indexed: WriteDibIndex(row, x, bitCount_, Nearest(colour & 0xFFFFFFu)); break;
    case Kind::Bgr24: {
        uint8_t *p = row + static_cast<size_t>(x) * 3;
        p[0] = static_cast<uint8_t>(b8);
        p[1] = static_cast<uint8_t>(g8);
        p[2] = static_cast<uint8_t>(r8);
        break;
    }
    case Kind::Bgrx32: {
        // A converted pixel carries no alpha: the fourth byte is 0.
        const uint32_t v = colour & 0xFFFFFFu;
        std::memcpy(row + static_cast<size_t>(x) * 4, &v, 4);
        break;
    }
    case Kind::Masked16: {
        const uint32_t v = r_.compress[r8] | g_.compress[g8] | b_.compress[b8];
        uint8_t *p = row + static_cast<size_t>(x) * 2;
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        break;
    }
    case Kind::Masked32: {
        const uint32_t v = r_.compress[r8] | g_.compress[g8] | b_.compress[b8];
        std::memcpy(row + static_cast<size_t>(x) * 4, &v, 4);
        break;
    }
    }
}

void ColourWriter::Scatter(uint8_t *row, int32_t x0, const uint32_t *in, size_t n) {
    switch (kind_) {
    case Kind::Bgrx32: {
        uint8_t *p = row + static_cast<size_t>(x0) * 4;
        for (size_t k = 0; k < n; ++k, p += 4) {
            const uint32_t v = in[k] & 0xFFFFFFu;
            std::memcpy(p, &v, 4);
        }
        break;
    }
    case Kind::Bgr24: {
        uint8_t *p = row + static_cast<size_t>(x0) * 3;
        for (size_t k = 0; k < n; ++k, p += 3) {
            p[0] = static_cast<uint8_t>(in[k]);
            p[1] = static_cast<uint8_t>(in[k] >> 8);
            p[2] = static_cast<uint8_t>(in[k] >> 16);
        }
        break;
    }
    default:
        for (size_t k = 0; k < n; ++k) Put(row, x0 + static_cast<int32_t>(k), in[k]);
        break;
    }
}

}  // namespace faltrix::gdi
