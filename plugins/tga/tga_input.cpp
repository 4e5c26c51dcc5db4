// TGA input plug-in: colour-mapped, true-colour and grey pictures, plain and run-length
// encoded, of 8, 15, 16, 24 and 32 bits, with colour maps of 15, 16, 24 and 32-bit entries,
// in any of the four row and column orders.
//
// TGA has no signature. A file is taken when its header is consistent (a known type, bits that
// suit it, colour-map fields that agree, a size, a file long enough for what the header
// names) and it either has a TGA name (.tga, .icb, .vda, .vst) or ends in the TGA 2.0
// footer; so the files of other formats, whose first bytes make no such header, are left to
// their own plug-ins.
//
// Alpha: pixels carry it when the descriptor names attribute bits, unless a TGA 2.0 extension
// area says otherwise (types 0 to 2: no useful alpha; 3: alpha; 4: premultiplied, which is
// divided out). Greys become an 8-bit DIB with the grey ramp, colour maps an 8-bit palette,
// 15 and 16 bits a 5-5-5 DIB, others 24 bits, and anything with alpha 32 bits.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "tga_format.h"

namespace faltrix::tga {
namespace {

inline uint16_t U16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t U32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Header {
    int type = 0;       // 1, 2, 3, 9, 10, 11
    int mapFirst = 0;   // the index of the first entry
    int mapLength = 0;  // entries
    int mapBits = 0;    // bits an entry
    int32_t width = 0, height = 0;
    int bits = 0;  // a pixel
    uint8_t descriptor = 0;
    int64_t mapAt = 0;       // the colour map's first byte
    int64_t pixelsAt = 0;    // the pixels' first byte
    bool footer = false;     // ends in the TGA 2.0 footer
    int attributeType = -1;  // the extension area's, -1 without one

    int Base() const { return type & 7; }
    bool Rle() const { return type >= 9; }
    int Unit() const { return (bits + 7) / 8; }  // bytes a pixel
    int MapUnit() const { return (mapBits + 7) / 8; }
    // Whether the pixels (or the entries they name) hold alpha, and whether it is used.
    bool HasAlphaChannel() const {
        const int source = Base() == 1 ? mapBits : bits;
        return source == 32 || (source == 16 && Base() != 3) || (Base() == 3 && bits == 16);
    }
    bool Alpha() const {
        if (!HasAlphaChannel()) return false;
        return attributeType >= 0 ? attributeType >= 3 : (descriptor & 0x0F) != 0;
    }
    bool Premultiplied() const { return attributeType == 4; }
};

bool BitsSuit(int base, int bits, int mapType, int mapBits) {
    const bool mapBitsKnown = mapBits == 15 || mapBits == 16 || mapBits == 24 || mapBits == 32;
    switch (base) {
    case 1: return mapType == 1 && mapBitsKnown && bits == 8;
    case 2: return bits == 15 || bits == 16 || bits == 24 || bits == 32;
    default: return bits == 8 || bits == 16;
    }
}

// Checks the 18 bytes of the header against each other and the file's size. False, with the
// cause, for anything that is not a TGA picture this plug-in reads.
bool ParseHeader(const uint8_t *b, int64_t fileSize, Header *h) {
    const char *const notTga = "TGA: not a TGA picture (the header is not consistent)";
    h->type = b[2];
    if (h->type != 1 && h->type != 2 && h->type != 3 && h->type != 9 && h->type != 10 &&
        h->type != 11)
        return kit::Fail(notTga);
    const int mapType = b[1];
    h->mapFirst = U16(b + 3);
    h->mapLength = U16(b + 5);
    h->mapBits = b[7];
    h->width = U16(b + 12);
    h->height = U16(b + 14);
    h->bits = b[16];
    h->descriptor = b[17];
    if (mapType > 1 || (mapType == 0 && h->mapLength != 0) || (mapType == 1 && h->mapLength == 0) ||
        !BitsSuit(h->Base(), h->bits, mapType, mapType ? h->mapBits : 0) ||
        (h->descriptor & 0xC0) != 0 || (h->descriptor & 0x0F) > 8)
        return kit::Fail(notTga);
    if (h->width == 0 || h->height == 0) return kit::Fail("TGA: a width or height of 0");
    h->mapAt = kHeaderSize + b[0];
    h->pixelsAt = h->mapAt + (mapType ? int64_t(h->mapLength) * h->MapUnit() : 0);
    // A run-length packet covers 128 pixels at most, in a byte and a pixel at least: a file
    // too short for that is refused before the picture's memory is taken.
    const int64_t pixels = int64_t(h->width) * h->height;
    const int64_t pixelBytes =
        h->Rle() ? (pixels + 127) / 128 * (1 + h->Unit()) : pixels * h->Unit();
    if (h->pixelsAt + pixelBytes > fileSize)
        return kit::Fail("TGA: the file is too short for what its header names");
    return true;
}

// Reads the header and, where there is one, the TGA 2.0 footer and extension area's
// attribute type.
bool ReadHeader(kit::InputFile &file, Header *h) {
    uint8_t b[kHeaderSize];
    if (file.size() < kHeaderSize || !file.Read(b, sizeof b))
        return kit::Fail("TGA: not a TGA picture (shorter than its header)");
    if (!ParseHeader(b, file.size(), h)) return false;
    uint8_t footer[kFooterSize];
    if (file.size() >= kHeaderSize + kFooterSize && file.Seek(file.size() - kFooterSize) &&
        file.Read(footer, sizeof footer) && std::memcmp(footer + 8, kSignature, 18) == 0) {
        h->footer = true;
        const uint32_t extension = U32(footer);
        uint8_t area[kExtensionSize];
        if (extension >= kHeaderSize && extension + int64_t{kExtensionSize} <= file.size() &&
            file.Seek(extension) && file.Read(area, sizeof area) && U16(area) == kExtensionSize)
            h->attributeType = area[kAttributeTypeAt];
    }
    return true;
}

// The colour map as B, G, R, A for every 8-bit index (black, opaque, where it names none).
bool ReadMap(kit::InputFile &file, const Header &h, std::array<RGBQUAD, 256> *out) {
    out->fill(RGBQUAD{0, 0, 0, 255});
    std::vector<uint8_t> map(size_t(h.mapLength) * size_t(h.MapUnit()));
    if (!file.Seek(h.mapAt) || !file.Read(map.data(), map.size()))
        return kit::Fail("TGA: the colour map is cut short");
    for (int i = 0; i < h.mapLength && h.mapFirst + i < 256; ++i) {
        const uint8_t *e = &map[size_t(i) * size_t(h.MapUnit())];
        RGBQUAD &q = (*out)[size_t(h.mapFirst + i)];
        if (h.MapUnit() == 2) {
            const uint16_t v = U16(e);
            q = {uint8_t((v & 31) * 255 / 31), uint8_t((v >> 5 & 31) * 255 / 31),
                 uint8_t((v >> 10 & 31) * 255 / 31), uint8_t(v >> 15 ? 255 : 0)};
        } else {
            q = {e[0], e[1], e[2], uint8_t(h.MapUnit() == 4 ? e[3] : 255)};
        }
    }
    return true;
}

// The pixels of the file in its own order, from a plain or run-length encoded stream. Runs
// may cross rows, but not the picture's end.
class PixelStream {
public:
    PixelStream(kit::InputFile &file, const Header &h)
        : file_(file),
          unit_(size_t(h.Unit())),
          rle_(h.Rle()),
          unstarted_(int64_t(h.width) * h.height) {}

    // The next n pixels into out; false when the file ends first or a packet runs past the
    // picture's end.
    bool Read(size_t n, uint8_t *out) {
        if (!rle_) return file_.Read(out, n * unit_);
        while (n > 0) {
            if (packet_ == 0 && !StartPacket()) return false;
            const size_t take = std::min(n, packet_);
            if (run_) {
                for (size_t i = 0; i < take; ++i) std::memcpy(out + i * unit_, value_, unit_);
            } else if (!file_.Read(out, take * unit_)) {
                return false;
            }
            out += take * unit_;
            n -= take;
            packet_ -= take;
        }
        return true;
    }

private:
    bool StartPacket() {
        uint8_t head;
        if (!file_.Read(&head, 1)) return false;
        packet_ = size_t(head & 0x7F) + 1;
        run_ = (head & 0x80) != 0;
        if (int64_t(packet_) > unstarted_) return false;  // past the picture's end
        unstarted_ -= int64_t(packet_);
        return !run_ || file_.Read(value_, unit_);
    }

    kit::InputFile &file_;
    size_t unit_;
    bool rle_;
    int64_t unstarted_;  // pixels of the picture no packet has covered yet
    size_t packet_ = 0;  // pixels left in the current packet
    bool run_ = false;
    uint8_t value_[4] = {};
};

// A file row of pixels as B, G, R, A: picked once per layout.
using ToBgra = void (*)(const uint8_t *in, int32_t n, const std::array<RGBQUAD, 256> &map,
                        uint8_t *out);

uint8_t Five(uint32_t v) { return uint8_t((v & 31) * 255 / 31); }

void MappedToBgra(const uint8_t *in, int32_t n, const std::array<RGBQUAD, 256> &map, uint8_t *out) {
    for (int32_t x = 0; x < n; ++x, out += 4) std::memcpy(out, &map[in[x]], 4);
}
void Bits16ToBgra(const uint8_t *in, int32_t n, const std::array<RGBQUAD, 256> &, uint8_t *out) {
    for (int32_t x = 0; x < n; ++x, in += 2, out += 4) {
        const uint16_t v = U16(in);
        out[0] = Five(v);
        out[1] = Five(v >> 5);
        out[2] = Five(v >> 10);
        out[3] = v >> 15 ? 255 : 0;
    }
}
void Bits24ToBgra(const uint8_t *in, int32_t n, const std::array<RGBQUAD, 256> &, uint8_t *out) {
    for (int32_t x = 0; x < n; ++x, in += 3, out += 4) {
        std::memcpy(out, in, 3);
        out[3] = 255;
    }
}
void Bits32ToBgra(const uint8_t *in, int32_t n, const std::array<RGBQUAD, 256> &, uint8_t *out) {
    std::memcpy(out, in, size_t(n) * 4);
}
void GreyAlphaToBgra(const uint8_t *in, int32_t n, const std::array<RGBQUAD, 256> &, uint8_t *out) {
    for (int32_t x = 0; x < n; ++x, in += 2, out += 4) {
        out[0] = out[1] = out[2] = in[0];
        out[3] = in[1];
    }
}

ToBgra PickToBgra(const Header &h) {
    if (h.Base() == 1) return MappedToBgra;
    if (h.Base() == 3) return GreyAlphaToBgra;  // only 16-bit greys are widened
    return h.Unit() == 2 ? Bits16ToBgra : h.Unit() == 3 ? Bits24ToBgra : Bits32ToBgra;
}

// The DIB for the file; true when file pixels are DIB pixels byte for byte (8-bit indices and
// greys, 5-5-5, 24 bits), false when they go through ToBgra.
bool ChooseSpec(const Header &h, const std::array<RGBQUAD, 256> &map, kit::DibSpec *spec) {
    spec->width = h.width;
    spec->height = h.height;
    spec->topDown = true;
    if (h.Alpha()) {
        spec->bitCount = 32;
        return false;
    }
    if (h.Base() == 1) {
        spec->bitCount = 8;
        spec->palette.assign(map.begin(), map.end());
        for (RGBQUAD &q : spec->palette) q.rgbReserved = 0;
        return true;
    }
    if (h.Base() == 3) {
        spec->bitCount = 8;
        spec->palette = kit::GreyPalette(8);
        return h.bits == 8;
    }
    spec->bitCount = h.Unit() == 2 ? 16 : 24;
    return h.Unit() != 4;
}

// Divides premultiplied colour by its alpha.
void Unpremultiply(uint8_t *bgra, int32_t n) {
    for (int32_t x = 0; x < n; ++x, bgra += 4) {
        const unsigned a = bgra[3];
        if (a == 0 || a == 255) continue;
        for (int c = 0; c < 3; ++c) bgra[c] = uint8_t(std::min(255u, (bgra[c] * 255u + a / 2) / a));
    }
}

// One file row into DIB row `row`: reversed when the file runs right to left, copied or
// converted.
void PlaceRow(const Header &h, bool direct, ToBgra convert, const std::array<RGBQUAD, 256> &map,
              int bitCount, uint8_t *pixels, std::vector<uint8_t> &bgra, uint8_t *row) {
    const size_t unit = size_t(h.Unit());
    if (h.descriptor & kRightFirst)
        for (int32_t a = 0, b = h.width - 1; a < b; ++a, --b)
            std::swap_ranges(pixels + size_t(a) * unit, pixels + size_t(a + 1) * unit,
                             pixels + size_t(b) * unit);
    if (direct) {
        std::memcpy(row, pixels, size_t(h.width) * unit);
        return;
    }
    convert(pixels, h.width, map, bgra.data());
    if (h.Premultiplied()) Unpremultiply(bgra.data(), h.width);
    for (int32_t x = 0; x < h.width; ++x) {
        const uint8_t *p = &bgra[4 * size_t(x)];
        if (bitCount == 32) std::memcpy(row + 4 * size_t(x), p, 4);
        else if (bitCount == 24) std::memcpy(row + 3 * size_t(x), p, 3);
        else row[x] = p[0];  // a grey's level
    }
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    kit::InputFile file;
    Header h;
    if (!file.Open(path) || !ReadHeader(file, &h)) return nullptr;
    std::array<RGBQUAD, 256> map{};
    if (h.Base() == 1 && !ReadMap(file, h, &map)) return nullptr;
    kit::DibSpec spec;
    const bool direct = ChooseSpec(h, map, &spec);
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard guard(dib.bitmap);
    if (!file.Seek(h.pixelsAt)) return nullptr;
    PixelStream stream(file, h);
    const ToBgra convert = PickToBgra(h);
    std::vector<uint8_t> pixels(size_t(h.width) * size_t(h.Unit())), bgra(4 * size_t(h.width));
    for (int32_t r = 0; r < h.height; ++r) {
        if (!stream.Read(size_t(h.width), pixels.data())) {
            kit::ClearLastFailure();  // "the file ends too early" says less than this
            return kit::Fail<HBITMAP>(
                std::string(h.Rle() ? "TGA: the run-length data is damaged or cut short"
                                    : "TGA: the pixels are cut short") +
                " at row " + std::to_string(r + 1));
        }
        const int32_t y = (h.descriptor & kTopFirst) ? r : h.height - 1 - r;
        PlaceRow(h, direct, convert, map, spec.bitCount, pixels.data(), bgra, dib.Row(y));
        kit::ReportProgress(progress, r + 1, h.height, data);
    }
    if (spec.bitCount == 32) kit::KeepFullTransparency(dib, h.width, h.height);
    return guard.Release();
}

// A TGA name, without regard to case.
bool HasTgaName(const WCHAR *path) {
    size_t n = 0;
    while (path[n]) ++n;
    if (n < 4 || path[n - 4] != u'.') return false;
    char ext[4] = {};
    for (int i = 0; i < 3; ++i) {
        const WCHAR c = path[n - 3 + size_t(i)];
        if (c > 127) return false;
        ext[i] = char(std::tolower(int(c)));
    }
    for (const char *known : {"tga", "icb", "vda", "vst"})
        if (std::strcmp(ext, known) == 0) return true;
    return false;
}

bool Recognize(const WCHAR *path) {
    Header h;
    return kit::ReadFileHeader(path, &h, ReadHeader) && (h.footer || HasTgaName(path));
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    return kit::ReadHeaderSize<Header>(path, info, ReadHeader);
}

}  // namespace
}  // namespace faltrix::tga

FALTRIX_KIT_INPUT_PLUGIN(faltrix::tga)
