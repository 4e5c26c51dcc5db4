// Pixel formats of DIB sections and the conversions between them and colours.
//
// Inside the graphics layer a colour is 0x00RRGGBB: the bytes B, G, R, X of a default
// 32-bit pixel read as one little-endian word. COLORREF (0x00BBGGRR) appears only at the
// API's edge (GetPixel, brushes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "faltrix/dib_layout.h"
#include "faltrix/gdi.h"

namespace faltrix::gdi {

inline constexpr uint32_t ColourFromColorref(COLORREF c) {
    return ((c & 0xFFu) << 16) | (c & 0xFF00u) | ((c >> 16) & 0xFFu);
}
inline constexpr COLORREF ColorrefFromColour(uint32_t c) {
    return ((c & 0xFFu) << 16) | (c & 0xFF00u) | ((c >> 16) & 0xFFu);
}

struct PixelFormat {
    int bitCount = 0;               // 1, 4, 8, 16, 24 or 32
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue for 16 and 32 bits (defaults filled in)
    std::vector<RGBQUAD> palette;   // 1, 4 and 8 bits: the colour table, 1 to 256 entries

    bool Palettised() const { return bitCount <= 8; }
    // True when a pixel means the same colour in both formats, so pixels may be copied as
    // bytes: equal depth and equal masks, or equal depth and equal colour tables (the
    // reserved byte of an entry does not count).
    bool SameLayout(const PixelFormat &other) const;
};

inline constexpr uint32_t kDefault16Masks[3] = {0x7C00, 0x03E0, 0x001F};
inline constexpr uint32_t kDefault32Masks[3] = {0xFF0000, 0x00FF00, 0x0000FF};

// True for masks that a bitfields format can hold at bitCount bits: each non-zero, one run of
// bits, within the pixel, and no two overlapping.
bool ValidMasks(const uint32_t masks[3], int bitCount);

// One colour channel of a masked (16- or 32-bit) format. Fields of up to 8 bits widen through
// a table; wider ones by MaskedChannel's rule, which the table also follows.
struct Channel {
    MaskedChannel field;
    uint8_t expand[256] = {};     // field value -> 8 bits, for fields of up to 8 bits
    uint32_t compress[256] = {};  // 8 bits -> field value, shifted into place

    explicit Channel(uint32_t m = 0);
    uint8_t Decode(uint32_t pixel) const {
        const uint32_t v = field.Field(pixel);
        return field.max <= 255 ? expand[v] : FieldToByte(v, field.max);
    }
};

// Reads pixels of one format as colours.
class ColourReader {
public:
    explicit ColourReader(const PixelFormat &format);
    uint32_t Pixel(const uint8_t *row, int32_t x) const;
    // out[k] = colour of pixel xs[k] of row, for k < n.
    void Gather(const uint8_t *row, const int32_t *xs, size_t n, uint32_t *out) const;

private:
    enum class Kind { Indexed, Bgr24, Bgrx32, Masked16, Masked32 } kind_;
    int bitCount_;
    uint32_t lut_[256] = {};  // palette entry -> colour; black beyond the table
    Channel r_, g_, b_;
};

// Writes colours as pixels of one format; a palettised format takes the nearest entry.
class ColourWriter {
public:
    explicit ColourWriter(const PixelFormat &format);
    void Put(uint8_t *row, int32_t x, uint32_t colour);
    // Pixels x0 .. x0 + n - 1 of row get the colours in[0 .. n - 1].
    void Scatter(uint8_t *row, int32_t x0, const uint32_t *in, size_t n);

private:
    uint8_t Nearest(uint32_t colour);
    enum class Kind { Indexed, Bgr24, Bgrx32, Masked16, Masked32 } kind_;
    int bitCount_;
    const std::vector<RGBQUAD> *palette_;
    Channel r_, g_, b_;
    // Direct-mapped cache of nearest-entry answers: key is colour | 1 << 24 when filled.
    std::vector<uint32_t> cacheKey_;
    std::vector<uint8_t> cacheIndex_;
};

}  // namespace faltrix::gdi
