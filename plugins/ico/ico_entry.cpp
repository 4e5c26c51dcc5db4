// Reading an icon's directory and decoding its entries into B, G, R, A pixels.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "ico_format.h"

namespace faltrix::ico {
namespace {

// What a BMP entry's info header says, with the sizes of its parts.
struct BmpLayout {
    int32_t width = 0, height = 0;  // the picture's: half the header's height
    int bitCount = 0;
    uint32_t headerSize = 0;
    uint32_t colours = 0;   // entries of the colour table
    size_t xorStride = 0;   // bytes of one colour row
    size_t maskStride = 0;  // bytes of one mask row
    size_t pixelStart = 0;  // the colour rows' offset in the entry
};

size_t RowBytes(int64_t width, int bits) { return size_t((width * bits + 31) / 32 * 4); }

// Reads the info header at the start of an entry of `size` bytes; `dirHeight` is the
// directory's height (256 for 0). False, with the cause.
bool ReadBmpLayout(const uint8_t *p, size_t n, uint32_t size, int32_t dirHeight, BmpLayout *out) {
    if (n < kInfoHeaderSize) return kit::Fail("ICO: an entry is cut short in its header");
    const uint32_t headerSize = U32(p);
    if (headerSize < kInfoHeaderSize || headerSize > 124)
        return kit::Fail("ICO: an entry is neither PNG nor BMP");
    const int32_t width = int32_t(U32(p + 4));
    const int32_t height = int32_t(U32(p + 8));
    const int bits = U16(p + 14);
    const uint32_t compression = U32(p + 16);
    if (width < 1 || width > kMaxEntrySide || height < 1 || height > 2 * kMaxEntrySide)
        return kit::Fail("ICO: an entry's size is out of bounds (1 to " +
                         std::to_string(kMaxEntrySide) + " pixels a side)");
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return kit::Fail("ICO: an entry has a bit count other than 1, 4, 8, 16, 24 or 32");
    if (compression != BI_RGB) return kit::Fail("ICO: an entry is compressed");
    out->width = width;
    out->bitCount = bits;
    out->headerSize = headerSize;
    const uint32_t used = U32(p + 32);
    const uint32_t most = bits <= 8 ? 1u << bits : 0;
    out->colours = bits <= 8 ? (used == 0 || used > most ? most : used) : 0;
    out->xorStride = RowBytes(width, bits);
    out->maskStride = RowBytes(width, 1);
    out->pixelStart = size_t(headerSize) + 4 * size_t(out->colours);
    // The height counts the colour rows and the mask's. A few writers give the picture's own:
    // taken so where the directory says that height too and the data holds rows and mask of it.
    const uint64_t rows = uint64_t(out->xorStride + out->maskStride) * uint64_t(height);
    out->height =
        height == dirHeight && out->pixelStart + rows <= size ? height : std::max(1, height / 2);
    return true;
}

// Reads entry k's record and the start of its data; false, with the cause.
bool ReadEntry(kit::InputFile &file, const uint8_t *record, Entry *e) {
    e->size = U32(record + 8);
    e->offset = U32(record + 12);
    if (e->offset >= file.size() || e->size == 0)
        return kit::Fail("ICO: an entry lies beyond the end of the file");
    // A size past the end of the file is cut to it: decoding then says what is missing.
    e->size = uint32_t(std::min<int64_t>(e->size, file.size() - e->offset));
    uint8_t head[kInfoHeaderSize] = {};
    const size_t n = std::min<size_t>(e->size, sizeof head);
    if (!file.Seek(e->offset) || !file.Read(head, n))
        return kit::Fail("ICO: an entry cannot be read");
    if (PngSize(head, n, &e->width, &e->height)) {
        e->png = true;
        e->bitCount = 32;
        if (e->width < 1 || e->height < 1 || e->width > kMaxEntrySide || e->height > kMaxEntrySide)
            return kit::Fail("ICO: a PNG entry's size is out of bounds (1 to " +
                             std::to_string(kMaxEntrySide) + " pixels a side)");
        return true;
    }
    BmpLayout layout;
    e->dirHeight = record[1] == 0 ? 256 : record[1];
    if (!ReadBmpLayout(head, n, e->size, e->dirHeight, &layout)) return false;
    e->width = layout.width;
    e->height = layout.height;
    e->bitCount = layout.bitCount;
    return true;
}

// Colour row `row` of a BMP entry into B, G, R, A bytes (alpha as stored for 32 bits, else
// 255).
void ColourRow(const BmpLayout &l, const uint8_t *in, const RGBQUAD *palette, uint8_t *out) {
    for (int32_t x = 0; x < l.width; ++x) {
        uint8_t *o = out + 4 * size_t(x);
        o[3] = 255;
        if (l.bitCount <= 8) {
            const int perByte = 8 / l.bitCount;
            const int shift = 8 - l.bitCount * (x % perByte + 1);
            const uint8_t index = uint8_t((in[x / perByte] >> shift) & ((1 << l.bitCount) - 1));
            const RGBQUAD &q = palette[index];
            o[0] = q.rgbBlue;
            o[1] = q.rgbGreen;
            o[2] = q.rgbRed;
        } else if (l.bitCount == 16) {  // 5-5-5, each widened with its top bits
            const uint32_t v = U16(in + 2 * size_t(x));
            const auto widen = [](uint32_t c) { return uint8_t((c << 3) | (c >> 2)); };
            o[0] = widen(v & 31);
            o[1] = widen((v >> 5) & 31);
            o[2] = widen((v >> 10) & 31);
        } else {
            std::memcpy(o, in + size_t(x) * (l.bitCount / 8), l.bitCount / 8);
        }
    }
}

bool DecodeBmp(const std::vector<uint8_t> &data, const BmpLayout &l, Pixels *out) {
    const size_t xorEnd = l.pixelStart + l.xorStride * size_t(l.height);
    const size_t maskEnd = xorEnd + l.maskStride * size_t(l.height);
    // A 32-bit entry may go without its mask: its alpha says all.
    const bool mask = data.size() >= maskEnd;
    if (data.size() < xorEnd || (!mask && l.bitCount != 32))
        return kit::Fail("ICO: an entry is cut short in its pixels");
    RGBQUAD palette[256] = {};
    if (l.colours) std::memcpy(palette, data.data() + l.headerSize, 4 * size_t(l.colours));
    out->width = l.width;
    out->height = l.height;
    out->bgra.assign(size_t(l.width) * size_t(l.height) * 4, 0);
    bool alphaSeen = false;
    for (int32_t y = 0; y < l.height; ++y) {
        const size_t fileRow = size_t(l.height - 1 - y);  // bottom-up
        uint8_t *o = out->bgra.data() + size_t(y) * size_t(l.width) * 4;
        ColourRow(l, data.data() + l.pixelStart + fileRow * l.xorStride, palette, o);
        if (l.bitCount == 32)
            for (int32_t x = 0; x < l.width && !alphaSeen; ++x) alphaSeen = o[4 * x + 3] != 0;
    }
    // The AND mask makes alpha where the colour rows have none of their own.
    if (alphaSeen) return true;
    for (int32_t y = 0; y < l.height; ++y) {
        const uint8_t *m = data.data() + xorEnd + size_t(l.height - 1 - y) * l.maskStride;
        uint8_t *o = out->bgra.data() + size_t(y) * size_t(l.width) * 4;
        for (int32_t x = 0; x < l.width; ++x)
            o[4 * x + 3] = mask && (m[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
    }
    return true;
}

}  // namespace

bool ReadDirectory(kit::InputFile &file, uint16_t *type, std::vector<Entry> *entries) {
    uint8_t dir[kDirSize];
    if (file.size() < kDirSize) return kit::Fail("ICO: not an icon or cursor directory");
    if (!file.Read(dir, kDirSize) || U16(dir) != 0 ||
        (U16(dir + 2) != kTypeIcon && U16(dir + 2) != kTypeCursor))
        return kit::Fail("ICO: not an icon or cursor directory");
    *type = U16(dir + 2);
    const uint32_t count = U16(dir + 4);
    if (count == 0 || count > kMaxEntries)
        return kit::Fail("ICO: the directory lists " + std::to_string(count) + " entries (1 to " +
                         std::to_string(kMaxEntries) + " are read)");
    std::vector<uint8_t> records(size_t(count) * kEntrySize);
    if (file.size() < int64_t(kDirSize + records.size()) ||
        !file.Read(records.data(), records.size()))
        return kit::Fail("ICO: the directory is cut short");
    entries->assign(count, Entry{});
    for (uint32_t k = 0; k < count; ++k)
        if (!ReadEntry(file, records.data() + size_t(k) * kEntrySize, &(*entries)[k])) return false;
    return true;
}

std::vector<size_t> FrameOrder(const std::vector<Entry> &entries) {
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Entry &x = entries[a], &y = entries[b];
        const int64_t ax = int64_t(x.width) * x.height, ay = int64_t(y.width) * y.height;
        return ax != ay ? ax > ay : x.bitCount > y.bitCount;
    });
    return order;
}

bool DecodeEntry(const Entry &entry, const std::vector<uint8_t> &data, Pixels *out) {
    if (entry.png) {
        if (!DecodePng(data, out)) return false;
        return out->width == entry.width && out->height == entry.height
                   ? true
                   : kit::Fail("ICO: a PNG entry changed its size");
    }
    BmpLayout layout;
    return ReadBmpLayout(data.data(), data.size(), entry.size, entry.dirHeight, &layout) &&
           DecodeBmp(data, layout, out);
}

}  // namespace faltrix::ico
