// IFD0's orientation tag of an APP1 Exif block, read by libexif (as the host reads and rewrites
// the whole block); a block it cannot read, or an entry that is not one SHORT, says nothing.
#include "faltrix/kit/orientation.h"
#include "faltrix/dib_layout.h"

#include <libexif/exif-data.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace faltrix::kit {

int ExifOrientation(const uint8_t *data, size_t size) {
    static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (!data || size < 8) return 1;
    // libexif reads a block that begins with "Exif\0\0"; IFD0 and its orientation come first,
    // so the first 64 KiB (all libexif reads) are enough in either form.
    std::vector<uint8_t> prefixed;
    if (size >= 6 + 8 && std::memcmp(data, kExif, 6) == 0) {
        prefixed.assign(data, data + std::min<size_t>(size, 0xFFFE));
    } else if (std::memcmp(data, "II*\0", 4) == 0 || std::memcmp(data, "MM\0*", 4) == 0) {
        prefixed.assign(kExif, kExif + 6);
        prefixed.insert(prefixed.end(), data, data + std::min<size_t>(size, 0xFFFE - 6));
    } else {
        return 1;
    }
    ExifData *exif = exif_data_new();
    if (!exif) return 1;
    // Read as it is: nothing added, nothing corrected.
    exif_data_unset_option(exif, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(exif, prefixed.data(), static_cast<unsigned int>(prefixed.size()));
    int value = 1;
    const ExifEntry *entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (entry && entry->format == EXIF_FORMAT_SHORT && entry->components == 1 && entry->size >= 2 &&
        entry->data)
        value = exif_get_short(entry->data, exif_data_get_byte_order(exif));
    exif_data_unref(exif);
    return value >= 1 && value <= 8 ? value : 1;
}

HBITMAP ShowUpright(BitmapGuard *owned, const Dib &stored, DibSpec spec, int orientation,
                    DibAllocCallbackFn alloc) {
    if (orientation < 2 || orientation > 8) return owned->Release();
    const int32_t w = spec.width, h = spec.height;
    if (SwapsAxes(orientation)) {
        std::swap(spec.width, spec.height);
        std::swap(spec.xPelsPerMeter, spec.yPelsPerMeter);
    }
    Dib shown;
    if (!AllocateDib(alloc, spec, &shown)) return nullptr;
    const int bits = spec.bitCount;
    const size_t bytes = static_cast<size_t>(bits / 8);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t *in = stored.Row(y);
        for (int32_t x = 0; x < w; ++x) {
            const OrientedPoint p = Orient(orientation, x, y, w, h);
            uint8_t *out = shown.Row(p.y);
            if (bits >= 8) {
                std::memcpy(out + static_cast<size_t>(p.x) * bytes,
                            in + static_cast<size_t>(x) * bytes, bytes);
            } else {
                WriteDibIndex(out, static_cast<size_t>(p.x), bits,
                              ReadDibIndex(in, static_cast<size_t>(x), bits));
            }
        }
    }
    return shown.bitmap;  // the stored one goes with *owned
}

}  // namespace faltrix::kit
