// The ICO and CUR file layout as the plug-ins read and write it. All numbers on disk are
// little-endian.
//
//   ICONDIR        6 bytes: reserved 0, type (1 icon, 2 cursor), number of entries
//   ICONDIRENTRY   16 bytes each: width, height (bytes, 0 meaning 256), colours in the
//                  palette (0 beyond 8 bits), reserved; planes and bit count for an icon,
//                  the hotspot's x and y for a cursor; the entry's bytes and its offset
//   entry data     a PNG file, or a BMP without its file header: a BITMAPINFOHEADER whose
//                  height counts both pictures, the colour table, the colour (XOR) rows at
//                  1, 4, 8, 16, 24 or 32 bits, then the 1-bit AND mask (1 where transparent),
//                  both bottom-up with rows padded to 4 bytes
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "faltrix/kit/kit.h"

namespace faltrix::ico {

// The information the ICO plug-ins answer; the input plug-in also reads cursors.
inline kit::FormatInfo Format() {
    return {u"ICO and CUR (Faltrix's own codec " FALTRIX_VERSION_U16 u")",
            {{u"*.ico;*.cur", u"Windows icons and cursors"}},
            {{u"*.ico", u"Windows icons"}}};
}

inline constexpr uint16_t kTypeIcon = 1;
inline constexpr uint16_t kTypeCursor = 2;
inline constexpr uint32_t kDirSize = 6;
inline constexpr uint32_t kEntrySize = 16;
inline constexpr uint32_t kInfoHeaderSize = 40;
// Entries a directory may list: far more than any icon holds, few enough to scan at once.
inline constexpr uint32_t kMaxEntries = 512;
// The longest side of an entry read: the directory's bytes stop at 256, the entry's own
// header is trusted up to this.
inline constexpr int32_t kMaxEntrySide = 1024;
// The largest entry written: the directory cannot say more.
inline constexpr int32_t kMaxStoredSide = 256;

inline uint16_t U16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t U32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void Put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// One ICONDIRENTRY, with what its data turned out to be when the directory was read.
struct Entry {
    int32_t width = 0, height = 0;  // the entry's own header's size (PNG IHDR or BMP header)
    int32_t dirHeight = 0;          // the directory's height byte (0 read as 256)
    int bitCount = 0;               // bits per pixel of the entry's data, for choosing
    uint32_t size = 0;              // bytes of the entry's data
    uint32_t offset = 0;            // from the start of the file
    bool png = false;
};

// A decoded entry: B, G, R, A bytes, rows top first, not premultiplied.
struct Pixels {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> bgra;
};

// Reads and checks the directory and every entry's header from the start of the file: the
// type, an entry count of 1 to kMaxEntries, each entry's data lying within the file and
// beginning with a PNG signature or a 40-byte or larger info header, sizes of 1 to
// kMaxEntrySide, depths the reader knows. False, with the cause recorded, for anything else.
bool ReadDirectory(kit::InputFile &file, uint16_t *type, std::vector<Entry> *entries);

// The entries in the order they are given as frames: the largest first, the deepest first
// among those of one size, then the directory's order.
std::vector<size_t> FrameOrder(const std::vector<Entry> &entries);

// Decodes one entry's data (its bytes in `data`). False, with the cause recorded, when it is
// damaged or cut short.
bool DecodeEntry(const Entry &entry, const std::vector<uint8_t> &data, Pixels *out);

// The PNG entry's pixels, through libpng's simplified reader; size-checked before decoding.
bool DecodePng(const std::vector<uint8_t> &data, Pixels *out);

// Reads the PNG header's width and height (IHDR); false when `data` starts no PNG file.
bool PngSize(const uint8_t *data, size_t n, int32_t *width, int32_t *height);

// The picture as a PNG file; false, with the cause recorded, when libpng cannot make it.
bool EncodePng(const Pixels &picture, std::vector<uint8_t> *out);

}  // namespace faltrix::ico
