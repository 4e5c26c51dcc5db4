// The WebP output plug-in: lossy (quality 0..100) or lossless, alpha kept, a picture or an
// animation (frames with their delays and the loop count, through libwebpmux's animation
// encoder). WebP has no field for the resolution, so the picture's pels per metre are not
// stored. The colour profile, EXIF and XMP the host set go into ICCP, EXIF and XMP chunks:
// the encoded file is then gathered in memory and wrapped by libwebpmux.
#include <algorithm>
#include <memory>
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

// The picture or animation with the chunks the host set, written out. False when libwebpmux
// refuses.
bool WriteWithChunks(const WebPData &image, kit::OutputFile *out) {
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

bool HasOutgoingChunks() {
    return !kit::OutgoingMetadata(FALTRIX_METADATA_ICC).empty() ||
           !kit::OutgoingMetadata(FALTRIX_METADATA_EXIF).empty() ||
           !kit::OutgoingMetadata(FALTRIX_METADATA_XMP).empty();
}

// libwebp's encoding settings for the session's choice. False, with the cause, when refused.
bool MakeConfig(const Settings &chosen, WebPConfig *config) {
    if (!WebPConfigInit(config)) return kit::Fail("WebP: libwebp's version does not match");
    config->lossless = chosen.lossless ? 1 : 0;
    config->quality = static_cast<float>(chosen.quality);
    // Lossless keeps the colour of fully transparent pixels too, so a round trip gives the
    // same bytes back.
    config->exact = chosen.lossless ? 1 : 0;
    // A second thread for the analysis and the alpha plane where libwebp can use one.
    config->thread_level = 1;
    if (!WebPValidateConfig(config)) return kit::Fail("WebP: the settings are refused");
    return true;
}

// Puts the source's pixels into picture (its size and use_argb set). False when out of memory.
bool ImportPixels(const kit::SourcePicture &src, WebPPicture *picture) {
    const int32_t h = src.height();
    const size_t w = static_cast<size_t>(src.width());
    if (src.bitCount() == 24) {
        // The rows as they lie in memory, walked from the top whatever their order.
        const uint8_t *top = src.Row(0);
        const int stride =
            h > 1 ? static_cast<int>(src.Row(1) - top) : static_cast<int>(w * 3 + 3) & ~3;
        return WebPPictureImportBGR(picture, top, stride) != 0;
    }
    std::vector<uint8_t> bgra(w * 4 * static_cast<size_t>(h));
    for (int32_t y = 0; y < h; ++y) src.RowToBGRA(y, bgra.data() + w * 4 * static_cast<size_t>(y));
    const int stride = static_cast<int>(w * 4);
    return (src.HasAlpha() ? WebPPictureImportBGRA(picture, bgra.data(), stride)
                           : WebPPictureImportBGRX(picture, bgra.data(), stride)) != 0;
}

int ReportPercent(int percent, const WebPPicture *picture) {
    auto *ctx = static_cast<WriteContext *>(picture->custom_ptr);
    kit::ReportProgress(ctx->progress, percent, 100, ctx->data);
    return 1;
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture src;
    if (!kit::OpenSave(dc, path, &target, &src)) return false;
    if (src.width() > kMaxDimension || src.height() > kMaxDimension)
        return kit::Fail("WebP holds no side over 16383 pixels");
    WebPConfig config;
    if (!MakeConfig(CurrentSettings(), &config)) return false;

    WebPPicture picture;
    if (!WebPPictureInit(&picture)) return kit::Fail("WebP: libwebp's version does not match");
    kit::Owned<WebPPicture, WebPPictureFree> guard{&picture};
    picture.width = src.width();
    picture.height = src.height();
    picture.use_argb = config.lossless;
    if (!ImportPixels(src, &picture)) return kit::Fail("not enough memory");

    kit::OutputFile out(target);
    if (!out.ok()) return false;
    std::string gathered;
    const bool withChunks = HasOutgoingChunks();
    WriteContext ctx{&out, progress, data, withChunks ? &gathered : nullptr};
    picture.writer = WriteChunk;
    picture.custom_ptr = &ctx;
    picture.progress_hook = ReportPercent;
    if (!WebPEncode(&config, &picture)) return kit::Fail("WebP: the picture could not be encoded");
    if (withChunks &&
        !WriteWithChunks({reinterpret_cast<const uint8_t *>(gathered.data()), gathered.size()},
                         &out))
        return false;
    if (!out.Close()) return false;
    kit::ReportProgress(progress, 100, 100, data);  // libwebp's last report may stop short
    return true;
}

// ---- Sequences ---------------------------------------------------------------------------
// libwebp's animation encoder takes each frame with the time it starts, keeps what it needs
// to choose the next frame's rectangle and blending (a few frames at most, never the DIBs) and
// puts the file together at the end; the host's chunks are added to it as for a picture.

// ANMF stores a frame's duration in 24 bits; the encoder takes one less.
constexpr int32_t kMaxDelay = 0xFFFFFE;
// ANIM stores the loop count in 16 bits.
constexpr int32_t kMaxLoops = 0xFFFF;

class AnimationWriter final : public kit::FrameWriter {
public:
    // Null, with the cause recorded, when the sequence cannot be stored.
    static std::unique_ptr<AnimationWriter> Begin(const WCHAR *path, const kit::Sequence &sequence);

    bool Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) override;
    bool Finish() override;

private:
    bool EncoderFailed(const char *what);

    std::string target_;
    int32_t width_ = 0, height_ = 0;
    int32_t added_ = 0;
    uint32_t start_ = 0;  // the next frame's timestamp: the sum of the delays so far
    WebPConfig config_;
    kit::Owned<WebPAnimEncoder, WebPAnimEncoderDelete> encoder_;
};

std::unique_ptr<AnimationWriter> AnimationWriter::Begin(const WCHAR *path,
                                                        const kit::Sequence &sequence) {
    auto writer = std::make_unique<AnimationWriter>();
    if (!kit::PathToBytes(path, &writer->target_)) return nullptr;
    if (sequence.width > kMaxDimension || sequence.height > kMaxDimension)
        return kit::Fail<std::nullptr_t>("WebP holds no side over 16383 pixels");
    if (!MakeConfig(CurrentSettings(), &writer->config_)) return nullptr;
    WebPAnimEncoderOptions options;
    if (!WebPAnimEncoderOptionsInit(&options))
        return kit::Fail<std::nullptr_t>("WebP: libwebp's version does not match");
    // A count WebP cannot hold plays as often as it can.
    options.anim_params.loop_count = std::clamp(sequence.loopCount, 0, kMaxLoops);
    writer->width_ = sequence.width;
    writer->height_ = sequence.height;
    writer->encoder_.reset(WebPAnimEncoderNew(sequence.width, sequence.height, &options));
    if (!writer->encoder_) return kit::Fail<std::nullptr_t>("not enough memory");
    return writer;
}

bool AnimationWriter::EncoderFailed(const char *what) {
    const char *cause = WebPAnimEncoderGetError(encoder_.get());
    return kit::Fail(std::string("WebP: ") + what +
                     (cause && *cause ? std::string(" (") + cause + ")" : std::string()));
}

bool AnimationWriter::Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    if (src.width() != width_ || src.height() != height_)
        return kit::Fail("WebP: frame " + std::to_string(added_ + 1) + " is " +
                         std::to_string(src.width()) + " x " + std::to_string(src.height()) +
                         " pixels, not the animation's " + std::to_string(width_) + " x " +
                         std::to_string(height_));
    WebPPicture picture;
    if (!WebPPictureInit(&picture)) return kit::Fail("WebP: libwebp's version does not match");
    kit::Owned<WebPPicture, WebPPictureFree> guard{&picture};
    picture.width = width_;
    picture.height = height_;
    picture.use_argb = 1;  // the encoder compares frames in ARGB
    if (!ImportPixels(src, &picture)) return kit::Fail("not enough memory");
    kit::ReportProgress(progress, 1, 2, data);
    // Timestamps wrap as the encoder's own arithmetic does: only their differences count.
    if (!WebPAnimEncoderAdd(encoder_.get(), &picture, static_cast<int>(start_), &config_))
        return EncoderFailed(
            ("frame " + std::to_string(added_ + 1) + " cannot be encoded").c_str());
    start_ += static_cast<uint32_t>(std::clamp(delay, 0, kMaxDelay));
    ++added_;
    kit::ReportProgress(progress, 2, 2, data);
    return true;
}

bool AnimationWriter::Finish() {
    if (added_ == 0) return kit::Fail("WebP: an animation needs a frame");
    // The last call without a frame gives the last frame its delay.
    if (!WebPAnimEncoderAdd(encoder_.get(), nullptr, static_cast<int>(start_), nullptr))
        return EncoderFailed("the last frame's delay is refused");
    WebPData assembled;
    WebPDataInit(&assembled);
    if (!WebPAnimEncoderAssemble(encoder_.get(), &assembled))
        return EncoderFailed("the animation cannot be put together");
    kit::Owned<WebPData, WebPDataClear> guard{&assembled};
    encoder_.reset();  // its frames are in the file's bytes now
    kit::OutputFile out(target_);
    if (!out.ok()) return false;
    const bool written = HasOutgoingChunks() ? WriteWithChunks(assembled, &out)
                                             : out.Write(assembled.bytes, assembled.size);
    return written && out.Close();
}

}  // namespace

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    return AnimationWriter::Begin(path, sequence);
}

}  // namespace faltrix::webp

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::webp)
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::webp)
FALTRIX_KIT_SETTINGS(faltrix::webp, faltrix::webp::kTitle)
