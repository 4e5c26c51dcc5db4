// faltrix-convert's resizing filters (--filter), handed to the conversion job as its resize.
#pragma once

#include <cstdint>

#include "faltrix/gdi.h"

namespace faltrix {

enum class ResizeFilter {
    Nearest,   // the graphics layer's nearest-pixel resize, as the dialog does without anti-alias
    Area,      // the dialog's own area averaging (-a)
    Box,       // the true area average
    Triangle,  // linear interpolation, widened when shrinking
    Bicubic,
    Lanczos3,  // the default
};

// The filter FilteredResize uses from now on (Box, Triangle, Bicubic or Lanczos3).
void SetResizeFilter(ResizeFilter filter);

// The picture resized to width x height with that filter, as a new top-down section: 32-bit
// with alpha when the source has any, else 24-bit. Null when it cannot be done.
HBITMAP FilteredResize(HBITMAP source, const DIBSECTION &section, uint32_t width, uint32_t height);

}  // namespace faltrix
