// Orientation as EXIF and TIFF number it (the same eight values): which way the stored
// picture is to be shown, and where each stored pixel then lands.
#pragma once

#include <cstddef>
#include <cstdint>

namespace faltrix::kit {

// Reads tag 0x0112 (Orientation) of IFD0 from the payload of an APP1 segment ("Exif\0\0"
// followed by a TIFF header). Returns 1..8, or 1 when the block is not EXIF, is malformed,
// or holds no orientation or an undefined value.
int ExifOrientation(const uint8_t *data, size_t size);

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

}  // namespace faltrix::kit
