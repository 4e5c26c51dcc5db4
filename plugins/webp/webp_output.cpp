// The WebP output plug-in: lossy (quality 0..100) or lossless, alpha kept. WebP has no field
// for the resolution, so the picture's pels per metre are not stored. The colour profile, EXIF
// and XMP the host set go into ICCP, EXIF and XMP chunks: the encoded picture is then
// gathered in memory and wrapped by libwebpmux.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <webp/encode.h>
#include <webp/mux.h>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/owned.h"
#include "webp_version.h"

namespace faltrix::webp {
namespace {

constexpr char kTitle[] = "WebP settings";  // of the settings dialog, naming its kept values

// The session's settings, set by the dialog or SetPluginOption and read by a job thread.
kit::Options options({{"lossless", "Lossless", kit::Setting::Kind::Flag, 0, 1, {}, 0},
                      {"quality", "Quality", kit::Setting::Kind::Integer, 0, 100, {}, 90}});
// The values the dialog program kept from an earlier run, if any.
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

struct Settings {
    int quality;
    bool lossless;
};

Settings CurrentSettings() { return {options.Get("quality"), options.Get("lossless") != 0}; }

struct WriteContext {
    kit::OutputFile *out;
    ProgressCallbackFn progress;
    int32_t data;
    std::string *gathered = nullptr;  // the encoded picture, when chunks are to be added
};

int WriteChunk(const uint8_t *bytes, size_t size, const WebPPicture *picture) {
    auto *ctx = static_cast<WriteContext *>(picture->custom_ptr);
    if (ctx->gathered) {
        ctx->gathered->append(reinterpret_cast<const char *>(bytes), size);
        return 1;
    }
    return size == 0 || ctx->out->Write(bytes, size) ? 1 : 0;
}

bool KeepsMetadata(std::string_view key, size_t) {
    if (key == FALTRIX_METADATA_TRANSPARENCY) return true;  // alpha is kept
    return key == FALTRIX_METADATA_ICC || key == FALTRIX_METADATA_EXIF ||
           key == FALTRIX_METADATA_XMP;
}

// WebP holds RGB pixels only, lossy or lossless.
kit::StoredColour StoredColour(const kit::StoredLayout &) { return kit::StoredColour::kColour; }

// The picture with the chunks the host set, written out. False when libwebpmux refuses.
bool WriteWithChunks(const std::string &picture, kit::OutputFile *out) {
    const WebPData image{reinterpret_cast<const uint8_t *>(picture.data()), picture.size()};
    WebPMux *mux = WebPMuxCreate(&image, 1);
    if (!mux) return kit::Fail("WebP: the encoded picture cannot be wrapped");
    const std::pair<const char *, const char *> chunks[] = {{"ICCP", FALTRIX_METADATA_ICC},
                                                            {"EXIF", FALTRIX_METADATA_EXIF},
                                                            {"XMP ", FALTRIX_METADATA_XMP}};
    bool ok = true;
    for (const auto &[fourcc, key] : chunks) {
        const std::string item = kit::OutgoingMetadata(key);
        const WebPData bytes{reinterpret_cast<const uint8_t *>(item.data()), item.size()};
        if (!item.empty() && WebPMuxSetChunk(mux, fourcc, &bytes, 1) != WEBP_MUX_OK) ok = false;
    }
    WebPData assembled{};
    ok = ok && WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK;
    WebPMuxDelete(mux);
    if (!ok) return kit::Fail("WebP: the metadata chunks cannot be added");
    ok = out->Write(assembled.bytes, assembled.size);
    WebPDataClear(&assembled);
    return ok;
}

int ReportPercent(int percent, const WebPPicture *picture) {
    auto *ctx = static_cast<WriteContext *>(picture->custom_ptr);
    kit::ReportProgress(ctx->progress, percent, 100, ctx->data);
    return 1;
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture src;
    if (!kit::PathToBytes(path, &target)) return false;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    if (src.width() > kMaxDimension || src.height() > kMaxDimension)
        return kit::Fail("WebP holds no side over 16383 pixels");
    const Settings chosen = CurrentSettings();

    WebPConfig config;
    if (!WebPConfigInit(&config)) return kit::Fail("WebP: libwebp's version does not match");
    config.lossless = chosen.lossless ? 1 : 0;
    config.quality = static_cast<float>(chosen.quality);
    // Lossless keeps the colour of fully transparent pixels too, so a round trip gives the
    // same bytes back.
    config.exact = chosen.lossless ? 1 : 0;
    if (!WebPValidateConfig(&config)) return kit::Fail("WebP: the settings are refused");

    WebPPicture picture;
    if (!WebPPictureInit(&picture)) return kit::Fail("WebP: libwebp's version does not match");
    kit::Owned<WebPPicture, WebPPictureFree> guard{&picture};
    picture.width = src.width();
    picture.height = src.height();
    picture.use_argb = config.lossless;

    const int32_t h = src.height();
    const size_t w = static_cast<size_t>(src.width());
    int imported;
    if (src.bitCount() == 24) {
        // The rows as they lie in memory, walked from the top whatever their order.
        const uint8_t *top = src.Row(0);
        const int stride =
            h > 1 ? static_cast<int>(src.Row(1) - top) : static_cast<int>(w * 3 + 3) & ~3;
        imported = WebPPictureImportBGR(&picture, top, stride);
    } else {
        std::vector<uint8_t> bgra(w * 4 * static_cast<size_t>(h));
        for (int32_t y = 0; y < h; ++y)
            src.RowToBGRA(y, bgra.data() + w * 4 * static_cast<size_t>(y));
        const int stride = static_cast<int>(w * 4);
        imported = src.HasAlpha() ? WebPPictureImportBGRA(&picture, bgra.data(), stride)
                                  : WebPPictureImportBGRX(&picture, bgra.data(), stride);
    }
    if (!imported) return kit::Fail("not enough memory");

    kit::OutputFile out(target);
    if (!out.ok()) return false;
    std::string gathered;
    const bool withChunks = !kit::OutgoingMetadata(FALTRIX_METADATA_ICC).empty() ||
                            !kit::OutgoingMetadata(FALTRIX_METADATA_EXIF).empty() ||
                            !kit::OutgoingMetadata(FALTRIX_METADATA_XMP).empty();
    WriteContext ctx{&out, progress, data, withChunks ? &gathered : nullptr};
    picture.writer = WriteChunk;
    picture.custom_ptr = &ctx;
    picture.progress_hook = ReportPercent;
    if (!WebPEncode(&config, &picture)) return kit::Fail("WebP: the picture could not be encoded");
    if (withChunks && !WriteWithChunks(gathered, &out)) return false;
    if (!out.Close()) return false;
    kit::ReportProgress(progress, 100, 100, data);  // libwebp's last report may stop short
    return true;
}

}  // namespace
}  // namespace faltrix::webp

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::webp)
FALTRIX_KIT_SETTINGS(faltrix::webp, faltrix::webp::kTitle)
