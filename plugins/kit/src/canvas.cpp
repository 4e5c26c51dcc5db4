// Pages fitted to the first page's canvas: the overlap copied in the page's own samples where
// they can stay, the rest padded.
#include "faltrix/kit/canvas.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "faltrix/dib_layout.h"
#include "faltrix/kit/kit.h"
#include "faltrix/kit/metadata.h"

namespace faltrix::kit {
namespace {

// The index of pure white in a palette, or -1.
int WhiteIndex(const std::vector<RGBQUAD> &palette) {
    for (size_t i = 0; i < palette.size(); ++i) {
        const RGBQUAD &q = palette[i];
        if (q.rgbRed == 255 && q.rgbGreen == 255 && q.rgbBlue == 255) return static_cast<int>(i);
    }
    return -1;
}

// Fills the canvas with the padding and copies the overlap, row by row.
void Compose(const SourcePicture &src, const Dib &canvas, const DibSpec &spec, int white) {
    const int32_t w = std::min(src.width(), spec.width), h = std::min(src.height(), spec.height);
    const bool indices = spec.bitCount <= 8;
    const size_t bytes = indices ? 0 : static_cast<size_t>(spec.bitCount / 8);
    std::vector<uint8_t> bgra(static_cast<size_t>(src.width()) * 4);
    for (int32_t y = 0; y < spec.height; ++y) {
        uint8_t *out = canvas.Row(y);
        const int32_t copied = y < h ? w : 0;
        if (indices) {
            for (int32_t x = 0; x < spec.width; ++x)
                WriteDibIndex(out, size_t(x), spec.bitCount,
                              x < copied ? ReadDibIndex(src.Row(y), size_t(x), spec.bitCount)
                                         : uint32_t(white));
            continue;
        }
        // White, and for 32 bits transparent white: alpha 0 after the colour bytes.
        std::memset(out, 255, bytes * size_t(spec.width));
        if (bytes == 4)
            for (int32_t x = copied; x < spec.width; ++x) out[4 * size_t(x) + 3] = 0;
        if (copied == 0) continue;
        src.RowToBGRA(y, bgra.data());
        for (int32_t x = 0; x < copied; ++x)
            std::memcpy(out + bytes * size_t(x), bgra.data() + 4 * size_t(x), bytes);
    }
}

}  // namespace

HBITMAP PlaceOnCanvas(HBITMAP page, int32_t width, int32_t height, DibAllocCallbackFn alloc) {
    BitmapGuard owned{page};
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) return Fail<HBITMAP>("not enough memory");
    SelectObject(dc, page);
    SourcePicture src;
    HBITMAP placed = nullptr;
    if (!src.Open(dc)) {
        Fail("the page's picture cannot be read");
    } else if (src.width() == width && src.height() == height) {
        placed = owned.Release();
    } else {
        DibSpec spec;
        spec.width = width;
        spec.height = height;
        spec.xPelsPerMeter = src.xPelsPerMeter();
        spec.yPelsPerMeter = src.yPelsPerMeter();
        const int white = src.bitCount() <= 8 ? WhiteIndex(src.palette()) : -1;
        spec.bitCount = white >= 0 ? src.bitCount() : src.HasAlpha() ? 32 : 24;
        if (white >= 0) spec.palette = src.palette();
        Dib canvas;
        if (AllocateDib(alloc, spec, &canvas)) {
            Compose(src, canvas, spec, white);
            placed = canvas.bitmap;
        }
    }
    DeleteDC(dc);
    return placed;
}

void NoteOtherSizes(int32_t count, std::string_view noun) {
    if (count <= 0) return;
    NoteDropped("the size of " + std::to_string(count) + " " + std::string(noun) +
                (count > 1 ? "s" : "") + " other than the first's (put at the top-left of the " +
                "first " + std::string(noun) + "'s canvas, cut or padded: with white, or " +
                "transparent where it has alpha)");
}

}  // namespace faltrix::kit
