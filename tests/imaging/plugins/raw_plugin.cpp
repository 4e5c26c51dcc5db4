// The pipeline's test plug-ins for the raw test format: an input plug-in, or with RAW_OUTPUT
// an output plug-in that writes the picture it is handed exactly as it lies in memory.
// RAW_VARIANT names the variant; all but "input_raw" and "output_raw" refuse one stage:
//   input_no_support      IsSupported answers 0
//   input_no_issupported  IsSupported is not exported (built with RAW_NO_ISSUPPORTED)
//   input_no_info         GetPictureInfo answers 1
//   input_no_decode       GetPictureDIB gives null
//   input_stale_bitmap    GetPictureDIB gives the handle of a bitmap it has deleted
//   output_no_store       SaveDIBPicture answers 5 and writes nothing
#include <algorithm>
#include <string_view>

#include "faltrix/plugin.h"
#include "raw_format.h"

namespace {

constexpr std::string_view kVariant = RAW_VARIANT;

// A UTF-16 path (ASCII only in the tests) as bytes.
std::string Narrow(const WCHAR *path) {
    std::string narrow;
    for (; path != nullptr && *path != 0; ++path) narrow.push_back(static_cast<char>(*path));
    return narrow;
}

}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
    const bool output = kVariant.starts_with("output");
    const std::u16string_view text =
        infoNumber == 1 ? u"Raw test pictures" : output ? FALTRIX_OUTPUT_TAG : FALTRIX_INPUT_TAG;
    if (infoNumber > 1 || bufferLength <= 0) return 0;
    const auto n = static_cast<int32_t>(std::min(text.size(), static_cast<size_t>(bufferLength - 1)));
    *std::copy_n(text.begin(), n, buffer) = 0;
    return n;
}

#if defined(RAW_OUTPUT)

FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t, int32_t, ProgressCallbackFn,
                                             int32_t) {
    DIBSECTION ds{};
    HGDIOBJ bitmap = GetCurrentObject(dc, OBJ_BITMAP);
    if (kVariant == "output_no_store") return 5;
    if (bitmap == nullptr || GetObjectW(bitmap, sizeof ds, &ds) != static_cast<int>(sizeof ds)) return 2;
    raw_test::RawPicture picture{ds.dsBmih.biWidth, ds.dsBmih.biHeight, ds.dsBmih, std::vector<RGBQUAD>(256), {}};
    picture.colours.resize(GetDIBColorTable(dc, 0, 256, picture.colours.data()));
    return raw_test::WriteRaw(Narrow(path), picture, static_cast<const uint8_t *>(ds.dsBm.bmBits)) ? 0 : 3;
}

#else

#if !defined(RAW_NO_ISSUPPORTED)
FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t, int32_t) {
    raw_test::RawPicture picture;
    return kVariant != "input_no_support" && raw_test::ReadRaw(Narrow(path), &picture, false) ? 1 : 0;
}
#endif

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t, int32_t, PictureInfo *info) {
    raw_test::RawPicture picture;
    if (kVariant == "input_no_info") return 1;
    if (!raw_test::ReadRaw(Narrow(path), &picture, false)) return 2;
    info->width = picture.infoWidth;
    info->height = picture.infoHeight;
    return 0;
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t, int32_t, ProgressCallbackFn progress,
                                            int32_t data, DibAllocCallbackFn alloc) {
    // The pixels go straight from the file into the section: no second copy of the picture.
    FILE *f = kVariant == "input_no_decode" ? nullptr : std::fopen(Narrow(path).c_str(), "rb");
    raw_test::RawPicture picture;
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[256];
    } info{};
    void *bits = nullptr;
    HBITMAP bitmap = nullptr;
    if (f != nullptr && raw_test::ReadRawHeader(f, &picture)) {
        info.header = picture.dib;
        std::copy(picture.colours.begin(), picture.colours.end(), info.colours);
        bitmap = alloc(nullptr, reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
    }
    const size_t bytes = static_cast<size_t>(raw_test::Stride(picture.dib)) * raw_test::Rows(picture.dib);
    if (bitmap != nullptr && (bits == nullptr || std::fread(bits, 1, bytes, f) != bytes)) {
        DeleteObject(bitmap);
        bitmap = nullptr;
    }
    if (f != nullptr) std::fclose(f);
    const auto rows = static_cast<int32_t>(raw_test::Rows(picture.dib));
    if (bitmap != nullptr) progress(rows, rows, data);
    if (kVariant == "input_stale_bitmap") DeleteObject(bitmap);
    return bitmap;
}

#endif
