#include "faltrix/keep_aspect.h"

#include <limits>

namespace faltrix {

std::optional<uint32_t> KeepAspectSide(int32_t pictureGiven, int32_t pictureOther, uint32_t given) {
    if (pictureGiven <= 0 || pictureOther <= 0) return std::nullopt;
    // Below 2^31 * 2^32: the product of a positive 32-bit side and an unsigned 32-bit request
    // fits a uint64_t, and the quotient of two positive numbers truncates toward zero.
    const uint64_t product = static_cast<uint64_t>(pictureOther) * given;
    const uint64_t side = product / static_cast<uint64_t>(pictureGiven);
    if (side > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    return static_cast<uint32_t>(side);
}

}  // namespace faltrix
