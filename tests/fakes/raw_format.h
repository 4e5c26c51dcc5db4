// A tiny picture format for the pipeline's tests and benchmarks: a DIB section as it lies in
// memory. A file holds a RawHead, then the section's pixels in memory order. The input
// plug-in's GetPictureInfo answers infoWidth x infoHeight, which a test may set apart from
// the picture's own size; the output plug-in writes the section it is handed, with its size.
// The sections themselves are made and held the same way by the plug-ins' readers, the tests
// and the benchmark: filled with noise, and selected into a memory DC of their own.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "faltrix/plugin.h"

namespace raw_test {

struct RawHead {
    char magic[4];
    int32_t infoWidth, infoHeight;
    BITMAPINFOHEADER dib;  // followed by the colours: the picture's BITMAPINFO
    RGBQUAD colours[256];
};

// The description of a DIB section; all zero (no pixel memory) for anything else.
inline DIBSECTION Describe(HGDIOBJ bitmap) {
    DIBSECTION ds{};
    if (bitmap == nullptr || GetObjectW(bitmap, sizeof ds, &ds) != static_cast<int>(sizeof ds))
        return {};
    return ds;
}
inline size_t PixelBytes(const DIBSECTION &ds) {
    return static_cast<size_t>(ds.dsBm.bmWidthBytes) * static_cast<size_t>(ds.dsBm.bmHeight);
}

// A new DIB section of the size, bit count, colours and compression given (3780 pixels per
// metre), its pixel memory filled with noise seeded by the size; null when the graphics layer
// refuses the header.
inline HBITMAP NoiseSection(int32_t width, int32_t height, int bits,
                            const std::vector<RGBQUAD> &colours = {}, DWORD clrUsed = 0,
                            DWORD compression = BI_RGB) {
    RawHead info{};
    info.dib = {40, width, height, 1, WORD(bits), compression, 0, 3780, 3780, clrUsed, 0};
    std::copy(colours.begin(), colours.end(), info.colours);
    void *pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO *>(&info.dib),
                                      DIB_RGB_COLORS, &pixels, nullptr, 0);
    std::mt19937 random(static_cast<uint32_t>(width) * 7919u + static_cast<uint32_t>(height));
    const auto next = [&random] { return static_cast<uint8_t>(random()); };
    std::generate_n(static_cast<uint8_t *>(pixels), PixelBytes(Describe(bitmap)), next);
    return bitmap;
}

// A DIB section selected into a memory DC of its own; both deleted with the object.
struct Selected {
    explicit Selected(HBITMAP taken) : bitmap(taken) { SelectObject(dc, bitmap); }
    ~Selected() {
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    Selected(const Selected &) = delete;
    Selected &operator=(const Selected &) = delete;
    HBITMAP bitmap;
    HDC dc = CreateCompatibleDC(nullptr);
};

// Writes the DIB section selected in dc, with its header and colour table.
inline bool WriteRaw(const std::string &path, HDC dc, int32_t infoWidth, int32_t infoHeight) {
    RawHead head{{'F', 'R', 'W', '1'}, infoWidth, infoHeight, {}, {}};
    const DIBSECTION ds = Describe(GetCurrentObject(dc, OBJ_BITMAP));
    if (ds.dsBm.bmBits == nullptr) return false;
    head.dib = ds.dsBmih;
    GetDIBColorTable(dc, 0, 256, head.colours);
    FILE *f = std::fopen(path.c_str(), "wb");
    const bool ok = f != nullptr && std::fwrite(&head, sizeof head, 1, f) == 1 &&
                    std::fwrite(ds.dsBm.bmBits, 1, PixelBytes(ds), f) == PixelBytes(ds);
    return f != nullptr && std::fclose(f) == 0 && ok;
}

// Reads a raw file's head and, given an allocator, its picture into a new DIB section that
// the allocator makes (*picture, the caller's). False, with no section, when the file is no
// raw picture or the section cannot be had or filled.
inline bool ReadRaw(const std::string &path, RawHead *head, DibAllocCallbackFn alloc = nullptr,
                    HBITMAP *picture = nullptr) {
    FILE *f = std::fopen(path.c_str(), "rb");
    bool ok = f != nullptr && std::fread(head, sizeof *head, 1, f) == 1 &&
              std::memcmp(head->magic, "FRW1", 4) == 0;
    if (ok && alloc != nullptr) {
        void *bits = nullptr;
        *picture = alloc(nullptr, reinterpret_cast<BITMAPINFO *>(&head->dib), DIB_RGB_COLORS, &bits,
                         nullptr, 0);
        const size_t bytes = PixelBytes(Describe(*picture));
        ok = bytes != 0 && std::fread(bits, 1, bytes, f) == bytes;
        if (!ok && *picture != nullptr) DeleteObject(*picture);
        if (!ok) *picture = nullptr;
    }
    if (f != nullptr) std::fclose(f);
    return ok;
}

}  // namespace raw_test

namespace raw_test {

// Frames: a raw file of several pictures is their records one after another, each frame's
// delay in milliseconds in its header's biClrImportant, then optionally a trailer: "LOOP",
// the loop count and the frame count the file claims (0: the records counted).
struct RawTrailer {
    char magic[4] = {'L', 'O', 'O', 'P'};
    int32_t loopCount = 0;
    int32_t claimedFrames = 0;
};

// The byte offsets of the records of the file at path, and its trailer (a default one when
// it has none). False when the file holds no whole first record.
inline bool ScanRawFrames(const std::string &path, std::vector<long> *offsets,
                          RawTrailer *trailer) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    *trailer = RawTrailer{};
    RawHead head;
    long at = 0;
    for (;;) {
        RawTrailer found;
        if (std::fseek(f, at, SEEK_SET) != 0 || std::fread(&found, sizeof found, 1, f) != 1) break;
        if (std::memcmp(found.magic, "LOOP", 4) == 0) {
            *trailer = found;
            break;
        }
        if (std::fseek(f, at, SEEK_SET) != 0 || std::fread(&head, sizeof head, 1, f) != 1 ||
            std::memcmp(head.magic, "FRW1", 4) != 0)
            break;
        offsets->push_back(at);
        const int64_t rows =
            head.dib.biHeight < 0 ? -int64_t(head.dib.biHeight) : head.dib.biHeight;
        const int64_t stride = ((int64_t(head.dib.biWidth) * head.dib.biBitCount + 31) / 32) * 4;
        at += long(sizeof head + stride * rows);
    }
    std::fclose(f);
    return !offsets->empty();
}

}  // namespace raw_test
