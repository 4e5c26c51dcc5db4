// The output size rules shared by the dialog and the command-line converter: the side that
// follows the picture's aspect ratio when only the other side is given, and the largest size
// a conversion may produce.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace faltrix {

// The side that keeps the picture's proportions when the other side is set to `given`:
// pictureOther * given / pictureGiven, truncated toward zero (640 x 480 with a width of 320
// gives a height of 240; with a height of 100 a width of 133). The product is formed in 64
// bits, so it cannot wrap. Returns nothing when a picture side is 0 or less (a size that
// could not be obtained) or when the answer does not fit 32 bits; the answer may be 0.
std::optional<uint32_t> KeepAspectSide(int32_t pictureGiven, int32_t pictureOther, uint32_t given);

// Why a picture of width x height may not be made: the bundled input plug-ins would refuse
// to read it back (FALTRIX_MAX_PICTURE_SIDE, FALTRIX_MAX_PICTURE_PIXELS), so a resize to it
// would only store a file that Faltrix itself cannot open. The words name the limit:
// "20000 x 15000 is 300 million pixels, more than the 268 million the plug-ins read".
// Returns an empty text for a size within the limits.
std::string OutputSizeBeyondLimits(uint64_t width, uint64_t height);

}  // namespace faltrix
