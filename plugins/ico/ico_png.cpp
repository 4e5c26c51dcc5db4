// PNG entries through libpng's simplified interface, which catches libpng's errors itself:
// no setjmp here, and the size is checked before any pixel memory is taken.
#include <png.h>

#include <cstring>

#include "ico_format.h"

namespace faltrix::ico {

bool PngSize(const uint8_t *data, size_t n, int32_t *width, int32_t *height) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    // The signature, IHDR's length and type, then its width and height.
    if (n < 24 || std::memcmp(data, kSignature, 8) != 0 || std::memcmp(data + 12, "IHDR", 4) != 0)
        return false;
    const uint32_t w = (uint32_t(data[16]) << 24) | (uint32_t(data[17]) << 16) |
                       (uint32_t(data[18]) << 8) | data[19];
    const uint32_t h = (uint32_t(data[20]) << 24) | (uint32_t(data[21]) << 16) |
                       (uint32_t(data[22]) << 8) | data[23];
    *width = w > INT32_MAX ? 0 : int32_t(w);
    *height = h > INT32_MAX ? 0 : int32_t(h);
    return true;
}

bool DecodePng(const std::vector<uint8_t> &data, Pixels *out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.data(), data.size()))
        return kit::Fail(std::string("ICO: a PNG entry cannot be read: ") + image.message);
    if (image.width < 1 || image.height < 1 || image.width > uint32_t(kMaxEntrySide) ||
        image.height > uint32_t(kMaxEntrySide)) {
        png_image_free(&image);
        return kit::Fail("ICO: a PNG entry is larger than " + std::to_string(kMaxEntrySide) +
                         " pixels a side");
    }
    image.format = PNG_FORMAT_BGRA;
    out->width = int32_t(image.width);
    out->height = int32_t(image.height);
    out->bgra.assign(size_t(out->width) * size_t(out->height) * 4, 0);
    if (!png_image_finish_read(&image, nullptr, out->bgra.data(), 0, nullptr))
        return kit::Fail(std::string("ICO: a PNG entry is damaged: ") + image.message);
    return true;
}

bool EncodePng(const Pixels &picture, std::vector<uint8_t> *out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = uint32_t(picture.width);
    image.height = uint32_t(picture.height);
    image.format = PNG_FORMAT_BGRA;
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(image, size, 0, picture.bgra.data(), 0, nullptr))
        return kit::Fail(std::string("ICO: libpng cannot store an entry: ") + image.message);
    out->resize(size);
    if (!png_image_write_to_memory(&image, out->data(), &size, 0, picture.bgra.data(), 0, nullptr))
        return kit::Fail(std::string("ICO: libpng cannot store an entry: ") + image.message);
    out->resize(size);
    return true;
}

}  // namespace faltrix::ico
