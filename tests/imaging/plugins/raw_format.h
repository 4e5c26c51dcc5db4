// A tiny picture format for the pipeline's tests: the DIB a decoder should hand over, stored
// as it lies in memory.
//
//   RawHeader, then `colourCount` RGBQUADs (or 3 DWORD masks for BI_BITFIELDS, colourCount 3),
//   then stride * |dib.biHeight| bytes of pixels in memory order.
//
// GetPictureInfo answers infoWidth x infoHeight, which a test may set apart from the DIB's
// own size. The output plug-in writes what it was handed in the same layout (infoWidth and
// infoHeight then repeat the DIB's width and height), so a test reads a stored picture back
// with ReadRaw.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "faltrix/gdi.h"

namespace raw_test {

struct RawHeader {
    char magic[4];
    int32_t infoWidth;
    int32_t infoHeight;
    BITMAPINFOHEADER dib;
    uint32_t colourCount;
};

struct RawPicture {
    int32_t infoWidth = 0;
    int32_t infoHeight = 0;
    BITMAPINFOHEADER dib{};
    std::vector<RGBQUAD> colours;  // palette, or the three masks as 12 bytes in 3 entries
    std::vector<uint8_t> pixels;   // memory order
};

inline uint32_t Stride(const BITMAPINFOHEADER &h) {
    return ((static_cast<uint32_t>(h.biWidth) * h.biBitCount + 31) / 32) * 4;
}
inline uint32_t Rows(const BITMAPINFOHEADER &h) {
    return static_cast<uint32_t>(h.biHeight < 0 ? -h.biHeight : h.biHeight);
}

// Writes a picture whose pixels lie at `pixels` (stride * |height| bytes).
inline bool WriteRaw(const std::string &path, const RawPicture &p, const uint8_t *pixels) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    RawHeader h{};
    std::memcpy(h.magic, "FRW1", 4);
    h.infoWidth = p.infoWidth;
    h.infoHeight = p.infoHeight;
    h.dib = p.dib;
    h.colourCount = static_cast<uint32_t>(p.colours.size());
    const size_t bytes = static_cast<size_t>(Stride(p.dib)) * Rows(p.dib);
    bool ok = std::fwrite(&h, sizeof h, 1, f) == 1;
    if (ok && !p.colours.empty()) ok = std::fwrite(p.colours.data(), sizeof(RGBQUAD), p.colours.size(), f) == p.colours.size();
    if (ok && bytes != 0) ok = std::fwrite(pixels, 1, bytes, f) == bytes;
    return std::fclose(f) == 0 && ok;
}
inline bool WriteRaw(const std::string &path, const RawPicture &p) { return WriteRaw(path, p, p.pixels.data()); }

// Reads the header and colours; the pixels follow at the file's position.
inline bool ReadRawHeader(FILE *f, RawPicture *p) {
    RawHeader h{};
    bool ok = std::fread(&h, sizeof h, 1, f) == 1 && std::memcmp(h.magic, "FRW1", 4) == 0 && h.colourCount <= 256 &&
              h.dib.biWidth > 0 && h.dib.biWidth < (1 << 20) && h.dib.biHeight != 0 &&
              h.dib.biHeight > -(1 << 20) && h.dib.biHeight < (1 << 20);
    if (!ok) return false;
    p->infoWidth = h.infoWidth;
    p->infoHeight = h.infoHeight;
    p->dib = h.dib;
    p->colours.resize(h.colourCount);
    return h.colourCount == 0 || std::fread(p->colours.data(), sizeof(RGBQUAD), h.colourCount, f) == h.colourCount;
}

inline bool ReadRaw(const std::string &path, RawPicture *p, bool withPixels = true) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bool ok = ReadRawHeader(f, p);
    if (ok && withPixels) {
        p->pixels.resize(static_cast<size_t>(Stride(p->dib)) * Rows(p->dib));
        ok = std::fread(p->pixels.data(), 1, p->pixels.size(), f) == p->pixels.size();
    }
    std::fclose(f);
    return ok;
}

// UTF-16 path (ASCII only in the tests) to a byte string.
inline bool Narrow(const char16_t *path, std::string *out) {
    out->clear();
    if (path == nullptr || path[0] == 0) return false;
    for (; *path != 0; ++path) {
        if (*path >= 0x80) return false;
        out->push_back(static_cast<char>(*path));
    }
    return true;
}

}  // namespace raw_test
