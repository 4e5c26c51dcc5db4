// Helpers of the graphics layer's tests: DIB sections made from a few words, kept selected
// in a memory DC of their own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "faltrix/dib_layout.h"
#include "faltrix/gdi.h"

namespace faltrix::test {

// Names a case of a table after its row's name.
inline constexpr auto kCaseName = [](const auto &info) { return std::string(info.param.name); };

inline RGBQUAD Quad(uint8_t r, uint8_t g, uint8_t b) { return RGBQUAD{b, g, r, 0}; }
inline const HBRUSH kWhiteBrush = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));

// A BITMAPINFO with room for a full colour table or three masks.
struct Info {
    BITMAPINFOHEADER header{};
    RGBQUAD colours[256]{};

    Info(int bits, int32_t width, int32_t height, DWORD compression = BI_RGB) {
        header = {sizeof header, width, height, 1, WORD(bits), compression, 0, 0, 0, 0, 0};
    }
    Info &Masks(DWORD r, DWORD g, DWORD b) {
        const DWORD m[3] = {r, g, b};
        std::memcpy(colours, m, sizeof m);
        return Set(&BITMAPINFOHEADER::biCompression, BI_BITFIELDS);
    }
    Info &Colours(std::vector<RGBQUAD> table) {
        std::copy(table.begin(), table.end(), colours);
        return Set(&BITMAPINFOHEADER::biClrUsed, table.size());
    }
    template <typename T, typename V>
    Info &Set(T BITMAPINFOHEADER::*field, V value) {
        header.*field = static_cast<T>(value);
        return *this;
    }
    const BITMAPINFO *get() const { return reinterpret_cast<const BITMAPINFO *>(this); }
};

// A DIB section selected into a memory DC; both ended when it goes.
struct Surface {
    explicit Surface(const Info &info)
        : header(info.header),
          bitmap(CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits, nullptr, 0)) {
        SelectObject(dc, bitmap);
    }
    ~Surface() {
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    Surface(const Surface &) = delete;

    uint32_t stride() const { return DibStride(header.biWidth, header.biBitCount); }
    // Row y counted from the top.
    uint8_t *Row(int32_t y) const {
        return DibRow(static_cast<uint8_t *>(bits), stride(), std::abs(header.biHeight),
                      header.biHeight < 0, y);
    }
    // The bytes that hold pixels of row y (no padding; a partial last byte is masked).
    std::vector<uint8_t> PixelBytes(int32_t y) const {
        const size_t used = static_cast<size_t>(header.biWidth) * header.biBitCount;
        std::vector<uint8_t> out(Row(y), Row(y) + (used + 7) / 8);
        if (used % 8 != 0) out.back() &= static_cast<uint8_t>(0xFF << (8 - used % 8));
        return out;
    }
    // Every pixel as GetPixel reads it, top row first.
    std::vector<COLORREF> Pixels() const {
        std::vector<COLORREF> out;
        for (int32_t y = 0; y < std::abs(header.biHeight); ++y)
            for (int32_t x = 0; x < header.biWidth; ++x) out.push_back(GetPixel(dc, x, y));
        return out;
    }
    // Every byte of pixel memory, padding included, from a fixed seed.
    void FillRandom(unsigned seed) const {
        std::mt19937 rng(seed);
        for (size_t i = 0; i < size_t{stride()} * std::abs(header.biHeight); ++i)
            static_cast<uint8_t *>(bits)[i] = uint8_t(rng());
    }

    const BITMAPINFOHEADER header;
    void *bits = nullptr;  // before bitmap, which fills it in
    const HBITMAP bitmap;
    const HDC dc = CreateCompatibleDC(nullptr);
};

}  // namespace faltrix::test
