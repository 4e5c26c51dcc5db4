// The JPEG XL output plug-in: the picture through libjxl, lossy at a quality (turned into
// libjxl's distance) or lossless, alpha kept, at an effort, with one grey channel when the
// picture is a grey palette and three colour channels otherwise; the colour profile, EXIF and XMP
// the host set are stored with it (the profile in the codestream, EXIF and XMP in boxes).
//
// With "recompress-jpeg" on, a JPEG source the host hands over (FALTRIX_METADATA_SOURCE_JPEG)
// is stored as its own coefficients, losslessly and so that its bytes can be rebuilt; the
// JPEG carries its own profile, EXIF and XMP there. A JPEG libjxl cannot take that way
// (arithmetic-coded, CMYK) is stored from the pixels as without the option.
//
// Several frames become an animation, with each frame's delay and the loop count. Frames
// deeper than 8 bits (AddFrameSamples) keep the depth the host gives, 9 to 16 bits.
#include <jxl/encode.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "faltrix/dib_layout.h"
#include "faltrix/kit/entry_points.h"
#include "jxl_common.h"

namespace faltrix::jxl::output {
namespace {

// The JPEG plug-in's default quality; at 90 the distance is 1.0, which libjxl takes for
// visually lossless.
constexpr int kDefaultQuality = 90;
// The default effort: on a 24-megapixel picture (the chart enlarged) on two cores, effort 5
// took 12 s and 1 GB at most, libjxl's own default of 7 took 27 s and 2 GB for a file no
// smaller, and 3 took 4 s for one nearly twice the size.
constexpr int kDefaultEffort = 5;

std::vector<kit::OptionSpec> Specs() {
    return {{"lossless", "Lossless", kit::Setting::Kind::Flag, 0, 1, {}, 0},
            {"quality", "Quality", kit::Setting::Kind::Integer, 0, 100, {}, kDefaultQuality},
            {"effort",
             "Effort (1 fastest, 9 smallest)",
             kit::Setting::Kind::Integer,
             1,
             9,
             {},
             kDefaultEffort},
            {"recompress-jpeg",
             "Recompress JPEG sources losslessly",
             kit::Setting::Kind::Flag,
             0,
             1,
             {},
             0}};
}

}  // namespace

constexpr const char *kTitle =
    "JPEG XL settings";  // of the settings dialog, naming its kept values

// The session's settings, set by the dialog or SetPluginOption and read by a job thread.
kit::Options options(Specs());

namespace {

// The values the dialog program kept from an earlier run, if any.
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

// libjxl's distance for a quality: 0.1 + (100 - q) * 0.09 from 30 up (1.0 at 90), as libjxl's
// own command-line encoder maps it; below 30 on to 25, libjxl's largest, at 0.
float Distance(int quality) {
    if (quality >= 30) return 0.1f + static_cast<float>(100 - quality) * 0.09f;
    return 6.4f + static_cast<float>(30 - quality) * (25.0f - 6.4f) / 30.0f;
}

}  // namespace

kit::FormatInfo Format() { return jxl::Format(); }

bool KeepsMetadata(std::string_view key, size_t) {
    if (key == FALTRIX_METADATA_SOURCE_JPEG) return options.Get("recompress-jpeg") != 0;
    if (key == FALTRIX_METADATA_TRANSPARENCY) return true;  // alpha is kept
    return key == FALTRIX_METADATA_ICC || key == FALTRIX_METADATA_EXIF ||
           key == FALTRIX_METADATA_XMP;
}

// Any grey palette is one grey channel; everything else three colour channels.
kit::StoredColour StoredColour(const kit::StoredLayout &layout) {
    return layout.bitCount <= 8 && kit::IsGreyPalette(layout.palette) ? kit::StoredColour::kGrey
                                                                      : kit::StoredColour::kColour;
}

namespace {

struct EncoderGuard {
    JxlEncoder *encoder = JxlEncoderCreate(nullptr);
    EncoderGuard() = default;
    ~EncoderGuard() {
        if (encoder) JxlEncoderDestroy(encoder);
    }
    EncoderGuard(const EncoderGuard &) = delete;
    EncoderGuard &operator=(const EncoderGuard &) = delete;
};

bool Succeeded(JxlEncoderStatus status) { return status == JXL_ENC_SUCCESS; }

// The basic information of a w x h picture of samples of `bits` bits.
JxlBasicInfo BasicInfo(uint32_t w, uint32_t h, bool grey, bool alpha, bool originalProfile,
                       uint32_t bits = 8) {
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = w;
    info.ysize = h;
    info.bits_per_sample = bits;
    info.num_color_channels = grey ? 1 : 3;
    info.alpha_bits = alpha ? bits : 0;
    info.num_extra_channels = alpha ? 1 : 0;
    info.uses_original_profile = originalProfile ? JXL_TRUE : JXL_FALSE;
    return info;
}

}  // namespace

// libjxl parses the profile when it is set: the same call on a scratch encoder, for a picture
// of the profile's own colour type, refuses here what storing would refuse.
bool AcceptsMetadata(std::string_view key, std::string_view bytes) {
    if (key != FALTRIX_METADATA_ICC) return true;
    EncoderGuard scratch;
    if (!scratch.encoder) return kit::Fail("could not be checked: not enough memory");
    const bool grey = bytes.size() >= 20 && bytes.substr(16, 4) == "GRAY";
    const JxlBasicInfo info = BasicInfo(1, 1, grey, false, true);
    if (Succeeded(JxlEncoderSetBasicInfo(scratch.encoder, &info)) &&
        Succeeded(JxlEncoderSetICCProfile(
            scratch.encoder, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size())))
        return true;
    return kit::Fail("libjxl rejects it");
}

namespace {

// libjxl's error as the cause.
bool Refused(JxlEncoder *encoder) {
    switch (JxlEncoderGetError(encoder)) {
    case JXL_ENC_ERR_OOM: return kit::Fail("not enough memory");
    case JXL_ENC_ERR_BAD_INPUT: return kit::Fail("JPEG XL: libjxl refuses the picture");
    case JXL_ENC_ERR_JBRD: return kit::Fail("JPEG XL: the JPEG cannot be stored for rebuilding");
    default: return kit::Fail("JPEG XL: libjxl failed while encoding");
    }
}

// The frame settings every picture shares: the effort.
JxlEncoderFrameSettings *Settings(JxlEncoder *encoder) {
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
    if (settings && !Succeeded(JxlEncoderFrameSettingsSetOption(
                        settings, JXL_ENC_FRAME_SETTING_EFFORT, options.Get("effort"))))
        return nullptr;
    return settings;
}

// EXIF goes in a box after the 32-bit offset of its TIFF header (0: right there), XMP as it is.
bool AddBoxes(JxlEncoder *encoder) {
    const std::string exif = kit::OutgoingMetadata(FALTRIX_METADATA_EXIF);
    const std::string xmp = kit::OutgoingMetadata(FALTRIX_METADATA_XMP);
    if (exif.empty() && xmp.empty()) return true;
    if (!Succeeded(JxlEncoderUseBoxes(encoder))) return false;
    if (!exif.empty()) {
        const std::string box = std::string(4, '\0') + exif;
        if (!Succeeded(JxlEncoderAddBox(encoder, "Exif",
                                        reinterpret_cast<const uint8_t *>(box.data()), box.size(),
                                        JXL_FALSE)))
            return false;
    }
    return xmp.empty() || Succeeded(JxlEncoderAddBox(encoder, "xml ",
                                                     reinterpret_cast<const uint8_t *>(xmp.data()),
                                                     xmp.size(), JXL_FALSE));
}

// The colour: the profile the host set, or sRGB.
bool SetColour(JxlEncoder *encoder, bool grey, const std::string &profile) {
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, grey ? JXL_TRUE : JXL_FALSE);
    return Succeeded(
        profile.empty()
            ? JxlEncoderSetColorEncoding(encoder, &srgb)
            : JxlEncoderSetICCProfile(encoder, reinterpret_cast<const uint8_t *>(profile.data()),
                                      profile.size()));
}

// The settings of every frame: the effort, and lossless or the quality's distance.
JxlEncoderFrameSettings *QualitySettings(JxlEncoder *encoder, bool lossless) {
    JxlEncoderFrameSettings *settings = Settings(encoder);
    if (!settings || !Succeeded(lossless ? JxlEncoderSetFrameLossless(settings, JXL_TRUE)
                                         : JxlEncoderSetFrameDistance(
                                               settings, Distance(options.Get("quality")))))
        return nullptr;
    return settings;
}

// The picture's samples as `channels` bytes a pixel: grey levels (1), R, G, B (3) or R, G, B, A
// (4).
std::vector<uint8_t> Samples(const kit::SourcePicture &src, size_t channels) {
    const int w = src.width(), h = src.height();
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * static_cast<size_t>(h) * channels);
    std::vector<uint8_t> bgra(static_cast<size_t>(w) * 4);
    uint8_t *to = pixels.data();
    for (int y = 0; y < h && channels == 1; ++y) {
        // A grey palette's entries are their own grey levels.
        src.RowToIndices(y, bgra.data());
        for (int x = 0; x < w; ++x) *to++ = src.palette()[bgra[static_cast<size_t>(x)]].rgbGreen;
    }
    for (int y = 0; y < h && channels > 1; ++y) {
        src.RowToBGRA(y, bgra.data());
        SwapRedBlue(bgra.data(), 4, to, static_cast<int>(channels), static_cast<size_t>(w));
        to += static_cast<size_t>(w) * channels;
    }
    return pixels;
}

// The picture's pixels as one grey or R, G, B (A) frame, with its profile (or sRGB) and boxes.
bool AddPixels(JxlEncoder *encoder, const kit::SourcePicture &src) {
    const bool alpha = src.HasAlpha(), lossless = options.Get("lossless") != 0;
    const bool grey = StoredColour({src.bitCount(), src.palette()}) == kit::StoredColour::kGrey;
    const int w = src.width(), h = src.height();
    // Lossy sRGB pixels go through libjxl's own colours (XYB), which compress best; lossless
    // ones, and those of another profile, stay in their own, since readers get XYB back only
    // in colours libjxl can describe without a profile, else linear: the profile would not
    // come back as it was.
    const std::string profile = kit::OutgoingMetadata(FALTRIX_METADATA_ICC);
    const JxlBasicInfo info = BasicInfo(static_cast<uint32_t>(w), static_cast<uint32_t>(h), grey,
                                        alpha, lossless || !profile.empty());
    if (!Succeeded(JxlEncoderSetBasicInfo(encoder, &info)) || !SetColour(encoder, grey, profile) ||
        !AddBoxes(encoder))
        return Refused(encoder);
    JxlEncoderFrameSettings *settings = QualitySettings(encoder, lossless);
    if (!settings) return Refused(encoder);
    const size_t channels = grey ? 1 : alpha ? 4 : 3;
    const std::vector<uint8_t> pixels = Samples(src, channels);
    const JxlPixelFormat format{static_cast<uint32_t>(channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN,
                                0};
    return Succeeded(JxlEncoderAddImageFrame(settings, &format, pixels.data(), pixels.size())) ||
           Refused(encoder);
}

// The JPEG's coefficients and what rebuilds its bytes.
bool AddJpeg(JxlEncoder *encoder, const std::string &jpeg) {
    JxlEncoderFrameSettings *settings = Settings(encoder);
    return (settings && Succeeded(JxlEncoderStoreJPEGMetadata(encoder, JXL_TRUE)) &&
            Succeeded(JxlEncoderAddJPEGFrame(
                settings, reinterpret_cast<const uint8_t *>(jpeg.data()), jpeg.size()))) ||
           Refused(encoder);
}

// Appends to *out what libjxl has encoded of the input given so far.
bool Drain(JxlEncoder *encoder, std::vector<uint8_t> *out) {
    size_t used = out->size();
    for (;;) {
        if (out->size() - used < 64 * 1024)
            out->resize(std::max(out->size() * 2, used + 64 * 1024));
        uint8_t *next = out->data() + used;
        size_t left = out->size() - used;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder, &next, &left);
        used = out->size() - left;
        if (status == JXL_ENC_SUCCESS) break;
        if (status != JXL_ENC_NEED_MORE_OUTPUT) return Refused(encoder);
    }
    out->resize(used);
    return true;
}

// The whole file, in memory, so that a JPEG libjxl refuses late costs no partial output.
bool Encode(JxlEncoder *encoder, std::vector<uint8_t> *out) {
    JxlEncoderCloseInput(encoder);
    out->clear();
    return Drain(encoder, out);
}

// The stored bytes: the source JPEG's when it is handed over and libjxl takes it, else the
// pixels'.
bool Compress(const kit::SourcePicture &src, RunnerGuard &runner, std::vector<uint8_t> *out) {
    EncoderGuard encoder;
    if (!encoder.encoder) return kit::Fail("not enough memory");
    if (runner.runner && !Succeeded(JxlEncoderSetParallelRunner(
                             encoder.encoder, JxlThreadParallelRunner, runner.runner)))
        return Refused(encoder.encoder);
    const std::string jpeg = kit::OutgoingMetadata(FALTRIX_METADATA_SOURCE_JPEG);
    if (!jpeg.empty() && AddJpeg(encoder.encoder, jpeg) && Encode(encoder.encoder, out))
        return true;
    if (!jpeg.empty()) {
        kit::ClearLastFailure();
        JxlEncoderReset(encoder.encoder);
        if (runner.runner && !Succeeded(JxlEncoderSetParallelRunner(
                                 encoder.encoder, JxlThreadParallelRunner, runner.runner)))
            return Refused(encoder.encoder);
    }
    return AddPixels(encoder.encoder, src) && Encode(encoder.encoder, out);
}

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture src;
    if (!kit::OpenSave(dc, path, &target, &src, progress, data)) return false;
    RunnerGuard runner;
    std::vector<uint8_t> bytes;
    if (!Compress(src, runner, &bytes)) return false;
    return kit::StoreBytes(target, progress, data, bytes.data(), bytes.size());
}

// An animation, frame by frame: each frame with its delay (the file's ticks are milliseconds)
// and the loop count in the header, at the quality or losslessly, as Save stores a picture; a
// sequence of one frame is a still picture. libjxl marks a frame as the last when it encodes
// it after the input is closed, so each frame stays queued until the next one comes or the
// file is finished: libjxl holds one frame's samples, and the encoded bytes grow in memory
// until they are stored.
//
// Deep frames (AddSamples) are stored at the sequence's depth: libjxl takes the 16-bit
// samples on their whole range and brings them to that many bits itself, so a lossless
// 10-bit or 16-bit source comes back exactly. They keep their channels: grey, grey and alpha,
// RGB or RGBA, the same for every frame.
class AnimationWriter final : public kit::FrameWriter {
public:
    AnimationWriter(std::string target, const kit::Sequence &sequence)
        : target_(std::move(target)), sequence_(sequence) {}

    bool Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) override {
        kit::SourcePicture src;
        if (!src.Open(dc)) return kit::Fail("no picture to store");
        if (src.width() != sequence_.width || src.height() != sequence_.height)
            return kit::Fail("JPEG XL: a frame of another size than the animation");
        kit::ReportProgress(progress, 0, 100, data);
        // Grey only when the whole sequence is grey: known for a still picture alone.
        const bool grey = sequence_.frameCount == 1 &&
                          StoredColour({src.bitCount(), src.palette()}) == kit::StoredColour::kGrey;
        const size_t channels = grey ? 1 : src.bitCount() == 32 ? 4 : 3;
        if (!settings_ && !Start(channels, 8)) return false;
        const std::vector<uint8_t> pixels = Samples(src, channels_);
        const JxlPixelFormat format{static_cast<uint32_t>(channels_), JXL_TYPE_UINT8,
                                    JXL_NATIVE_ENDIAN, 0};
        if (!AddFrame(format, pixels.data(), pixels.size(), delay)) return false;
        kit::ReportProgress(progress, 100, 100, data);
        return true;
    }

    bool AddSamples(const kit::SampleView &samples, int32_t delay, ProgressCallbackFn progress,
                    int32_t data) override {
        if (sequence_.sampleBits == 0) return kit::Fail("JPEG XL: the sequence takes 8-bit frames");
        if (samples.width != sequence_.width || samples.height != sequence_.height)
            return kit::Fail("JPEG XL: a frame of another size than the animation");
        const size_t channels = static_cast<size_t>(samples.channels);
        if (settings_ && channels != channels_)
            return kit::Fail("JPEG XL: a frame of other channels than the first");
        kit::ReportProgress(progress, 0, 100, data);
        if (!settings_ && !Start(channels, static_cast<uint32_t>(sequence_.sampleBits)))
            return false;
        // libjxl takes rows packed: the host's may be padded.
        const size_t row = static_cast<size_t>(samples.width) * channels;
        std::vector<uint16_t> pixels(row * static_cast<size_t>(samples.height));
        for (int32_t y = 0; y < samples.height; ++y)
            std::copy_n(samples.Row(y), row, pixels.data() + row * static_cast<size_t>(y));
        const JxlPixelFormat format{static_cast<uint32_t>(channels), JXL_TYPE_UINT16,
                                    JXL_NATIVE_ENDIAN, 0};
        if (!AddFrame(format, pixels.data(), pixels.size() * sizeof(uint16_t), delay)) return false;
        kit::ReportProgress(progress, 100, 100, data);
        return true;
    }

    bool Finish() override {
        if (!settings_) return false;
        JxlEncoderCloseInput(encoder_.encoder);
        if (!Drain(encoder_.encoder, &bytes_)) return false;
        return kit::StoreBytes(target_, nullptr, 0, bytes_.data(), bytes_.size());
    }

private:
    bool Animated() const { return sequence_.frameCount > 1; }

    // The header from the first frame: its channels (grey or colour, with alpha or not: a
    // later frame may show what the first lets through) at `bits` bits, the profile and the
    // boxes the host set.
    bool Start(size_t channels, uint32_t bits) {
        JxlEncoder *encoder = encoder_.encoder;
        if (!encoder) return kit::Fail("not enough memory");
        if (runner_.runner && !Succeeded(JxlEncoderSetParallelRunner(
                                  encoder, JxlThreadParallelRunner, runner_.runner)))
            return Refused(encoder);
        const bool lossless = options.Get("lossless") != 0;
        channels_ = channels;
        const std::string profile = kit::OutgoingMetadata(FALTRIX_METADATA_ICC);
        const bool grey = channels < 3;
        JxlBasicInfo info = BasicInfo(static_cast<uint32_t>(sequence_.width),
                                      static_cast<uint32_t>(sequence_.height), grey,
                                      channels % 2 == 0, lossless || !profile.empty(), bits);
        if (Animated()) {
            info.have_animation = JXL_TRUE;
            info.animation.tps_numerator = 1000;
            info.animation.tps_denominator = 1;
            info.animation.num_loops = static_cast<uint32_t>(std::max(sequence_.loopCount, 0));
        }
        if (!Succeeded(JxlEncoderSetBasicInfo(encoder, &info)) ||
            !SetColour(encoder, grey, profile) || !AddBoxes(encoder))
            return Refused(encoder);
        settings_ = QualitySettings(encoder, lossless);
        return settings_ != nullptr || Refused(encoder);
    }

    // Queues a frame of pixels in `format` after encoding what came before.
    bool AddFrame(const JxlPixelFormat &format, const void *pixels, size_t size, int32_t delay) {
        if (!Drain(encoder_.encoder, &bytes_)) return false;
        JxlFrameHeader header;
        JxlEncoderInitFrameHeader(&header);
        // A frame of no duration is a layer of the next one in JPEG XL, no frame of its own:
        // a delay of 0 is stored as 1 ms so that the frame stays one.
        header.duration = static_cast<uint32_t>(std::max(delay, 1));
        if ((Animated() && !Succeeded(JxlEncoderSetFrameHeader(settings_, &header))) ||
            !Succeeded(JxlEncoderAddImageFrame(settings_, &format, pixels, size)))
            return Refused(encoder_.encoder);
        return true;
    }

    std::string target_;
    kit::Sequence sequence_;
    RunnerGuard runner_;
    EncoderGuard encoder_;
    JxlEncoderFrameSettings *settings_ = nullptr;  // libjxl's, with the encoder
    size_t channels_ = 3;
    std::vector<uint8_t> bytes_;
};

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    return kit::MakeWriter<AnimationWriter>(path, sequence);
}

}  // namespace
}  // namespace faltrix::jxl::output

FALTRIX_KIT_BUNDLED_OUTPUT_CHECKED(faltrix::jxl::output)
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::jxl::output)
FALTRIX_KIT_DEEP_OUTPUT()
FALTRIX_KIT_SETTINGS(faltrix::jxl::output, faltrix::jxl::output::kTitle)
