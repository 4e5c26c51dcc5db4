// The quality a JPEG file was most likely written with, from its quantisation tables, so that
// a JPEG stored again as JPEG keeps about the quality (and the size) it had.
#pragma once

#include <optional>

namespace faltrix {

// Reads the quantisation tables (DQT) of the JPEG open on `fd`, from its start up to its first
// scan, and answers the quality 1 to 100 at which libjpeg's standard tables, scaled as
// jpeg_set_quality scales them, come nearest to them (the luminance table against table 0,
// the chrominance one against table 1 when there is one). Nothing when the file is no JPEG or
// has no table 0 before its first scan. Reads at most the file's markers, never its pixels.
std::optional<int> EstimateJpegQuality(int fd);

}  // namespace faltrix
