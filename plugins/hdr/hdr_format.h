// Radiance HDR (RGBE) as this plug-in reads and writes it: a text header opened by
// "#?RADIANCE" or "#?RGBE" and closed by an empty line, a resolution line that names the two
// axes ("-Y 480 +X 640": rows from the top, each from the left), then one scanline after the
// other, each run-length coded per component (the 2 2 hi lo form) or flat, four bytes a
// pixel: red, green and blue mantissas sharing the exponent byte.
#pragma once

#include <cstdint>
#include <string>

#include "faltrix/kit/kit.h"

namespace faltrix::hdr {

inline kit::FormatInfo Format() {
    return {u"Radiance HDR (Faltrix's own codec " FALTRIX_VERSION_U16 u")",
            {{u"*.hdr;*.pic;*.rgbe", u"Radiance HDR pictures"}},
            {{u"*.hdr", u"Radiance HDR pictures"}}};
}

// A scanline is run-length coded per component when it is this long; shorter and longer ones
// are flat.
inline constexpr int32_t kMinCodedLength = 8;
inline constexpr int32_t kMaxCodedLength = 32767;

// The linear colour of an RGBE pixel, as the Radiance programs take it: each mantissa plus a
// half, times 2^(exponent - 136); exponent 0 is black.
void RgbeToFloat(const uint8_t rgbe[4], float out[3]);
// The RGBE pixel nearest a linear colour (negative values as 0).
void FloatToRgbe(const float in[3], uint8_t out[4]);

}  // namespace faltrix::hdr
