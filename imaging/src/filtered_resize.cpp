// The converter's resizing filters through libswscale, which resamples separably (a row pass
// and a column pass) with the filter's support widened by the reduction, so that shrinking
// averages what it drops rather than skipping it. Colour with transparency is resized
// premultiplied, so that the colours of clear pixels do not bleed into their neighbours; a
// palette picture is resized in true colour.
#include "faltrix/resample.h"
#include "swscale_shared.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace faltrix {
namespace {

// The resolution a resized picture keeps: its pels per metre scaled with it, so that it
// prints at the size it had (300 dpi at half the width is 150), as the area-averaging resize
// scales them. Truncated, as there; 0 (unknown) stays 0.
struct Resolution {
    LONG x = 0, y = 0;
};
LONG ScaledPels(LONG pels, uint32_t to, uint32_t from) {
    const double value = double(pels) * double(to) / double(from);
    return value >= 2147483647.0 ? LONG(2147483647) : value <= 0 ? 0 : static_cast<LONG>(value);
}

// A top-down DIB section of `bits` bits a pixel (24 or 32).
HBITMAP NewSection(uint32_t width, uint32_t height, int bits, uint8_t **pixels,
                   Resolution resolution = {}) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biXPelsPerMeter = resolution.x;
    info.bmiHeader.biYPelsPerMeter = resolution.y;
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = static_cast<WORD>(bits);
    info.bmiHeader.biCompression = BI_RGB;
    void *bitsOut = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bitsOut, nullptr, 0);
    *pixels = static_cast<uint8_t *>(bitsOut);
    return bitsOut != nullptr ? bitmap
                              : (bitmap != nullptr ? (DeleteObject(bitmap), nullptr) : nullptr);
}

uint32_t Stride(uint32_t width, int bits) { return (width * uint32_t(bits) + 31) / 32 * 4; }

// Rows of `bits` bits a pixel from first to last, as swscale wants them: a bottom-up section
// is read from its last row with a negative stride.
struct Rows {
    const uint8_t *first;
    int stride;
};
Rows RowsOf(const uint8_t *bits, uint32_t height, uint32_t stride, bool topDown) {
    if (topDown) return {bits, static_cast<int>(stride)};
    return {bits + size_t(height - 1) * stride, -static_cast<int>(stride)};
}

bool Scale(ResizeFilter filter, const Rows &given, uint32_t w, uint32_t h, AVPixelFormat format,
           uint8_t *out, uint32_t ow, uint32_t oh, uint32_t outStride) {
    // A picture too narrow for libswscale's filters, widened first (see swscale_shared.h).
    const uint32_t repeats = ColumnRepeats(w);
    std::vector<uint8_t> widened;
    Rows in = given;
    if (repeats > 1) {
        const size_t pixelBytes = format == AV_PIX_FMT_BGRA ? 4 : 3;
        widened = RepeatColumns(given.first, given.stride, w, h, pixelBytes, repeats);
        w *= repeats;
        in = {widened.data(), static_cast<int>(w * pixelBytes)};
    }
    double lanczos[2] = {3, 0};
    SwsContext *context =
        sws_getContext(static_cast<int>(w), static_cast<int>(h), format, static_cast<int>(ow),
                       static_cast<int>(oh), format, SwscaleFlags(filter), nullptr, nullptr,
                       filter == ResizeFilter::Lanczos3 ? lanczos : nullptr);
    if (context == nullptr) return false;
    const uint8_t *const source[4] = {in.first, nullptr, nullptr, nullptr};
    const int sourceStride[4] = {in.stride, 0, 0, 0};
    uint8_t *const target[4] = {out, nullptr, nullptr, nullptr};
    const int targetStride[4] = {static_cast<int>(outStride), 0, 0, 0};
    const int rows =
        sws_scale(context, source, sourceStride, 0, static_cast<int>(h), target, targetStride);
    sws_freeContext(context);
    return rows == static_cast<int>(oh);
}

}  // namespace

std::optional<ResizeFilter> ResizeFilterNamed(std::string_view name) {
    static constexpr std::pair<std::string_view, ResizeFilter> kNames[] = {
        {"lanczos3", ResizeFilter::Lanczos3}, {"lanczos", ResizeFilter::Lanczos3},
        {"bicubic", ResizeFilter::Bicubic},   {"triangle", ResizeFilter::Triangle},
        {"linear", ResizeFilter::Triangle},   {"box", ResizeFilter::Box},
        {"area", ResizeFilter::Area},         {"nearest", ResizeFilter::Nearest}};
    for (const auto &[known, filter] : kNames)
        if (name == known) return filter;
    return std::nullopt;
}

namespace {

// Whether any pixel of a 32-bit B, G, R, A picture has a non-zero alpha byte.
bool HasAlpha(const uint8_t *bits, uint32_t w, uint32_t h) {
    const uint32_t stride = Stride(w, 32);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if (bits[size_t(y) * stride + 4 * x + 3] != 0) return true;
    return false;
}

// A 32-bit picture with alpha resized premultiplied, so that transparent pixels lend no
// colour to their neighbours, then divided back.
HBITMAP ResizeWithAlpha(const uint8_t *bits, uint32_t w, uint32_t h, bool topDown, uint32_t width,
                        uint32_t height, ResizeFilter filter, Resolution resolution) {
    const uint32_t stride = Stride(w, 32);
    std::vector<uint8_t> premultiplied(size_t(stride) * h);
    for (size_t i = 0; i < premultiplied.size(); i += 4) {
        const unsigned a = bits[i + 3];
        for (int c = 0; c < 3; ++c)
            premultiplied[i + c] = static_cast<uint8_t>((bits[i + c] * a + 127) / 255);
        premultiplied[i + 3] = static_cast<uint8_t>(a);
    }
    uint8_t *out = nullptr;
    HBITMAP result = NewSection(width, height, 32, &out, resolution);
    if (result == nullptr) return nullptr;
    const uint32_t outStride = Stride(width, 32);
    if (!Scale(filter, RowsOf(premultiplied.data(), h, stride, topDown), w, h, AV_PIX_FMT_BGRA, out,
               width, height, outStride)) {
        DeleteObject(result);
        return nullptr;
    }
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t *row = out + size_t(y) * outStride;
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t *px = row + 4 * x;
            const unsigned a = px[3];
            for (int c = 0; c < 3; ++c)
                px[c] =
                    a == 0 ? 0 : static_cast<uint8_t>(std::min(255u, (px[c] * 255u + a / 2) / a));
        }
    }
    return result;
}

}  // namespace

HBITMAP FilteredResize(HBITMAP source, const DIBSECTION &section, uint32_t width, uint32_t height,
                       ResizeFilter filter) {
    const BITMAPINFOHEADER &header = section.dsBmih;
    const uint32_t w = static_cast<uint32_t>(header.biWidth);
    const uint32_t h =
        static_cast<uint32_t>(header.biHeight < 0 ? -header.biHeight : header.biHeight);
    const bool topDown = header.biHeight < 0;
    const auto *bits = static_cast<const uint8_t *>(section.dsBm.bmBits);
    if (bits == nullptr || w == 0 || h == 0 || width == 0 || height == 0 ||
        !IsSwscaleFilter(filter))
        return nullptr;

    const Resolution resolution{ScaledPels(header.biXPelsPerMeter, width, w),
                                ScaledPels(header.biYPelsPerMeter, height, h)};
    // 32-bit with some alpha: premultiplied B, G, R, A, and back. (All alpha 0 means opaque.)
    if (header.biBitCount == 32 && header.biCompression == BI_RGB && HasAlpha(bits, w, h))
        return ResizeWithAlpha(bits, w, h, topDown, width, height, filter, resolution);

    // Everything else as B, G, R: 24-bit rows as they are, other depths and palettes copied
    // into a 24-bit section first by the graphics layer.
    std::vector<uint8_t> converted;
    const uint8_t *rgb = bits;
    uint32_t stride = Stride(w, 24);
    bool rgbTopDown = topDown;
    if (header.biBitCount != 24) {
        uint8_t *copy = nullptr;
        HBITMAP temporary = NewSection(w, h, 24, &copy);
        if (temporary == nullptr) return nullptr;
        HDC from = CreateCompatibleDC(nullptr), to = CreateCompatibleDC(nullptr);
        SelectObject(from, source);
        SelectObject(to, temporary);
        const bool copied =
            BitBlt(to, 0, 0, static_cast<int>(w), static_cast<int>(h), from, 0, 0, SRCCOPY) != 0;
        DeleteDC(from);
        DeleteDC(to);
        if (copied) converted.assign(copy, copy + size_t(stride) * h);
        DeleteObject(temporary);
        if (!copied) return nullptr;
        rgb = converted.data();
        rgbTopDown = true;
    }
    uint8_t *out = nullptr;
    HBITMAP result = NewSection(width, height, 24, &out, resolution);
    if (result == nullptr) return nullptr;
    if (!Scale(filter, RowsOf(rgb, h, stride, rgbTopDown), w, h, AV_PIX_FMT_BGR24, out, width,
               height, Stride(width, 24))) {
        DeleteObject(result);
        return nullptr;
    }
    return result;
}

}  // namespace faltrix
