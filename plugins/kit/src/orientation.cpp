// IFD0's orientation tag of an APP1 Exif block, read by libexif (as the host reads and rewrites
// the whole block); a block it cannot read, or an entry that is not one SHORT, says nothing.
#include "faltrix/kit/orientation.h"

#include <libexif/exif-data.h>

#include <cstring>

namespace faltrix::kit {

int ExifOrientation(const uint8_t *data, size_t size) {
    static const uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (!data || size < 6 + 8 || std::memcmp(data, kExif, 6) != 0) return 1;
    ExifData *exif = exif_data_new();
    if (!exif) return 1;
    // Read as it is: nothing added, nothing corrected.
    exif_data_unset_option(exif, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(exif, data, static_cast<unsigned int>(size));
    int value = 1;
    const ExifEntry *entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (entry && entry->format == EXIF_FORMAT_SHORT && entry->components == 1 && entry->size >= 2 && entry->data)
        value = exif_get_short(entry->data, exif_data_get_byte_order(exif));
    exif_data_unref(exif);
    return value >= 1 && value <= 8 ? value : 1;
}

}  // namespace faltrix::kit
