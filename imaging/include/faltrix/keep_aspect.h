// The keep-aspect rule, shared by the dialog and the command-line converter: the output
// side that follows the picture's aspect ratio when only the other side is given.
#pragma once

#include <cstdint>
#include <optional>

namespace faltrix {

// The side that keeps the picture's proportions when the other side is set to `given`:
// pictureOther * given / pictureGiven, truncated toward zero (640 x 480 with a width of 320
// gives a height of 240; with a height of 100 a width of 133). The product is formed in 64
// bits, so it cannot wrap. Returns nothing when a picture side is 0 or less (a size that
// could not be obtained) or when the answer does not fit 32 bits; the answer may be 0.
std::optional<uint32_t> KeepAspectSide(int32_t pictureGiven, int32_t pictureOther, uint32_t given);

}  // namespace faltrix
