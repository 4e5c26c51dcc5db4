// Scaling an icon's picture to the sizes stored: an area-averaging (box) filter over
// premultiplied alpha, so that transparent pixels lend no colour to their neighbours.
#pragma once

#include "ico_format.h"

namespace faltrix::ico {

// src scaled to width x height, each destination pixel the mean of the source area it covers
// (partly covered source pixels weighed by the part covered).
Pixels BoxScale(const Pixels &src, int32_t width, int32_t height);

// src fitted into a side x side square: scaled, aspect kept, so that its longer side fills
// the square, and centred on transparent pixels. *left and *top get the picture's place.
Pixels FitSquare(const Pixels &src, int32_t side, int32_t *left, int32_t *top);

}  // namespace faltrix::ico
