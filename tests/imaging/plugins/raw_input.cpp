// An input plug-in for the pipeline's tests: reads the raw test format. Build-time variants
// refuse one stage each:
//   RAW_REFUSE_SUPPORT   IsSupported answers 0
//   RAW_NO_ISSUPPORTED   IsSupported is not exported
//   RAW_REFUSE_INFO      GetPictureInfo answers 1
//   RAW_REFUSE_DECODE    GetPictureDIB gives null
//   RAW_STALE_BITMAP     GetPictureDIB gives the handle of a bitmap it has deleted
#include <cstdlib>
#include <cstring>

#include "faltrix/plugin.h"
#include "raw_format.h"

namespace {

// Reads the header (and colours) only.
bool Load(const WCHAR *path, raw_test::RawPicture *picture) {
    std::string narrow;
    return raw_test::Narrow(path, &narrow) && raw_test::ReadRaw(narrow, picture, false);
}

int32_t Answer(const char16_t *text, WCHAR *buffer, int32_t length) {
    int32_t n = 0;
    while (text[n] != 0 && n + 1 < length) {
        buffer[n] = text[n];
        ++n;
    }
    if (length > 0) buffer[n] = 0;
    return n;
}

}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
    switch (infoNumber) {
        case 0: return Answer(FALTRIX_INPUT_TAG, buffer, bufferLength);
        case 1: return Answer(u"Raw test pictures", buffer, bufferLength);
        case 2: return Answer(u"*.raw", buffer, bufferLength);
        case 3: return Answer(u"Raw test pictures", buffer, bufferLength);
        default: return 0;
    }
}

#if !defined(RAW_NO_ISSUPPORTED)
FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t, int32_t) {
#if defined(RAW_REFUSE_SUPPORT)
    (void)path;
    return 0;
#else
    raw_test::RawPicture picture;
    return Load(path, &picture) ? 1 : 0;
#endif
}
#endif

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t, int32_t, PictureInfo *info) {
#if defined(RAW_REFUSE_INFO)
    (void)path;
    (void)info;
    return 1;
#else
    raw_test::RawPicture picture;
    if (!Load(path, &picture)) return 2;
    info->width = picture.infoWidth;
    info->height = picture.infoHeight;
    return 0;
#endif
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t, int32_t, ProgressCallbackFn progress,
                                            int32_t data, DibAllocCallbackFn alloc) {
#if defined(RAW_REFUSE_DECODE)
    (void)path;
    (void)progress;
    (void)data;
    (void)alloc;
    return nullptr;
#else
    // The pixels go straight from the file into the section: no second copy of the picture.
    std::string narrow;
    if (!raw_test::Narrow(path, &narrow)) return nullptr;
    FILE *f = std::fopen(narrow.c_str(), "rb");
    if (f == nullptr) return nullptr;
    raw_test::RawPicture picture;
    HBITMAP bitmap = nullptr;
    auto *info = static_cast<BITMAPINFO *>(std::calloc(1, sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD)));
    if (info != nullptr && raw_test::ReadRawHeader(f, &picture)) {
        info->bmiHeader = picture.dib;
        if (!picture.colours.empty()) {
            std::memcpy(info->bmiColors, picture.colours.data(), picture.colours.size() * sizeof(RGBQUAD));
        }
        void *bits = nullptr;
        bitmap = alloc(nullptr, info, DIB_RGB_COLORS, &bits, nullptr, 0);
        const size_t bytes = static_cast<size_t>(raw_test::Stride(picture.dib)) * raw_test::Rows(picture.dib);
        if (bitmap != nullptr && (bits == nullptr || std::fread(bits, 1, bytes, f) != bytes)) {
            DeleteObject(bitmap);
            bitmap = nullptr;
        }
    }
    std::free(info);
    std::fclose(f);
#if defined(RAW_STALE_BITMAP)
    DeleteObject(bitmap);
    return bitmap;
#endif
    if (bitmap != nullptr) {
        const int32_t rows = static_cast<int32_t>(raw_test::Rows(picture.dib));
        progress(rows, rows, data);
    }
    return bitmap;
#endif
}
