#include "faltrix/keep_aspect.h"

#include <limits>

#include "faltrix/plugin.h"

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

std::string OutputSizeBeyondLimits(uint64_t width, uint64_t height) {
    const uint64_t side = FALTRIX_MAX_PICTURE_SIDE;
    if (width > side || height > side) {
        return std::to_string(width > side ? width : height) +
               (width > side ? " pixels wide" : " pixels high") + ", more than the " +
               std::to_string(side) + " a side the plug-ins read";
    }
    // Both sides are below 2^20 here: the product fits.
    const uint64_t pixels = width * height, most = FALTRIX_MAX_PICTURE_PIXELS;
    if (pixels <= most) return {};
    const std::string size = std::to_string(width) + " x " + std::to_string(height) + " is ";
    // In millions where that tells the two apart; a size just past the limit in full.
    if (pixels / 1000000 > most / 1000000)
        return size + std::to_string(pixels / 1000000) + " million pixels, more than the " +
               std::to_string(most / 1000000) + " million the plug-ins read";
    return size + std::to_string(pixels) + " pixels, more than the " + std::to_string(most) +
           " the plug-ins read";
}

}  // namespace faltrix
