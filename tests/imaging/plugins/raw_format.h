// A tiny picture format for the pipeline's tests: the DIB a decoder should hand over, stored
// as it lies in memory.
//
//   RawHeader, then `colourCount` RGBQUADs, then stride * |dib.biHeight| bytes of pixels in
//   memory order.
//
// The input plug-in's GetPictureInfo answers infoWidth x infoHeight, which a test may set
// apart from the DIB's own size. The output plug-in writes what it was handed in the same
// layout (the info size then repeats the DIB's), so a test reads a stored picture back with
// ReadRaw.
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
    int32_t infoWidth, infoHeight;
    BITMAPINFOHEADER dib;
    uint32_t colourCount;
};

struct RawPicture {
    int32_t infoWidth = 0, infoHeight = 0;
    BITMAPINFOHEADER dib{};
    std::vector<RGBQUAD> colours;
    std::vector<uint8_t> pixels;  // memory order
};

inline uint32_t Stride(const BITMAPINFOHEADER &h) {
    return ((static_cast<uint32_t>(h.biWidth) * h.biBitCount + 31) / 32) * 4;
}
inline uint32_t Rows(const BITMAPINFOHEADER &h) {
    return static_cast<uint32_t>(h.biHeight < 0 ? -h.biHeight : h.biHeight);
}

// Whole writes and reads; no bytes make no call.
inline bool Put(FILE *f, const void *data, size_t bytes) {
    return bytes == 0 || std::fwrite(data, 1, bytes, f) == bytes;
}
inline bool Get(FILE *f, void *data, size_t bytes) { return bytes == 0 || std::fread(data, 1, bytes, f) == bytes; }

// Writes a picture whose pixels lie at `pixels` (stride * |height| bytes).
inline bool WriteRaw(const std::string &path, const RawPicture &p, const uint8_t *pixels) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const RawHeader h{{'F', 'R', 'W', '1'}, p.infoWidth, p.infoHeight, p.dib, static_cast<uint32_t>(p.colours.size())};
    const bool ok = Put(f, &h, sizeof h) && Put(f, p.colours.data(), p.colours.size() * sizeof(RGBQUAD)) &&
                    Put(f, pixels, static_cast<size_t>(Stride(p.dib)) * Rows(p.dib));
    return std::fclose(f) == 0 && ok;
}
inline bool WriteRaw(const std::string &path, const RawPicture &p) { return WriteRaw(path, p, p.pixels.data()); }

// Reads the header and colours; the pixels follow at the file's position.
inline bool ReadRawHeader(FILE *f, RawPicture *p) {
    RawHeader h{};
    if (!Get(f, &h, sizeof h) || std::memcmp(h.magic, "FRW1", 4) != 0 || h.colourCount > 256) return false;
    *p = RawPicture{h.infoWidth, h.infoHeight, h.dib, std::vector<RGBQUAD>(h.colourCount), {}};
    return Get(f, p->colours.data(), h.colourCount * sizeof(RGBQUAD));
}

inline bool ReadRaw(const std::string &path, RawPicture *p, bool withPixels = true) {
    FILE *f = std::fopen(path.c_str(), "rb");
    bool ok = f != nullptr && ReadRawHeader(f, p);
    if (ok && withPixels) p->pixels.resize(static_cast<size_t>(Stride(p->dib)) * Rows(p->dib));
    ok = ok && Get(f, p->pixels.data(), p->pixels.size());
    if (f != nullptr) std::fclose(f);
    return ok;
}

}  // namespace raw_test
