// PNG row filtering for the writer: each row gets the one of the five filters whose output has
// the smallest sum of absolute values (bytes read as signed), the choice most writers make,
// since small values are what deflate's Huffman codes pack tightest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace faltrix::png {

// Filters `row` (n bytes) against `prior`, the unfiltered row above (zeros for the first row).
// Both point `bpp` bytes into their buffers, and the bpp bytes before each are 0, so that the
// left neighbour of the first pixel reads as 0 without a test. bpp: bytes per complete pixel,
// at least 1. Writes the filter type byte and n filtered bytes to out (n + 1 bytes).
void FilterRow(const uint8_t *row, const uint8_t *prior, size_t n, size_t bpp, uint8_t *out);

// The bytes of data[0, n) that are 0: of filtered rows, the share a flat picture (a chart, a
// screenshot) has many of and a photo's noise few.
size_t CountZeros(const uint8_t *data, size_t n);

}  // namespace faltrix::png
