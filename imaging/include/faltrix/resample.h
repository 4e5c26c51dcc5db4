// The resizes beyond the graphics layer's nearest pixel: the "anti-alias" resampler (area
// averaging of 24-bit pictures) and the filters of libswscale, for any picture.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "faltrix/plugin.h"

namespace faltrix {

// Resizes the 24-bit DIB section `source` by the factors sx and sy (destination size /
// source size, both > 0) into a new 24-bit DIB section of trunc(width * sx) x
// trunc(height * sy) pixels, each the weighted mean of the source pixels under it, defined
// to the byte. Rows keep their memory order and the result the source's row order
// (bottom-up, or top-down for a top-down source), so the picture stays upright. Calls
// progress(0, 1, 0) first, then once after every destination pixel, then progress(1, 1, 0).
// The source is only read. Returns the new section (the caller's), or
// null when the source is not a readable 24-bit section, is 2^20 pixels or more in either
// direction, the result would be empty, or no memory is left.
HBITMAP AreaAverageResize(HBITMAP source, double sx, double sy, ProgressCallbackFn progress);

// How a picture whose size changes is resized.
enum class ResizeFilter {
    Nearest,   // the graphics layer's nearest-pixel resize, as the dialog does without anti-alias
    Area,      // AreaAverageResize above, the dialog's anti-alias
    Box,       // the true area average
    Triangle,  // linear interpolation, widened when shrinking
    Bicubic,
    Lanczos3,
};

// The filter a user names: "nearest", "area", "box", "triangle" (or "linear"), "bicubic",
// "lanczos3" (or "lanczos"), in lower case. Nothing for any other name.
std::optional<ResizeFilter> ResizeFilterNamed(std::string_view name);

// True for the filters FilteredResize does (Box, Triangle, Bicubic and Lanczos3).
constexpr bool IsSwscaleFilter(ResizeFilter filter) {
    return filter != ResizeFilter::Nearest && filter != ResizeFilter::Area;
}

// The picture (`section` describes `source`) resized to width x height with one of the
// filters IsSwscaleFilter accepts, as a new top-down section: 32-bit with alpha when the source
// has any, else 24-bit. The source is only read. Null when it cannot be done. Safe to call
// from several threads at once.
HBITMAP FilteredResize(HBITMAP source, const DIBSECTION &section, uint32_t width, uint32_t height,
                       ResizeFilter filter);

}  // namespace faltrix
