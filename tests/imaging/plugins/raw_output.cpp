// An output plug-in for the pipeline's tests: writes the picture it is handed in the raw
// test format, exactly as it lies in memory. Build-time variants:
//   RAW_REFUSE_STORE   SaveDIBPicture answers 5 and writes nothing
//   RAW_NO_SAVE        SaveDIBPicture is not exported
#include "faltrix/plugin.h"
#include "raw_format.h"

namespace {

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
        case 0: return Answer(FALTRIX_OUTPUT_TAG, buffer, bufferLength);
        case 1: return Answer(u"Raw test pictures", buffer, bufferLength);
        default: return 0;
    }
}

#if !defined(RAW_NO_SAVE)
FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t, int32_t, ProgressCallbackFn,
                                             int32_t) {
#if defined(RAW_REFUSE_STORE)
    (void)dc;
    (void)path;
    return 5;
#else
    std::string narrow;
    if (!raw_test::Narrow(path, &narrow)) return 1;
    DIBSECTION ds{};
    HGDIOBJ bitmap = GetCurrentObject(dc, OBJ_BITMAP);
    if (bitmap == nullptr || GetObjectW(bitmap, sizeof ds, &ds) != static_cast<int>(sizeof ds)) return 2;
    raw_test::RawPicture picture;
    picture.infoWidth = ds.dsBmih.biWidth;
    picture.infoHeight = ds.dsBmih.biHeight;
    picture.dib = ds.dsBmih;
    if (ds.dsBmih.biCompression == BI_BITFIELDS) {
        picture.colours.resize(3);
        static_assert(sizeof(RGBQUAD) == sizeof(DWORD));
        std::memcpy(picture.colours.data(), ds.dsBitfields, sizeof ds.dsBitfields);
    } else {
        RGBQUAD table[256];
        const UINT n = GetDIBColorTable(dc, 0, 256, table);
        picture.colours.assign(table, table + n);
    }
    return raw_test::WriteRaw(narrow, picture, static_cast<const uint8_t *>(ds.dsBm.bmBits)) ? 0 : 3;
#endif
}
#endif
