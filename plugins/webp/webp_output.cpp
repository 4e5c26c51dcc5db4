// The WebP output plug-in: lossy (quality 0..100) or lossless, alpha kept. WebP has no field
// for the resolution, so the picture's pels per metre are not stored.
#include <vector>

#include <webp/encode.h>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/options.h"
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
};

int WriteChunk(const uint8_t *bytes, size_t size, const WebPPicture *picture) {
    auto *ctx = static_cast<WriteContext *>(picture->custom_ptr);
    return size == 0 || ctx->out->Write(bytes, size) ? 1 : 0;
}

int ReportPercent(int percent, const WebPPicture *picture) {
    auto *ctx = static_cast<WriteContext *>(picture->custom_ptr);
    kit::ReportProgress(ctx->progress, percent, 100, ctx->data);
    return 1;
}

struct PictureGuard {
    WebPPicture *picture;
    ~PictureGuard() { WebPPictureFree(picture); }
};

kit::SaveResult Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture src;
    if (!kit::PathToUtf8(path, &target)) return kit::SaveResult::kBadPath;
    if (!src.Open(dc)) return kit::Fail("no picture to store", kit::SaveResult::kNoPicture);
    if (src.width() > kMaxDimension || src.height() > kMaxDimension)
        return kit::Fail("WebP holds no side over 16383 pixels", kit::SaveResult::kTooLarge);
    const Settings chosen = CurrentSettings();

    WebPConfig config;
    if (!WebPConfigInit(&config)) return kit::Fail("WebP: libwebp's version does not match", kit::SaveResult::kEncoderFailed);
    config.lossless = chosen.lossless ? 1 : 0;
    config.quality = static_cast<float>(chosen.quality);
    // Lossless keeps the colour of fully transparent pixels too, so a round trip gives the
    // same bytes back.
    config.exact = chosen.lossless ? 1 : 0;
    if (!WebPValidateConfig(&config)) return kit::Fail("WebP: the settings are refused", kit::SaveResult::kEncoderFailed);

    WebPPicture picture;
    if (!WebPPictureInit(&picture)) return kit::Fail("WebP: libwebp's version does not match", kit::SaveResult::kEncoderFailed);
    PictureGuard guard{&picture};
    picture.width = src.width();
    picture.height = src.height();
    picture.use_argb = config.lossless;

    const int32_t h = src.height();
    const size_t w = static_cast<size_t>(src.width());
    int imported;
    if (src.bitCount() == 24) {
        // The rows as they lie in memory, walked from the top whatever their order.
        const uint8_t *top = src.Row(0);
        const int stride = h > 1 ? static_cast<int>(src.Row(1) - top) : static_cast<int>(w * 3 + 3) & ~3;
        imported = WebPPictureImportBGR(&picture, top, stride);
    } else {
        std::vector<uint8_t> bgra(w * 4 * static_cast<size_t>(h));
        for (int32_t y = 0; y < h; ++y) src.RowToBGRA(y, bgra.data() + w * 4 * static_cast<size_t>(y));
        const int stride = static_cast<int>(w * 4);
        imported = src.HasAlpha() ? WebPPictureImportBGRA(&picture, bgra.data(), stride)
                                  : WebPPictureImportBGRX(&picture, bgra.data(), stride);
    }
    if (!imported) return kit::Fail("not enough memory", kit::SaveResult::kEncoderFailed);

    kit::OutputFile out(target);
    if (!out.ok()) return kit::SaveResult::kOutputFailed;
    WriteContext ctx{&out, progress, data};
    picture.writer = WriteChunk;
    picture.custom_ptr = &ctx;
    picture.progress_hook = ReportPercent;
    if (!WebPEncode(&config, &picture)) return kit::Fail("WebP: the picture could not be encoded", kit::SaveResult::kEncoderFailed);
    if (!out.Close()) return kit::SaveResult::kOutputFailed;
    kit::ReportProgress(progress, 100, 100, data);  // libwebp's last report may stop short
    return kit::SaveResult::kStored;
}

// Lossless or lossy and the quality; confirmed, they hold for the session.
bool Configure(HWND parent) { return kit::ConfigureOptions(parent, kTitle, &options); }

// "lossless": 1 or 0; "quality": 0 to 100.
bool SetOption(std::u16string_view name, std::u16string_view value) { return options.Set(name, value); }

}  // namespace
}  // namespace faltrix::webp

FALTRIX_KIT_OUTPUT_PLUGIN(faltrix::webp)
FALTRIX_KIT_CONFIGURATION_DLG(faltrix::webp)
FALTRIX_KIT_PLUGIN_OPTION(faltrix::webp)
