// RGBE pixels to and from linear light.
#include <algorithm>
#include <cmath>

#include "hdr_format.h"

namespace faltrix::hdr {

void RgbeToFloat(const uint8_t rgbe[4], float out[3]) {
    if (rgbe[3] == 0) {
        out[0] = out[1] = out[2] = 0.0f;
        return;
    }
    const float scale = std::ldexp(1.0f, int(rgbe[3]) - (128 + 8));
    for (int c = 0; c < 3; ++c) out[c] = (float(rgbe[c]) + 0.5f) * scale;
}

void FloatToRgbe(const float in[3], uint8_t out[4]) {
    float v[3];
    for (int c = 0; c < 3; ++c) v[c] = in[c] > 0.0f ? std::min(in[c], 1e38f) : 0.0f;
    const float brightest = std::max({v[0], v[1], v[2]});
    if (brightest < 1e-32f) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    int exponent = 0;
    // frexp gives brightest = m * 2^exponent with m in [0.5, 1): the mantissas are v * 256 / 2^e.
    const float scale = std::frexp(brightest, &exponent) * 256.0f / brightest;
    for (int c = 0; c < 3; ++c) out[c] = uint8_t(std::min(v[c] * scale, 255.0f));
    out[3] = uint8_t(exponent + 128);
}

}  // namespace faltrix::hdr
