// The HEIC and AVIF output plug-ins, one library each from this file (FALTRIX_HEIF_OUTPUT_AVIF
// picks which): the picture through libheif, HEVC-coded by x265 or AV1-coded by aom, lossy at
// a quality or lossless, alpha kept. They are two plug-ins because a user picks HEIC or AVIF as
// a format of its own, and the AV1 encoder takes a speed the HEVC one has no use for.
//
// Lossy pictures are stored as YCbCr 4:2:0, as a camera stores them. Lossless ones are stored
// as 4:4:4 with the identity matrix (the planes are G, B, R themselves), since any YCbCr
// matrix rounds; the colour description says so, beside the colour profile when there is one,
// so that readers do not take the planes for YCbCr. The colour profile, EXIF and XMP the host
// set are stored with the picture.
//
// Frames (BeginFrames ... EndFrames) are stored as pages, top-level pictures of one file, the
// first the primary one; deep frames (AddFrameSamples) at 10 or 12 bits where the encoder
// takes them. The AVIF output with libavif stores frames as a sequence instead
// (avif_sequence_output.cpp).
#include <sched.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "faltrix/dib_layout.h"
#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/owned.h"
#include "heif_common.h"

#ifndef FALTRIX_HEIF_OUTPUT_AVIF
#error "FALTRIX_HEIF_OUTPUT_AVIF is 1 for the AVIF plug-in, 0 for the HEIC one"
#endif

namespace faltrix::heif::output {
namespace {

constexpr bool kAvif = FALTRIX_HEIF_OUTPUT_AVIF != 0;
constexpr heif_compression_format kCompression =
    kAvif ? heif_compression_AV1 : heif_compression_HEVC;

// The lowest quality whose luma keeps as close to the source as the JPEG plug-in's default of
// 90 does, on a smooth picture (the test chart enlarged four times: about 50.5 dB PSNR for
// each); on the chart itself, all edges, both formats come closer than JPEG at these values.
constexpr int kDefaultQuality = kAvif ? 85 : 65;

std::vector<kit::OptionSpec> Specs() {
    std::vector<kit::OptionSpec> specs = {
        {"lossless", "Lossless", kit::Setting::Kind::Flag, 0, 1, {}, 0},
        {"quality", "Quality", kit::Setting::Kind::Integer, 0, 100, {}, kDefaultQuality}};
    // aom's speed: 0 is the slowest and smallest, 9 the fastest; libheif's default is 6.
    if (kAvif)
        specs.push_back(
            {"speed", "Speed (0 slowest, 9 fastest)", kit::Setting::Kind::Integer, 0, 9, {}, 6});
    return specs;
}

}  // namespace

constexpr const char *kTitle =
    kAvif ? "AVIF settings" : "HEIC settings";  // of the settings dialog, naming its kept values

// The session's settings, set by the dialog or SetPluginOption and read by a job thread.
kit::Options options(Specs());

namespace {

// The values the dialog program kept from an earlier run, if any.
[[maybe_unused]] const bool g_kept = kit::TakeKeptOptions(kTitle, &options);

}  // namespace

kit::FormatInfo Format() {
    if (kAvif) return heif::Format(u"AVIF", {{u"*.avif", u"AVIF pictures"}});
    return heif::Format(u"HEIC", {{u"*.heic;*.heif", u"HEIC pictures"}});
}

bool KeepsMetadata(std::string_view key, size_t) {
    if (key == FALTRIX_METADATA_TRANSPARENCY) return true;  // alpha is kept
    return key == FALTRIX_METADATA_ICC || key == FALTRIX_METADATA_EXIF ||
           key == FALTRIX_METADATA_XMP;
}

// The picture is always encoded from RGB.
kit::StoredColour StoredColour(const kit::StoredLayout &) { return kit::StoredColour::kColour; }

namespace {

struct EncoderGuard {
    heif_encoder *encoder = nullptr;
    EncoderGuard() = default;
    ~EncoderGuard() {
        if (encoder) heif_encoder_release(encoder);
    }
    EncoderGuard(const EncoderGuard &) = delete;
    EncoderGuard &operator=(const EncoderGuard &) = delete;
};

// The picture as an interleaved R, G, B (A) image for libheif.
bool MakeImage(const kit::SourcePicture &src, ImageGuard *out) {
    const bool alpha = src.HasAlpha();
    const int w = src.width(), h = src.height();
    if (!Succeeded(heif_image_create(
            w, h, heif_colorspace_RGB,
            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &out->image)) ||
        !Succeeded(heif_image_add_plane(out->image, heif_channel_interleaved, w, h, 8)))
        return false;
    int stride = 0;
    uint8_t *pixels = heif_image_get_plane(out->image, heif_channel_interleaved, &stride);
    if (!pixels) return kit::Fail("not enough memory");
    std::vector<uint8_t> bgra(static_cast<size_t>(w) * 4);
    const int channels = alpha ? 4 : 3;
    for (int y = 0; y < h; ++y) {
        src.RowToBGRA(y, bgra.data());
        SwapRedBlue(bgra.data(), 4, pixels + static_cast<size_t>(stride) * static_cast<size_t>(y),
                    channels, static_cast<size_t>(w));
    }
    return true;
}

// aom's threads: one per core the process may run on, up to 16.
int Threads() {
    cpu_set_t cpus;
    const int count = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    return std::clamp(count, 1, 16);
}

bool Configure(heif_encoder *encoder, bool lossless) {
    // Threads only make it faster: an encoder without the parameter encodes all the same.
    if (kAvif) heif_encoder_set_parameter_integer(encoder, "threads", Threads());
    if (lossless) {
        return Succeeded(heif_encoder_set_lossless(encoder, 1)) &&
               Succeeded(heif_encoder_set_parameter_string(encoder, "chroma", "444"));
    }
    if (!Succeeded(heif_encoder_set_lossy_quality(encoder, options.Get("quality")))) return false;
    return !kAvif ||
           Succeeded(heif_encoder_set_parameter_integer(encoder, "speed", options.Get("speed")));
}

heif_error WriteBytes(heif_context *, const void *data, size_t size, void *userdata) {
    if (static_cast<kit::OutputFile *>(userdata)->Write(data, size))
        return {heif_error_Ok, heif_suberror_Unspecified, ""};
    return {heif_error_Encoding_error, heif_suberror_Cannot_write_output_data,
            "the file cannot be written"};
}

// Each item the host set, as libheif stores it: the profile in a colr box, EXIF and XMP as
// items of the picture.
bool AddMetadata(heif_context *context, const heif_image_handle *handle) {
    const std::string exif = kit::OutgoingMetadata(FALTRIX_METADATA_EXIF);
    const std::string xmp = kit::OutgoingMetadata(FALTRIX_METADATA_XMP);
    return (exif.empty() || Succeeded(heif_context_add_exif_metadata(
                                context, handle, exif.data(), static_cast<int>(exif.size())))) &&
           (xmp.empty() || Succeeded(heif_context_add_XMP_metadata(context, handle, xmp.data(),
                                                                   static_cast<int>(xmp.size()))));
}

// What storing pictures through libheif takes: a context, its encoder with the settings, and
// the colour description every picture gets. sRGB's primaries and curve; BT.601's matrix for
// lossy pictures, the identity for lossless.
class Encoding {
public:
    bool Start() {
        lossless_ = options.Get("lossless") != 0;
        profile_ = kit::OutgoingMetadata(FALTRIX_METADATA_ICC);
        if (!context_.context || !nclx_ || !options_) return kit::Fail("not enough memory");
        nclx_->color_primaries = heif_color_primaries_ITU_R_BT_709_5;
        nclx_->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
        nclx_->matrix_coefficients =
            lossless_ ? heif_matrix_coefficients_RGB_GBR : heif_matrix_coefficients_ITU_R_BT_601_6;
        nclx_->full_range_flag = 1;
        options_->save_two_colr_boxes_when_ICC_and_nclx_available = 1;
        options_->output_nclx_profile = nclx_.get();
        return Succeeded(heif_context_get_encoder_for_format(context_.context, kCompression,
                                                             &encoder_.encoder)) &&
               Configure(encoder_.encoder, lossless_);
    }

    // Encodes image as the next top-level picture, the first as the primary one with the
    // host's EXIF and XMP; each with the colour description and the profile.
    bool Add(heif_image *image) {
        HandleGuard handle;
        if (!Succeeded(heif_image_set_nclx_color_profile(image, nclx_.get())) ||
            (!profile_.empty() && !Succeeded(heif_image_set_raw_color_profile(
                                      image, "prof", profile_.data(), profile_.size()))) ||
            !Succeeded(heif_context_encode_image(context_.context, image, encoder_.encoder,
                                                 options_.get(), &handle.handle)))
            return false;
        return added_++ > 0 || AddMetadata(context_.context, handle.handle);
    }
    int32_t added() const { return added_; }

    bool Write(const std::string &target, ProgressCallbackFn progress, int32_t data) {
        return kit::StoreEncoded(target, progress, data, [&](kit::OutputFile &out) {
            heif_writer writer{1, WriteBytes};
            return Succeeded(heif_context_write(context_.context, &writer, &out));
        });
    }

private:
    bool lossless_ = false;
    std::string profile_;
    ContextGuard context_;
    EncoderGuard encoder_;
    kit::Owned<heif_color_profile_nclx, heif_nclx_color_profile_free> nclx_{
        heif_nclx_color_profile_alloc()};
    kit::Owned<heif_encoding_options, heif_encoding_options_free> options_{
        heif_encoding_options_alloc()};
    int32_t added_ = 0;
};

bool Save(HDC dc, const WCHAR *path, ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture src;
    if (!kit::OpenSave(dc, path, &target, &src, progress, data)) return false;
    ImageGuard image;
    Encoding encoding;
    return MakeImage(src, &image) && encoding.Start() && encoding.Add(image.image) &&
           encoding.Write(target, progress, data);
}

// Frames go as pages through libheif, unless the AVIF output has libavif for its sequences
// (avif_sequence_output.cpp).
#if !FALTRIX_HEIF_OUTPUT_AVIF || !FALTRIX_HEIF_AVIF_SEQUENCES

// Deep samples as an interleaved R, G, B (A) image of `depth` bits for libheif (grey as three
// channels alike), 16 bits a sample in the machine's order, or 8 when depth is 8.
bool MakeDeepImage(const kit::SampleView &samples, int32_t depth, ImageGuard *out) {
    const size_t from = static_cast<size_t>(samples.channels), to = from % 2 == 0 ? 4 : 3;
    constexpr bool kLittle = std::endian::native == std::endian::little;
    const heif_chroma chroma =
        depth == 8 ? (to == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB)
        : to == 4
            ? (kLittle ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBBAA_BE)
            : (kLittle ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RRGGBB_BE);
    const int w = samples.width, h = samples.height;
    if (!Succeeded(heif_image_create(w, h, heif_colorspace_RGB, chroma, &out->image)) ||
        !Succeeded(heif_image_add_plane(out->image, heif_channel_interleaved, w, h, depth)))
        return false;
    int stride = 0;
    uint8_t *pixels = heif_image_get_plane(out->image, heif_channel_interleaved, &stride);
    if (!pixels) return kit::Fail("not enough memory");
    for (int y = 0; y < h; ++y) {
        const uint16_t *row = samples.Row(y);
        uint8_t *line = pixels + static_cast<size_t>(stride) * static_cast<size_t>(y);
        for (size_t i = 0; i < static_cast<size_t>(w) * to; ++i) {
            const size_t x = i / to, c = i % to;
            const uint16_t v = row[x * from + (c == 3 ? from - 1 : from < 3 ? 0 : c)];
            const auto narrow = static_cast<uint16_t>(kit::NarrowSample(v, depth));
            if (depth == 8) line[i] = static_cast<uint8_t>(narrow);
            else std::memcpy(line + i * 2, &narrow, 2);
        }
    }
    return true;
}

// Frames as pages: each a top-level picture of its own, the first the primary one, encoded
// as Save encodes a picture; delays and loops are not kept. Deep frames are stored at 10 bits
// when the source has up to 10, else at 12 (16-bit sources come down to 12, the most HEVC
// and AV1 hold here); at 8 bits, as the encoder's error is then taken to say it holds no
// more, when the encoder refuses them. libheif keeps the encoded pictures until the file is
// written.
class PageWriter final : public kit::FrameWriter {
public:
    PageWriter(std::string target, const kit::Sequence &sequence)
        : target_(std::move(target)), sequence_(sequence) {}
    bool Begin() { return encoding_.Start(); }

    bool Add(HDC dc, int32_t, ProgressCallbackFn progress, int32_t data) override {
        kit::SourcePicture src;
        if (!src.Open(dc)) return kit::Fail("no picture to store");
        if (src.width() != sequence_.width || src.height() != sequence_.height)
            return kit::Fail("HEIF: a frame is not of the sequence's size");
        kit::ReportProgress(progress, 0, 100, data);
        ImageGuard image;
        if (!MakeImage(src, &image) || !encoding_.Add(image.image)) return false;
        kit::ReportProgress(progress, 100, 100, data);
        return true;
    }

    bool AddSamples(const kit::SampleView &samples, int32_t, ProgressCallbackFn progress,
                    int32_t data) override {
        if (sequence_.sampleBits == 0) return kit::Fail("HEIF: the sequence takes 8-bit frames");
        if (samples.width != sequence_.width || samples.height != sequence_.height)
            return kit::Fail("HEIF: a frame is not of the sequence's size");
        kit::ReportProgress(progress, 0, 100, data);
        if (depth_ > 8) {
            ImageGuard image;
            if (!MakeDeepImage(samples, depth_, &image)) return false;
            if (encoding_.Add(image.image))
                return kit::ReportProgress(progress, 100, 100, data), true;
            if (encoding_.added() > 0) return false;  // the first was taken: this one is bad
            depth_ = 8;
            kit::ClearLastFailure();
        }
        ImageGuard image;
        if (!MakeDeepImage(samples, 8, &image) || !encoding_.Add(image.image)) return false;
        kit::ReportProgress(progress, 100, 100, data);
        return true;
    }

    bool Finish() override {
        if (encoding_.added() != sequence_.frameCount)
            return kit::Fail("HEIF: " + std::to_string(sequence_.frameCount) +
                             " frames were announced and " + std::to_string(encoding_.added()) +
                             " added");
        return encoding_.Write(target_, nullptr, 0);
    }

private:
    std::string target_;
    kit::Sequence sequence_;
    Encoding encoding_;
    int32_t depth_ = sequence_.sampleBits <= 10 ? 10 : 12;
};

std::unique_ptr<kit::FrameWriter> BeginPages(const WCHAR *path, const kit::Sequence &sequence) {
    auto writer = kit::MakeWriter<PageWriter>(path, sequence);
    if (!writer || !writer->Begin()) return nullptr;
    return writer;
}
#define FALTRIX_HEIF_PAGE_OUTPUT 1
#endif

}  // namespace
}  // namespace faltrix::heif::output

FALTRIX_KIT_BUNDLED_OUTPUT(faltrix::heif::output)
FALTRIX_KIT_SETTINGS(faltrix::heif::output, faltrix::heif::output::kTitle)

#if FALTRIX_HEIF_PAGE_OUTPUT
namespace faltrix::heif::output {
std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    return BeginPages(path, sequence);
}
}  // namespace faltrix::heif::output
FALTRIX_KIT_FRAMES_OUTPUT(faltrix::heif::output)
FALTRIX_KIT_DEEP_OUTPUT()
#endif
