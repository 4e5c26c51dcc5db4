// Reading and checking a BMP file's headers.
#include <cstring>

#include "bmp_format.h"
#include "faltrix/dib_layout.h"

namespace faltrix::bmp {
namespace {

inline uint16_t U16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t U32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t S32(const uint8_t *p) { return static_cast<int32_t>(U32(p)); }

bool KnownHeaderSize(uint32_t size) {
    switch (size) {
    case 12:
    case 16:
    case 40:
    case 52:
    case 56:
    case 64:
    case 108:
    case 124: return true;
    default: return false;
    }
}

bool IsOs2(uint32_t headerSize) { return headerSize == 12 || headerSize == 16 || headerSize == 64; }

// Masks must be runs of set bits inside the pixel, not overlap, and give some colour.
bool MasksUsable(const uint32_t m[4], int bitCount) {
    const uint64_t pixelBits = (uint64_t{1} << bitCount) - 1;
    uint32_t seen = 0;
    for (int i = 0; i < 4; ++i) {
        if (m[i] == 0) continue;
        if (m[i] & ~pixelBits) return false;
        if (!OneRunOfBits(m[i])) return false;
        if (seen & m[i]) return false;
        seen |= m[i];
    }
    return (m[0] | m[1] | m[2]) != 0;
}

}  // namespace

bool HasSignature(const uint8_t *bytes, size_t n) {
    return n >= 18 && bytes[0] == 'B' && bytes[1] == 'M' && KnownHeaderSize(U32(bytes + 14));
}

// The depth and the compression: one the reader knows, and one that fits the other.
bool LayoutKnown(const Header &h) {
    switch (h.bitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32: break;
    default: return kit::Fail("BMP: a bit count other than 1, 2, 4, 8, 16, 24 or 32");
    }
    // OS/2 2.x numbers its compressions differently from 3 on: 4 is RLE24, which is read;
    // 3 (Huffman 1D) is refused.
    if (IsOs2(h.headerSize) && h.compression > BI_RLE4) {
        if (h.compression != kOs2Rle24 || h.bitCount != 24)
            return kit::Fail("BMP: an OS/2 compression other than RLE");
    } else if (h.compression == kOs2Rle24) {
        return kit::Fail("BMP: an embedded JPEG picture");  // BI_JPEG outside OS/2 headers
    }
    switch (h.compression) {
    case BI_RGB: break;
    case kOs2Rle24: break;
    case BI_RLE8:
        if (h.bitCount != 8) return kit::Fail("BMP: RLE8 on a wrong layout");
        break;
    case BI_RLE4:
        if (h.bitCount != 4) return kit::Fail("BMP: RLE4 on a wrong layout");
        break;
    case BI_BITFIELDS:
    case kAlphaBitfields:
        if (h.bitCount != 16 && h.bitCount != 32)
            return kit::Fail("BMP: masks on a depth without them");
        break;
    default: return kit::Fail("BMP: an unknown compression");  // embedded JPEG or PNG, or unknown
    }
    return true;
}

// The colour masks: after the header where it is a plain info header, inside it where it is
// larger, the defaults of the depth where the compression names none.
bool ReadMasks(kit::InputFile &file, const uint8_t *info, Header &h) {
    if (h.compression == BI_BITFIELDS || h.compression == kAlphaBitfields) {
        if (h.headerSize == kInfoHeaderSize) {
            const size_t n = h.compression == kAlphaBitfields ? 16 : 12;
            uint8_t masks[16] = {};
            if (!file.Read(masks, n)) return false;
            for (size_t i = 0; i < n / 4; ++i) h.masks[i] = U32(masks + 4 * i);
        } else if (h.headerSize >= 52) {
            for (int i = 0; i < 3; ++i) h.masks[i] = U32(info + 40 + 4 * i);
            if (h.headerSize >= 56) h.masks[3] = U32(info + 52);
        } else {
            return false;
        }
        if (!MasksUsable(h.masks, h.bitCount))
            return kit::Fail("BMP: colour masks that overlap or are not runs of bits");
    } else if (h.bitCount == 16) {
        h.masks[0] = 0x7C00;
        h.masks[1] = 0x03E0;
        h.masks[2] = 0x001F;
    } else if (h.bitCount == 32) {
        h.masks[0] = 0x00FF0000;
        h.masks[1] = 0x0000FF00;
        h.masks[2] = 0x000000FF;
    }
    return true;
}

bool ReadHeader(kit::InputFile &file, Header *out) {
    Header h;
    uint8_t fileHeader[kFileHeaderSize + 4];
    if (!file.Read(fileHeader, sizeof fileHeader) || !HasSignature(fileHeader, sizeof fileHeader))
        return kit::Fail("BMP: not a BMP file (no \"BM\" and known header size)");
    h.fileSize = U32(fileHeader + 2);
    h.dataOffset = U32(fileHeader + 10);
    h.headerSize = U32(fileHeader + 14);

    uint8_t info[kV5HeaderSize] = {};
    std::memcpy(info, fileHeader + 14, 4);
    if (!file.Read(info + 4, h.headerSize - 4)) return false;

    int64_t width, height;
    uint32_t clrUsed = 0;
    if (h.headerSize == kCoreHeaderSize) {
        width = U16(info + 4);
        height = static_cast<int16_t>(U16(info + 6));
        h.bitCount = U16(info + 10);
    } else {
        width = S32(info + 4);
        height = S32(info + 8);
        h.bitCount = U16(info + 14);
        if (h.headerSize >= 20) h.compression = U32(info + 16);
        if (h.headerSize >= 32) {
            h.xPelsPerMeter = S32(info + 24);
            h.yPelsPerMeter = S32(info + 28);
        }
        if (h.headerSize >= 36) clrUsed = U32(info + 32);
    }
    h.topDown = height < 0;
    height = height < 0 ? -height : height;  // int64_t: -INT32_MIN is representable
    if (!kit::WithinLimits(width, height)) return false;
    h.width = static_cast<int32_t>(width);
    h.height = static_cast<int32_t>(height);

    if (!LayoutKnown(h) || !ReadMasks(file, info, h)) return false;

    if (h.bitCount <= 8) {
        const uint32_t maxEntries = 1u << h.bitCount;
        if (clrUsed > maxEntries) return kit::Fail("BMP: more colours than the bit count can name");
        const uint32_t entries = clrUsed ? clrUsed : maxEntries;
        const size_t entrySize = h.headerSize == kCoreHeaderSize ? 3 : 4;
        const int64_t tableEnd =
            int64_t{std::ftell(file.stream())} + int64_t{entries} * int64_t(entrySize);
        if (tableEnd > file.size())
            return kit::Fail("BMP: the colour table runs past the end of the file");
        uint8_t table[256 * 4];
        if (!file.Read(table, entries * entrySize)) return false;
        h.palette.resize(entries);
        for (uint32_t i = 0; i < entries; ++i) {
            const uint8_t *e = table + i * entrySize;
            h.palette[i] = RGBQUAD{e[0], e[1], e[2], 0};
        }
    }
    if (h.dataOffset < kFileHeaderSize + h.headerSize || h.dataOffset >= file.size())
        return kit::Fail("BMP: the pixel data offset lies outside the file");
    if (h.headerSize == kV5HeaderSize && U32(info + 56) == kProfileEmbedded) {
        h.profileOffset = U32(info + 112);
        h.profileSize = U32(info + 116);
    }
    *out = std::move(h);
    return true;
}

}  // namespace faltrix::bmp
