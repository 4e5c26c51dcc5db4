// The pipeline's test plug-ins for the raw test format: an input plug-in, or with RAW_OUTPUT
// an output plug-in that writes the picture it is handed exactly as it lies in memory.
// RAW_VARIANT names the variant; all but "input_raw" and "output_raw" refuse one stage:
//   input_no_support      IsSupported answers 0
//   input_no_issupported  IsSupported is not exported (built with RAW_NO_ISSUPPORTED)
//   input_no_info         GetPictureInfo answers 1
//   input_no_decode       GetPictureDIB gives null
//   input_stale_bitmap    GetPictureDIB gives the handle of a bitmap it has deleted
//   output_no_store       SaveDIBPicture answers 5 and writes nothing
// With RAW_FRAMES the plug-in also has the frame calls (raw_format.h tells the file's layout):
//   input_frames          every record a frame; a record cut short fails its frame
//   output_frames         writes each frame's record and the trailer
//   output_frames_fail2   AddFrame refuses the second frame
#include <memory>
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

#if defined(RAW_OUTPUT) && defined(RAW_FRAMES)

namespace {
struct RawWriter {
    FILE *file = nullptr;
    raw_test::RawTrailer trailer;
    int32_t added = 0;
};
}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t BeginFrames(const WCHAR *path, const FrameSequenceInfo *info,
                                          void **writer) {
    FILE *file = std::fopen(Narrow(path).c_str(), "wb");
    if (file == nullptr) return 1;
    auto *made = new RawWriter{file, {}, 0};
    made->trailer.loopCount = info->loopCount;
    made->trailer.claimedFrames = info->frameCount;
    *writer = made;
    return 0;
}

FALTRIX_PLUGIN_EXPORT int32_t AddFrame(void *writer, HDC dc, const FrameInfo *frame,
                                       ProgressCallbackFn, int32_t) {
    auto *w = static_cast<RawWriter *>(writer);
    if (kVariant == "output_frames_fail2" && ++w->added == 2) return 1;
    const DIBSECTION ds = raw_test::Describe(GetCurrentObject(dc, OBJ_BITMAP));
    raw_test::RawHead head{{'F', 'R', 'W', '1'}, ds.dsBmih.biWidth, ds.dsBmih.biHeight, {}, {}};
    head.dib = ds.dsBmih;
    head.dib.biClrImportant = uint32_t(frame->delay);
    GetDIBColorTable(dc, 0, 256, head.colours);
    return std::fwrite(&head, sizeof head, 1, w->file) == 1 &&
                   std::fwrite(ds.dsBm.bmBits, 1, raw_test::PixelBytes(ds), w->file) ==
                       raw_test::PixelBytes(ds)
               ? 0
               : 1;
}

FALTRIX_PLUGIN_EXPORT int32_t EndFrames(void *writer, int32_t complete) {
    auto *w = static_cast<RawWriter *>(writer);
    const bool ok = complete != 0 && std::fwrite(&w->trailer, sizeof w->trailer, 1, w->file) == 1;
    const bool closed = std::fclose(w->file) == 0;
    delete w;
    return ok && closed ? 0 : 1;
}

#endif

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

#if defined(RAW_FRAMES)

namespace {
struct RawReader {
    std::string path;
    std::vector<long> offsets;
};
}  // namespace

FALTRIX_PLUGIN_EXPORT int32_t OpenFrames(const WCHAR *path, FrameSequenceInfo *info,
                                         void **reader) {
    auto made = std::make_unique<RawReader>();
    made->path = Narrow(path);
    raw_test::RawTrailer trailer;
    raw_test::RawHead head;
    if (!raw_test::ReadRaw(made->path, &head) ||
        !raw_test::ScanRawFrames(made->path, &made->offsets, &trailer))
        return 1;
    info->width = head.infoWidth;
    info->height = head.infoHeight;
    info->frameCount =
        trailer.claimedFrames > 0 ? trailer.claimedFrames : int32_t(made->offsets.size());
    info->loopCount = trailer.loopCount;
    info->kind = FALTRIX_FRAMES_ANIMATION;
    *reader = made.release();
    return 0;
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetFrameDIB(void *reader, int32_t index, FrameInfo *frame,
                                          ProgressCallbackFn progress, int32_t data,
                                          DibAllocCallbackFn alloc) {
    auto *r = static_cast<RawReader *>(reader);
    if (index < 0 || size_t(index) >= r->offsets.size()) return nullptr;
    FILE *f = std::fopen(r->path.c_str(), "rb");
    raw_test::RawHead head;
    HBITMAP bitmap = nullptr;
    void *bits = nullptr;
    bool ok = f != nullptr && std::fseek(f, r->offsets[size_t(index)], SEEK_SET) == 0 &&
              std::fread(&head, sizeof head, 1, f) == 1;
    if (ok) {
        frame->delay = int32_t(head.dib.biClrImportant);
        head.dib.biClrImportant = 0;
        bitmap = alloc(nullptr, reinterpret_cast<BITMAPINFO *>(&head.dib), DIB_RGB_COLORS, &bits,
                       nullptr, 0);
        const size_t bytes = raw_test::PixelBytes(raw_test::Describe(bitmap));
        ok = bytes != 0 && std::fread(bits, 1, bytes, f) == bytes;
    }
    if (f != nullptr) std::fclose(f);
    if (!ok && bitmap != nullptr) DeleteObject(bitmap);
    if (!ok) return nullptr;
    progress(1, 1, data);
    return bitmap;
}

FALTRIX_PLUGIN_EXPORT void CloseFrames(void *reader) { delete static_cast<RawReader *>(reader); }

#endif

#endif
