// Resizing through the graphics layer's stretching blit, and reading back a palette.
#pragma once

#include <cstdint>

#include "faltrix/plugin.h"

namespace faltrix {

// Reads the colour table of the palettised DIB section selected in dc by writing each index
// into the first pixel in memory and reading its colour back with GetPixel; entry i goes to
// entries[i - first]. The pixel memory is as before when it returns. Returns the end index
// min(palette size, limit), or 0 for null entries, no DIB section, or more than 8 bits.
uint32_t ReadPaletteByProbe(HDC dc, uint32_t first, uint32_t limit, RGBQUAD *entries);

struct DeviceResizeResult {
    HBITMAP bitmap = nullptr;  // the new section
    HDC storeDC = nullptr;     // a memory DC holding it
};

// Makes a section of the decoded picture's own format at outputWidth x outputHeight (rows
// bottom-up), with the source's colour table (biClrUsed above 256 becomes 256) or its
// BI_BITFIELDS masks, and fills it with one StretchBlt of the whole picture (a top-down
// source comes out upright). Takes over `decoded` and deletes it. The caller deletes
// storeDC, then bitmap. When the section, its DC or the blit cannot be had, both are null and
// nothing is left allocated.
DeviceResizeResult DeviceResize(HBITMAP decoded, const DIBSECTION &description,
                                uint32_t outputWidth, uint32_t outputHeight);

}  // namespace faltrix
