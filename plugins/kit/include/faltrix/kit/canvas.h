// Pages of another size than the first, fitted to the canvas the first page sets, for the
// formats whose pages need not share a size (TIFF, HEIF).
#pragma once

#include <cstdint>
#include <string_view>

#include "faltrix/plugin.h"

namespace faltrix::kit {

// Puts page at the top-left of a width x height canvas: cut where it is larger, padded
// where it is smaller. The padding is transparent for a page with alpha, white otherwise; a
// palettised page keeps its depth when its palette has white, and becomes 24-bit when not.
// Takes page (it is deleted either way) and returns the canvas, allocated through alloc, or
// the page itself when it has the canvas's size; null, with the cause recorded, on failure.
HBITMAP PlaceOnCanvas(HBITMAP page, int32_t width, int32_t height, DibAllocCallbackFn alloc);

// Notes once, as a "dropped" item, that `count` pictures (pages, when noun is "page") had
// another size than the first and were put on its canvas; nothing when count is 0.
void NoteOtherSizes(int32_t count, std::string_view noun);

}  // namespace faltrix::kit
