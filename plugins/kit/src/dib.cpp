// Limits and DIB allocation for decoders.
#include <cstring>

#include "faltrix/dib_layout.h"
#include "faltrix/kit/kit.h"

namespace faltrix::kit {

bool WithinLimits(int64_t width, int64_t height) {
    if (width < 1 || height < 1) return Fail("the picture has no pixels");
    if (width > kMaxSide || height > kMaxSide ||
        static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxPixels)
        return Fail("the picture is larger than the decoding limits");
    return true;
}

uint32_t DibStride(int64_t width, int bitCount) {
    switch (bitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32: break;
    default: return 0;  // depths a DIB section cannot have
    }
    // The padding rule shared with the graphics layer.
    return faltrix::DibStride(width, bitCount);
}

std::vector<RGBQUAD> GreyPalette(int bitCount) {
    std::vector<RGBQUAD> palette;
    if (bitCount != 1 && bitCount != 2 && bitCount != 4 && bitCount != 8) return palette;
    const int n = 1 << bitCount;
    palette.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const auto v = static_cast<BYTE>(i * 255 / (n - 1));
        palette[static_cast<size_t>(i)] = RGBQUAD{v, v, v, 0};
    }
    return palette;
}

void KeepFullTransparency(const Dib &dib, int32_t width, int32_t height) {
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t *row = dib.Row(y);
        for (int32_t x = 0; x < width; ++x) {
            if (row[4 * size_t(x) + 3] != 0) return;
        }
    }
    if (width > 0 && height > 0) dib.Row(0)[3] = 1;
}

bool AllocateDib(DibAllocCallbackFn alloc, const DibSpec &spec, Dib *out) {
    if (!out) return false;
    *out = Dib{};
    if (!WithinLimits(spec.width, spec.height)) return false;
    const uint32_t stride = DibStride(spec.width, spec.bitCount);
    if (stride == 0) return Fail("no picture of that depth and width can be made");
    const bool palettised = spec.bitCount <= 8;
    if (palettised && (spec.palette.empty() || spec.palette.size() > (size_t{1} << spec.bitCount)))
        return Fail("the colour table does not suit the depth");
    const bool bitfields = !palettised && (spec.masks[0] | spec.masks[1] | spec.masks[2]) != 0;
    if (bitfields && spec.bitCount != 16 && spec.bitCount != 32)
        return Fail("masks on a depth without them");

    // Header followed by up to 256 colour entries (or three masks).
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colors[256];
    } info;
    std::memset(&info, 0, sizeof info);
    BITMAPINFOHEADER &h = info.header;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = spec.width;
    h.biHeight = spec.topDown ? -spec.height : spec.height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(spec.bitCount);
    h.biCompression = bitfields ? BI_BITFIELDS : BI_RGB;
    h.biXPelsPerMeter = spec.xPelsPerMeter;
    h.biYPelsPerMeter = spec.yPelsPerMeter;
    if (palettised) {
        h.biClrUsed = static_cast<DWORD>(spec.palette.size());
        std::memcpy(info.colors, spec.palette.data(), spec.palette.size() * sizeof(RGBQUAD));
    } else if (bitfields) {
        std::memcpy(info.colors, spec.masks.data(), sizeof(uint32_t) * 3);
    }

    void *bits = nullptr;
    const auto *bmi = reinterpret_cast<const BITMAPINFO *>(&info);
    HBITMAP bitmap = alloc ? alloc(nullptr, bmi, DIB_RGB_COLORS, &bits, nullptr, 0)
                           : CreateDIBSection(nullptr, bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) return Fail("not enough memory for the picture");
    if (!bits) {
        DeleteObject(bitmap);
        return Fail("not enough memory for the picture");
    }
    // The layer's own idea of the row length wins over ours, should they ever differ.
    DIBSECTION ds;
    if (GetObjectW(bitmap, sizeof ds, &ds) == static_cast<int>(sizeof ds) &&
        ds.dsBm.bmWidthBytes > 0 && static_cast<uint32_t>(ds.dsBm.bmWidthBytes) >= stride)
        out->stride = static_cast<uint32_t>(ds.dsBm.bmWidthBytes);
    else out->stride = stride;
    out->bitmap = bitmap;
    out->bits = static_cast<uint8_t *>(bits);
    out->height = spec.height;
    out->topDown = spec.topDown;
    return true;
}

}  // namespace faltrix::kit
