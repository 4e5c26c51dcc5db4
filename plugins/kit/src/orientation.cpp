// A minimal EXIF reader: IFD0's orientation tag, every offset checked against the block.
#include "faltrix/kit/orientation.h"

#include <cstring>

namespace faltrix::kit {

int ExifOrientation(const uint8_t *data, size_t size) {
    static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (!data || size < 6 + 8 || std::memcmp(data, kExif, 6) != 0) return 1;
    const uint8_t *tiff = data + 6;  // offsets below count from the TIFF header
    const size_t n = size - 6;

    bool little;
    if (tiff[0] == 'I' && tiff[1] == 'I') little = true;
    else if (tiff[0] == 'M' && tiff[1] == 'M') little = false;
    else return 1;
    auto u16 = [&](size_t at) -> uint32_t {
        return little ? tiff[at] | (tiff[at + 1] << 8) : (tiff[at] << 8) | tiff[at + 1];
    };
    auto u32 = [&](size_t at) -> uint32_t {
        return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    };
    if (u16(2) != 42) return 1;

    const uint32_t ifd = u32(4);
    if (ifd < 8 || ifd > n - 2) return 1;
    const uint32_t count = u16(ifd);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = ifd + 2 + size_t{12} * i;
        if (entry + 12 > n) return 1;
        if (u16(entry) != 0x0112) continue;
        // SHORT, one value, stored in the first two bytes of the value field.
        if (u16(entry + 2) != 3 || u32(entry + 4) != 1) return 1;
        const uint32_t value = u16(entry + 8);
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

}  // namespace faltrix::kit
