// A faster HEVC decoder for libheif (hevc_decoder.cpp).
#pragma once

namespace faltrix::heif {

// Registers the decoder with libheif once for the process; later calls do nothing. When this
// library cannot be kept loaded for as long as libheif, libheif keeps its own decoder.
void UseHevcWorkers();

}  // namespace faltrix::heif
