// Pictures drawn from vectors (SVG, PDF) rendered through cairo into a decoder's DIB, for the
// formats whose library draws on a cairo context. Built apart from the kit (the
// faltrix_plugin_kit_cairo library), so that other plug-ins do not link cairo.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <functional>

#include "faltrix/plugin.h"

namespace faltrix::kit {

// Draws the whole picture on cr, in the picture's pixels: (0, 0) its top-left corner, x and y
// up to the width and height being rendered. False, with the cause recorded, on failure.
using CairoDraw = std::function<bool(cairo_t *cr)>;

// How the rendered pixels become the DIB.
enum class CairoBackground {
    kTransparent,  // 32 bits, straight alpha: the picture's own transparency kept
    kWhite,        // 24 bits: drawn on white paper
};

// Renders `draw` into a top-down DIB of width x height pixels (within the decoding limits,
// checked before any memory is taken), allocated through alloc. cairo renders at most 32767
// pixels a side at once, so a picture is rendered in tiles, each drawing everything clipped
// to its part; progress counts the tiles done. Null, with the cause recorded, on failure.
HBITMAP RenderWithCairo(int32_t width, int32_t height, CairoBackground background,
                        const CairoDraw &draw, ProgressCallbackFn progress, int32_t data,
                        DibAllocCallbackFn alloc);

}  // namespace faltrix::kit
