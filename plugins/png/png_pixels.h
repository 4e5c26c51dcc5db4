// The pixel data of the commonest PNGs, 8-bit RGB and RGBA without interlacing, read without
// libpng: libpng has read the header and the chunks before the pixels; from the first IDAT
// chunk on, the file is read here, inflated by zlib, and the rows are unfiltered and turned
// into B, G, R(, A) on a second thread while the next rows are inflated. libpng does all three
// on one thread, with a Paeth filter one byte at a time; on a 24-megapixel photo this reads
// the picture in about half the time. Errors carry libpng's own words for the same faults.
#pragma once

#include <cstdio>

#include "faltrix/kit/kit.h"

namespace faltrix::png {

// Reads the rows of a width x height picture of `channels` (3: RGB, 4: RGBA) 8-bit samples
// into the top-down section dib (24 or 32 bits). The file stands right after the first IDAT
// chunk's length and type, where libpng's png_read_info leaves it. True on success; on failure
// the cause is set (kit::SetLastFailure) and the section may hold some rows.
bool ReadPixels(FILE *file, uint32_t width, uint32_t height, int channels, const kit::Dib &dib,
                ProgressCallbackFn progress, int32_t data);

}  // namespace faltrix::png
