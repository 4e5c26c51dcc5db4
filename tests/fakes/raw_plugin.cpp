// The pipeline's test plug-ins for the raw test format: an input plug-in, or with RAW_OUTPUT
// an output plug-in that writes the picture it is handed exactly as it lies in memory.
// RAW_VARIANT names the variant; all but "input_raw" and "output_raw" refuse one stage:
//   input_no_support      IsSupported answers 0
//   input_no_issupported  IsSupported is not exported (built with RAW_NO_ISSUPPORTED)
//   input_no_info         GetPictureInfo answers 1
//   input_no_decode       GetPictureDIB gives null
//   input_stale_bitmap    GetPictureDIB gives the handle of a bitmap it has deleted
//   output_no_store       SaveDIBPicture answers 5 and writes nothing
#include <string_view>

#include "faltrix/kit/kit.h"
#include "faltrix/plugin.h"
#include "raw_format.h"

namespace {

constexpr std::string_view kVariant = RAW_VARIANT;

// A UTF-16 path as the bytes on disk; empty when it names no file.
std::string Narrow(const WCHAR *path) {
    std::string narrow;
    return faltrix::kit::PathToBytes(path, &narrow) ? narrow : std::string();
}

}  // namespace

// The type tag and the description; no patterns.
FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer,
                                            int32_t bufferLength) {
    const std::u16string_view tag =
        kVariant.starts_with("output") ? FALTRIX_OUTPUT_TAG : FALTRIX_INPUT_TAG;
    return faltrix::kit::AnswerPluginInfo({tag, u"Raw test pictures", {}}, infoNumber, buffer,
                                          bufferLength);
}

#if defined(RAW_OUTPUT)

FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t, int32_t,
                                             ProgressCallbackFn, int32_t) {
    const DIBSECTION ds = raw_test::Describe(GetCurrentObject(dc, OBJ_BITMAP));
    if (kVariant == "output_no_store") return 5;
    return raw_test::WriteRaw(Narrow(path), dc, ds.dsBmih.biWidth, ds.dsBmih.biHeight) ? 0 : 3;
}

#else

#if !defined(RAW_NO_ISSUPPORTED)
FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t, int32_t) {
    raw_test::RawHead head;
    return kVariant != "input_no_support" && raw_test::ReadRaw(Narrow(path), &head) ? 1 : 0;
}
#endif

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t, int32_t,
                                             PictureInfo *info) {
    raw_test::RawHead head;
    if (kVariant == "input_no_info" || !raw_test::ReadRaw(Narrow(path), &head)) return 1;
    info->width = head.infoWidth;
    info->height = head.infoHeight;
    return 0;
}

// The pixels go straight from the file into the section: no second copy of the picture.
FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t, int32_t,
                                            ProgressCallbackFn progress, int32_t data,
                                            DibAllocCallbackFn alloc) {
    raw_test::RawHead head;
    HBITMAP bitmap = nullptr;
    if (kVariant == "input_no_decode" || !raw_test::ReadRaw(Narrow(path), &head, alloc, &bitmap))
        return nullptr;
    progress(1, 1, data);
    if (kVariant == "input_stale_bitmap") DeleteObject(bitmap);
    return bitmap;
}

#endif
