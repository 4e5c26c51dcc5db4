// The libFuzzer target of the host's metadata path. The first byte chooses what the rest is:
//   0  a colour profile: checked whole, then the pixels of a 24-bit, a 32-bit and a palette
//      picture converted from it to sRGB (the palette kept grey or not)
//   1  an EXIF block, rewritten for the stored picture through libexif
//   2  an EXIF block followed by zeros to 70,000 bytes, patched in place, then rebuilt from its
//      directories as for an output that refuses it whole, whole and without its largest entry
//   3  an XMP packet, its orientation set to 1
#include <stdint.h>

#include <string>
#include <vector>

#include "exif_fit.h"
#include "faltrix/gdi.h"
#include "faltrix/picture_metadata.h"

namespace {

// A small picture of the given depth (with a grey ramp for 8 bits) selected in a DC of its own.
struct Picture {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = nullptr;
    explicit Picture(int bits) {
        BITMAPINFO *info = reinterpret_cast<BITMAPINFO *>(storage);
        info->bmiHeader = {
            sizeof(BITMAPINFOHEADER), 7, -3, 1, static_cast<uint16_t>(bits), BI_RGB, 0, 0, 0, 0, 0};
        for (int i = 0; i < 256; ++i)
            info->bmiColors[i] = RGBQUAD{uint8_t(i), uint8_t(i), uint8_t(255 - i), 0};
        void *bits_ = nullptr;
        bitmap = CreateDIBSection(dc, info, DIB_RGB_COLORS, &bits_, nullptr, 0);
        if (bits_ != nullptr) {
            auto *b = static_cast<uint8_t *>(bits_);
            for (int i = 0; i < 3 * ((7 * bits / 8 + 3) & ~3); ++i) b[i] = uint8_t(i * 37);
        }
        if (bitmap != nullptr) SelectObject(dc, bitmap);
    }
    ~Picture() {
        DeleteDC(dc);
        if (bitmap != nullptr) DeleteObject(bitmap);
    }
    alignas(8) unsigned char storage[sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)] = {};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const std::string item(reinterpret_cast<const char *>(data) + 1, size - 1);
    switch (data[0] % 4) {
    case 0:
        if (faltrix::IsWholeProfile(item)) {
            for (const int bits : {24, 32}) {
                Picture picture(bits);
                faltrix::ConvertToSrgb(picture.bitmap, item);
            }
            for (const bool keepGrey : {false, true}) {
                Picture picture(8);
                faltrix::ConvertPictureToSrgb(picture.dc, &picture.bitmap, item, keepGrey);
            }
        }
        break;
    case 1: faltrix::ExifForOutput(item, 640, 480); break;
    case 2: {
        std::string padded = item;
        if (padded.size() < 70000) padded.resize(70000, '\0');
        const std::string patched = faltrix::ExifForOutput(padded, 640, 480);
        std::vector<std::string> dropped;
        for (const size_t count : {size_t{0}, size_t{1}})
            faltrix::RebuiltExif(patched, count, &dropped);
        break;
    }
    default: faltrix::XmpForOutput(item); break;
    }
    return 0;
}
