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

inline RGBQUAD Quad(uint8_t r, uint8_t g, uint8_t b) { return RGBQUAD{b, g, r, 0}; }

// A BITMAPINFO with room for a full colour table or three masks.
struct Info {
    BITMAPINFOHEADER header{};
    RGBQUAD colours[256]{};

    Info(int bits, int32_t width, int32_t height, DWORD compression = BI_RGB) {
        header = {sizeof(BITMAPINFOHEADER), width, height, 1, static_cast<WORD>(bits), compression, 0, 0, 0, 0, 0};
    }
    Info &Masks(DWORD r, DWORD g, DWORD b) {
        const DWORD m[3] = {r, g, b};
        std::memcpy(colours, m, sizeof m);
        header.biCompression = BI_BITFIELDS;
        return *this;
    }
    Info &Colours(std::vector<RGBQUAD> table) {
        header.biClrUsed = static_cast<DWORD>(table.size());
        std::copy(table.begin(), table.end(), colours);
        return *this;
    }
    template <typename T, typename V>
    Info &Set(T BITMAPINFOHEADER::*field, V value) {
        header.*field = static_cast<T>(value);
        return *this;
    }
    const BITMAPINFO *get() const { return reinterpret_cast<const BITMAPINFO *>(this); }
};

// A DIB section selected into a memory DC; both ended when it goes.
class Surface {
public:
    explicit Surface(const Info &info)
        : bitmap_(CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits_, nullptr, 0)),
          dc_(CreateCompatibleDC(nullptr)), width_(info.header.biWidth),
          height_(std::abs(info.header.biHeight)), topDown_(info.header.biHeight < 0),
          bitCount_(info.header.biBitCount), stride_(DibStride(width_, bitCount_)) {
        if (bitmap_ != nullptr) SelectObject(dc_, bitmap_);
    }
    ~Surface() {
        DeleteDC(dc_);
        DeleteObject(bitmap_);
    }
    Surface(const Surface &) = delete;
    Surface &operator=(const Surface &) = delete;

    bool ok() const { return bitmap_ != nullptr; }
    HDC dc() const { return dc_; }
    HBITMAP bitmap() const { return bitmap_; }
    uint8_t *bits() const { return static_cast<uint8_t *>(bits_); }
    uint32_t stride() const { return stride_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    // Row y counted from the top.
    uint8_t *Row(int32_t y) const { return DibRow(bits(), stride_, height_, topDown_, y); }
    // The bytes that hold pixels of row y (no padding; a partial last byte is masked).
    std::vector<uint8_t> PixelBytes(int32_t y) const {
        const size_t bitsUsed = static_cast<size_t>(width_) * static_cast<size_t>(bitCount_);
        std::vector<uint8_t> out(Row(y), Row(y) + (bitsUsed + 7) / 8);
        if (bitsUsed % 8 != 0) out.back() &= static_cast<uint8_t>(0xFF << (8 - bitsUsed % 8));
        return out;
    }
    // Every pixel as GetPixel reads it, top row first.
    std::vector<COLORREF> Pixels() const {
        std::vector<COLORREF> out;
        for (int32_t y = 0; y < height_; ++y)
            for (int32_t x = 0; x < width_; ++x) out.push_back(GetPixel(dc_, x, y));
        return out;
    }
    // Every byte of pixel memory, padding included, from a fixed seed.
    void FillRandom(unsigned seed) const {
        std::mt19937 rng(seed);
        for (size_t i = 0; i < size_t{stride_} * static_cast<size_t>(height_); ++i) bits()[i] = static_cast<uint8_t>(rng());
    }

private:
    void *bits_ = nullptr;  // before bitmap_, which fills it in
    HBITMAP bitmap_;
    HDC dc_;
    int32_t width_, height_;
    bool topDown_;
    int bitCount_;
    uint32_t stride_;
};

}  // namespace faltrix::test
