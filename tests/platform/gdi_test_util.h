// Helpers of the graphics layer's tests: DIB sections made from a few words, kept selected
// in a memory DC of their own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "faltrix/dib_layout.h"
#include "faltrix/gdi.h"

namespace faltrix::test {

// A BITMAPINFO with room for a full colour table or three masks.
struct Info {
    BITMAPINFOHEADER header{};
    RGBQUAD colours[256]{};

    Info(int bits, int32_t width, int32_t height, DWORD compression = BI_RGB) {
        header.biSize = sizeof(BITMAPINFOHEADER);
        header.biWidth = width;
        header.biHeight = height;
        header.biPlanes = 1;
        header.biBitCount = static_cast<WORD>(bits);
        header.biCompression = compression;
    }
    void SetMasks(DWORD r, DWORD g, DWORD b) {
        const DWORD m[3] = {r, g, b};
        std::memcpy(colours, m, sizeof m);
        header.biCompression = BI_BITFIELDS;
    }
    const BITMAPINFO *get() const { return reinterpret_cast<const BITMAPINFO *>(this); }
};

inline RGBQUAD Quad(uint8_t r, uint8_t g, uint8_t b) { return RGBQUAD{b, g, r, 0}; }

// A DIB section selected into a memory DC; both ended when it goes.
class Surface {
public:
    explicit Surface(const Info &info) {
        bitmap_ = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits_, nullptr, 0);
        dc_ = CreateCompatibleDC(nullptr);
        if (bitmap_ != nullptr) SelectObject(dc_, bitmap_);
        width_ = info.header.biWidth;
        height_ = info.header.biHeight < 0 ? -info.header.biHeight : info.header.biHeight;
        topDown_ = info.header.biHeight < 0;
        stride_ = DibStride(width_, info.header.biBitCount);
        bitCount_ = info.header.biBitCount;
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
    // Every pixel as GetPixel reads it, top row first, as text for readable failures.
    std::string Grid() const {
        std::string s;
        char buf[16];
        for (int32_t y = 0; y < height_; ++y) {
            for (int32_t x = 0; x < width_; ++x) {
                std::snprintf(buf, sizeof buf, "%06x ", static_cast<unsigned>(GetPixel(dc_, x, y)));
                s += buf;
            }
            s += '\n';
        }
        return s;
    }

private:
    HBITMAP bitmap_ = nullptr;
    HDC dc_ = nullptr;
    void *bits_ = nullptr;
    int32_t width_ = 0, height_ = 0;
    bool topDown_ = false;
    uint32_t stride_ = 0;
    int bitCount_ = 0;
};

// A 24-bit surface whose pixel (x, y) holds the colour RGB(16 * x + 1, 16 * y + 2, 99).
inline Info Gradient24Info(int32_t w, int32_t h) { return Info(24, w, h); }
inline COLORREF GradientColour(int32_t x, int32_t y) {
    return RGB(16 * x + 1, 16 * y + 2, 99);
}
inline void PaintGradient(const Surface &s) {
    for (int32_t y = 0; y < s.height(); ++y) {
        for (int32_t x = 0; x < s.width(); ++x) {
            const COLORREF c = GradientColour(x, y);
            uint8_t *p = s.Row(y) + 3 * x;
            p[0] = GetBValue(c);
            p[1] = GetGValue(c);
            p[2] = GetRValue(c);
        }
    }
}

}  // namespace faltrix::test
