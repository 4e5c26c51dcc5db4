// Watches the C library's calloc, which the graphics layer uses for pixel memory, so that a
// test can tell that a refused size was never asked of the allocator. In sanitizer builds
// the sanitizer owns calloc (and aborts on absurd requests itself): nothing is recorded.
#pragma once

#include <cstddef>

namespace faltrix::test {

void ResetLargestCalloc();
// The largest calloc request (count * size) since the last reset; 0 when not watched.
size_t LargestCalloc();

}  // namespace faltrix::test
