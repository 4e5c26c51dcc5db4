// The BMP file layout as the plug-ins read and write it, and their information answers. All numbers
// on disk are little-endian.
//
//   file header   14 bytes: "BM", file size, 4 reserved bytes, offset of the pixel data
//   info header   its own size first: 12 (OS/2 core: 16-bit sizes, 3-byte colour entries),
//                 16 or 64 (OS/2 2.x), 40 (info), 52 / 56 (info with RGB / RGBA masks),
//                 108 (V4), 124 (V5)
//   masks         3 or 4 DWORDs after a 40-byte header when compression is BI_BITFIELDS or
//                 BI_ALPHABITFIELDS (inside the header from 52 bytes on)
//   colour table  entries of 3 (core) or 4 bytes, blue, green, red[, 0]
//   pixel data    rows padded to 4 bytes, bottom-up for a positive height, top-down for a
//                 negative one (RLE data too)
//   profile       a V5 header whose colour space type is 'MBED' (PROFILE_EMBEDDED) names an
//                 ICC profile by its offset from the start of the info header (byte 112 of
//                 the header) and its size in bytes (byte 116); written after the pixel data
#pragma once

#include <cstdint>
#include <vector>

#include "faltrix/kit/kit.h"

namespace faltrix::bmp {

// The information both BMP plug-ins answer; the input plug-in also takes "*.dib".
inline kit::FormatInfo Format() {
    return {u"BMP (Faltrix's own codec " FALTRIX_VERSION_U16 u")",
            {{u"*.bmp;*.dib", u"BMP pictures"}},
            {{u"*.bmp", u"BMP pictures"}}};
}

inline constexpr uint32_t kFileHeaderSize = 14;
inline constexpr uint32_t kCoreHeaderSize = 12;
inline constexpr uint32_t kInfoHeaderSize = 40;
inline constexpr uint32_t kV4HeaderSize = 108;
inline constexpr uint32_t kV5HeaderSize = 124;
inline constexpr uint32_t kAlphaBitfields =
    6;                                    // BI_ALPHABITFIELDS: RGBA masks after a 40-byte header
inline constexpr uint32_t kOs2Rle24 = 4;  // OS/2 2.x: runs of blue, green, red triplets

struct Header {
    uint32_t fileSize = 0;     // as the file header claims (not trusted)
    uint32_t dataOffset = 0;   // bytes from the start of the file to the pixel data
    uint32_t headerSize = 0;   // bytes of the info header
    int32_t width = 0;         // pixels
    int32_t height = 0;        // rows, always positive
    bool topDown = false;      // rows stored top-down (negative height on disk)
    int bitCount = 0;          // 1, 2, 4, 8, 16, 24, 32
    uint32_t compression = 0;  // BI_RGB, BI_RLE8, BI_RLE4, BI_BITFIELDS, kOs2Rle24 (24 bits)
    uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha for 16 and 32 bits
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    std::vector<RGBQUAD> palette;  // 1, 2, 4 and 8 bits
    uint32_t profileOffset = 0;    // an embedded profile: bytes from the info header's start
    uint32_t profileSize = 0;      // its bytes; 0: none

    bool Rle() const {
        return compression == BI_RLE8 || compression == BI_RLE4 || compression == kOs2Rle24;
    }
};

inline constexpr uint32_t kProfileEmbedded = 0x4D424544;  // 'MBED', the V5 colour space type
inline constexpr uint32_t kIntentImages = 4;              // LCS_GM_IMAGES: perceptual

// Reads and checks the headers, masks and colour table from the start of the file. False,
// without reading further, for anything that is not a BMP file this plug-in can decode:
// a wrong signature, an unknown header size, bit count or compression, sizes of 0 or out of
// kit::WithinLimits, masks that overlap or are not runs of bits, a colour table claiming
// more entries than the bit count allows or running past the end of the file. Records the
// cause when it answers false.
bool ReadHeader(kit::InputFile &file, Header *out);

// True when the first bytes look like a BMP file: "BM" and a known info-header size.
bool HasSignature(const uint8_t *bytes, size_t n);

}  // namespace faltrix::bmp
