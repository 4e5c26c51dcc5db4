// The pixel work of StretchBlt, BitBlt and FillRect, apart from handles and locking.
#pragma once

#include <cstdint>

#include "objects.h"

namespace faltrix::gdi {

// Copies the source rectangle (xs, ys, ws, hs) of src onto the destination rectangle
// (xd, yd, wd, hd) of dst, nearest neighbour, clipped to both bitmaps. A negative extent
// covers the pixels from x + extent up to x - 1 (the rectangle with its sides swapped), and
// the two rectangles are mirrored against each other along an axis where exactly one of the
// extents is negative. src and dst may be the same bitmap. Returns false when no pixel of the
// destination is reached; dst is then untouched.
bool StretchPixels(const Bitmap &dst, int xd, int yd, int wd, int hd, const Bitmap &src, int xs,
                   int ys, int ws, int hs);

// Fills the part of rect inside dst with colour (0x00RRGGBB; palettised bitmaps take the
// nearest entry). Returns false when no pixel is reached.
bool FillPixels(const Bitmap &dst, const RECT &rect, uint32_t colour);

}  // namespace faltrix::gdi
