// The "anti-alias" resampler: area averaging of 24-bit pictures.
#pragma once

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

}  // namespace faltrix
