// Resizing through the graphics layer's stretching blit, and reading a palette back by
// probing the first pixel.
#include "faltrix/device_resize.h"

#include <cstdlib>
#include <cstring>

namespace faltrix {
namespace {

// Colour-table entries a palettised header can carry.
constexpr uint32_t kMaxPaletteEntries = 256;

// A memory device context compatible with the screen, holding `bitmap`; null when either
// step fails (nothing is left then).
HDC MemoryDCHolding(HBITMAP bitmap) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    if (dc == nullptr) return nullptr;
    SelectObject(dc, bitmap);
    if (GetCurrentObject(dc, OBJ_BITMAP) != bitmap) {
        DeleteDC(dc);
        return nullptr;
    }
    return dc;
}

}  // namespace

uint32_t ReadPaletteByProbe(HDC dc, uint32_t first, uint32_t limit, RGBQUAD *entries) {
    if (entries == nullptr) return 0;
    DIBSECTION ds{};
    HGDIOBJ bitmap = GetCurrentObject(dc, OBJ_BITMAP);
    if (bitmap == nullptr || GetObjectW(bitmap, sizeof ds, &ds) != static_cast<int>(sizeof ds))
        return 0;
    const uint32_t bits = ds.dsBmih.biBitCount;
    if (bits > 8 || bits == 0 || ds.dsBm.bmBits == nullptr) return 0;

    uint32_t paletteSize = ds.dsBmih.biClrUsed;
    if (paletteSize == 0) {
        const uint32_t shift = static_cast<uint32_t>(ds.dsBmih.biPlanes) * bits;
        paletteSize = shift < 32 ? uint32_t{1} << shift : UINT32_MAX;
    }
    const uint32_t end = paletteSize < limit ? paletteSize : limit;

    // The probe pixel is column 0 of the first row in memory: the top `bits` bits of the first
    // byte. In device coordinates that row is the bottom one of a bottom-up picture.
    auto *probe = static_cast<uint8_t *>(ds.dsBm.bmBits);
    const uint8_t saved = *probe;
    const int y = ds.dsBmih.biHeight > 0 ? ds.dsBm.bmHeight - 1 : 0;
    const uint8_t mask = static_cast<uint8_t>(0xFFu << (8 - bits));
    for (uint32_t i = first; i < end; ++i) {
        *probe = static_cast<uint8_t>((*probe & static_cast<uint8_t>(~mask)) |
                                      static_cast<uint8_t>(i << (8 - bits)));
        const COLORREF colour = GetPixel(dc, 0, y);
        RGBQUAD &entry = entries[i - first];
        entry.rgbBlue = static_cast<BYTE>((colour >> 16) & 0xFF);
        entry.rgbGreen = static_cast<BYTE>((colour >> 8) & 0xFF);
        entry.rgbRed = static_cast<BYTE>(colour & 0xFF);
        entry.rgbReserved = 0;
    }
    *probe = saved;
    return end;
}

DeviceResizeResult DeviceResize(HBITMAP decoded, const DIBSECTION &description,
                                uint32_t outputWidth, uint32_t outputHeight) {
    DeviceResizeResult result;

    HDC sourceDC = MemoryDCHolding(decoded);
    RGBQUAD probed[kMaxPaletteEntries] = {};
    const uint32_t entries =
        sourceDC != nullptr ? ReadPaletteByProbe(sourceDC, 0, kMaxPaletteEntries, probed) : 0;

    // The header block: the decoded picture's header with the new size, followed by its colour
    // table, or by its three masks when it has bit fields. The block always has room for a
    // full table (zeroed beyond what was probed), so the section's creation never reads past
    // it whatever the header claims.
    struct HeaderBlock {
        BITMAPINFOHEADER header;
        union {
            RGBQUAD colours[kMaxPaletteEntries];
            DWORD masks[3];
        };
    };
    auto *block = static_cast<HeaderBlock *>(std::calloc(1, sizeof(HeaderBlock)));
    if (block != nullptr) {
        block->header = description.dsBmih;
        block->header.biWidth = static_cast<LONG>(outputWidth);
        block->header.biHeight = static_cast<LONG>(outputHeight);
        block->header.biSizeImage = 0;
        // A table holds at most 256 entries, whatever the source's header claims.
        if (block->header.biClrUsed > kMaxPaletteEntries)
            block->header.biClrUsed = kMaxPaletteEntries;
        if (description.dsBmih.biCompression == BI_BITFIELDS) {
            std::memcpy(block->masks, description.dsBitfields, sizeof block->masks);
        } else {
            std::memcpy(block->colours, probed, entries * sizeof(RGBQUAD));
        }
        void *bits = nullptr;
        result.bitmap = CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO *>(block),
                                         DIB_RGB_COLORS, &bits, nullptr, 0);
        std::free(block);
    }

    if (result.bitmap != nullptr) result.storeDC = MemoryDCHolding(result.bitmap);

    // Device coordinates put the picture's top row at y = 0 whatever its memory order, so the
    // source extent is the height's magnitude: a top-down picture comes out upright.
    const int64_t sourceHeight = description.dsBmih.biHeight < 0
                                     ? -int64_t{description.dsBmih.biHeight}
                                     : int64_t{description.dsBmih.biHeight};
    bool blitted = false;
    if (result.storeDC != nullptr && sourceDC != nullptr && sourceHeight <= INT32_MAX) {
        blitted =
            StretchBlt(result.storeDC, 0, 0, static_cast<int>(outputWidth),
                       static_cast<int>(outputHeight), sourceDC, 0, 0, description.dsBmih.biWidth,
                       static_cast<int>(sourceHeight), SRCCOPY) != FALSE;
    }

    if (sourceDC != nullptr) DeleteDC(sourceDC);
    DeleteObject(decoded);

    // A section that could not be made or filled is no result: handing on an empty picture
    // would store it as if the resize had worked.
    if (!blitted) {
        if (result.storeDC != nullptr) DeleteDC(result.storeDC);
        if (result.bitmap != nullptr) DeleteObject(result.bitmap);
        result = DeviceResizeResult{};
    }
    return result;
}

}  // namespace faltrix
