// Orientation as EXIF and TIFF number it (the same eight values): which way the stored
// picture is to be shown, and where each stored pixel then lands.
#pragma once

#include <cstddef>
#include <cstdint>

#include <algorithm>
#include <cstring>

#include "faltrix/kit/frames.h"
#include "faltrix/kit/kit.h"

namespace faltrix::kit {

// Reads tag 0x0112 (Orientation) of IFD0 from an EXIF block: the payload of a JPEG's APP1
// segment ("Exif\0\0" followed by a TIFF header), or the TIFF header and what follows alone,
// as PNG's eXIf and WebP's EXIF chunks hold it (some writers put the "Exif\0\0" there too).
// Returns 1..8, or 1 when the block is not EXIF, is malformed, or holds no orientation or an
// undefined value.
int ExifOrientation(const uint8_t *data, size_t size);

// The decoded picture `stored` (of `spec`, owned by `*owned`) shown upright as `orientation`
// asks: `*owned`'s own section for 1, otherwise a second section of the shown size (the sides
// and resolutions swapped for 5..8) with every pixel moved where it lands, the stored one
// deleted with `*owned`. For 1, 4, 8, 16, 24 and 32 bits. Null, with the failure noted, when
// the second section cannot be allocated. Every input whose file says how it is to be shown
// turns its pixels here, so that the stored picture is upright and its EXIF can say 1.
HBITMAP ShowUpright(BitmapGuard *owned, const Dib &stored, DibSpec spec, int orientation,
                    DibAllocCallbackFn alloc);

// True for the orientations (5..8) that swap width and height.
inline bool SwapsAxes(int orientation) { return orientation >= 5 && orientation <= 8; }

// Where stored pixel (x, y) of a w x h picture lands in the shown picture.
struct OrientedPoint {
    int32_t x, y;
};
inline OrientedPoint Orient(int orientation, int32_t x, int32_t y, int32_t w, int32_t h) {
    switch (orientation) {
    case 2: return {w - 1 - x, y};          // mirrored left to right
    case 3: return {w - 1 - x, h - 1 - y};  // turned half round
    case 4: return {x, h - 1 - y};          // mirrored top to bottom
    case 5: return {y, x};                  // mirrored along the main diagonal
    case 6: return {h - 1 - y, x};          // turned a quarter clockwise
    case 7: return {h - 1 - y, w - 1 - x};  // mirrored along the other diagonal
    case 8: return {y, w - 1 - x};          // turned a quarter anticlockwise
    default: return {x, y};
    }
}

// Row y of a stored picture of w x h pixels, `shown.channels` 16-bit samples each, put where
// its pixels land in `shown` when turned upright as `orientation` asks. Pixels that land
// outside shown (a page larger than its canvas) are left out, so that a deep frame can be
// decoded a row at a time, straight into the host's memory.
inline void PlaceSampleRow(const uint16_t *row, int32_t y, int32_t w, int32_t h, int orientation,
                           const SampleView &shown) {
    const size_t n = size_t(shown.channels);
    if (orientation < 2 || orientation > 8) {
        if (y < shown.height)
            std::memcpy(shown.Row(y), row, size_t(std::min(w, shown.width)) * n * 2);
        return;
    }
    for (int32_t x = 0; x < w; ++x) {
        const OrientedPoint at = Orient(orientation, x, y, w, h);
        if (at.x < shown.width && at.y < shown.height)
            std::memcpy(shown.Row(at.y) + size_t(at.x) * n, row + size_t(x) * n, n * 2);
    }
}

}  // namespace faltrix::kit
