// The frames of an AVIF sequence, for BeginFrames ... EndFrames of the AVIF output, written
// with libavif: libheif (1.15) writes still pictures only. Frames are AV1-coded by libavif's
// encoder one at a time, with the settings of the still pictures (quality or lossless, speed)
// and the same colour description (sRGB primaries and curve; BT.601's matrix, or the identity
// when lossless); the encoder keeps the coded frames, never the pictures, until the file is
// finished. Durations are in milliseconds (a timescale of 1000). Every frame carries an alpha
// plane, since a sequence's frames share one layout and a later frame may bring transparency;
// an opaque plane costs next to nothing. The colour profile, EXIF and XMP the host set go with
// the first frame, where libavif stores them for the file.
//
// Deep frames (AddFrameSamples) are stored at 10 bits when the source has up to 10, else at
// 12, the most AV1 holds; a sequence of one frame is a still picture.
//
// libavif of this version writes no repetition count: readers play its sequences for ever,
// whatever the loop count asked.
#include <avif/avif.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/frames.h"
#include "faltrix/kit/metadata.h"
#include "faltrix/kit/options.h"

namespace faltrix::heif::output {

extern kit::Options options;

namespace {

bool AvifFailed(avifResult result) {
    return kit::Fail(std::string("AVIF: ") + avifResultToString(result));
}

struct ImageGuard {
    avifImage *image;
    ~ImageGuard() {
        if (image) avifImageDestroy(image);
    }
};

class AvifWriter final : public kit::FrameWriter {
public:
    AvifWriter(std::string target, const kit::Sequence &sequence)
        : target_(std::move(target)), sequence_(sequence) {}
    ~AvifWriter() override {
        if (encoder_) avifEncoderDestroy(encoder_);
    }
    bool Begin();
    bool Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) override;
    bool AddSamples(const kit::SampleView &samples, int32_t delay, ProgressCallbackFn progress,
                    int32_t data) override;
    bool Finish() override;

private:
    // A frame of the sequence's size at `depth` bits, with the colour description and, on the
    // first frame, the host's items; null when there is no memory.
    avifImage *Create(uint32_t depth);
    bool Fill(const kit::SourcePicture &src, avifImage *image);
    // Hands libavif the next frame.
    bool Encode(avifImage *image, int32_t delay);

    std::string target_;
    kit::Sequence sequence_;
    avifEncoder *encoder_ = nullptr;
    bool lossless_ = false;
    int32_t added_ = 0;
};

bool AvifWriter::Begin() {
    encoder_ = avifEncoderCreate();
    if (!encoder_) return kit::Fail("not enough memory");
    lossless_ = options.Get("lossless") != 0;
    encoder_->maxThreads = int(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));
    encoder_->speed = options.Get("speed");
    encoder_->timescale = 1000;
    // Quality 100 is quantizer 0 (lossless when the planes are), 0 the coarsest, 63.
    const int quantizer =
        lossless_ ? AVIF_QUANTIZER_LOSSLESS : (100 - options.Get("quality")) * 63 / 100;
    encoder_->minQuantizer = encoder_->maxQuantizer = quantizer;
    encoder_->minQuantizerAlpha = encoder_->maxQuantizerAlpha = quantizer;
    return true;
}

avifImage *AvifWriter::Create(uint32_t depth) {
    avifImage *image =
        avifImageCreate(uint32_t(sequence_.width), uint32_t(sequence_.height), depth,
                        lossless_ ? AVIF_PIXEL_FORMAT_YUV444 : AVIF_PIXEL_FORMAT_YUV420);
    if (!image) return nullptr;
    image->colorPrimaries = AVIF_COLOR_PRIMARIES_BT709;
    image->transferCharacteristics = AVIF_TRANSFER_CHARACTERISTICS_SRGB;
    image->matrixCoefficients =
        lossless_ ? AVIF_MATRIX_COEFFICIENTS_IDENTITY : AVIF_MATRIX_COEFFICIENTS_BT601;
    image->yuvRange = AVIF_RANGE_FULL;
    if (added_ == 0) {
        const std::string icc = kit::OutgoingMetadata(FALTRIX_METADATA_ICC);
        const std::string exif = kit::OutgoingMetadata(FALTRIX_METADATA_EXIF);
        const std::string xmp = kit::OutgoingMetadata(FALTRIX_METADATA_XMP);
        const auto bytes = [](const std::string &s) {
            return reinterpret_cast<const uint8_t *>(s.data());
        };
        if (!icc.empty()) avifImageSetProfileICC(image, bytes(icc), icc.size());
        if (!exif.empty()) avifImageSetMetadataExif(image, bytes(exif), exif.size());
        if (!xmp.empty()) avifImageSetMetadataXMP(image, bytes(xmp), xmp.size());
    }
    return image;
}

// The picture as YUV planes and alpha.
bool AvifWriter::Fill(const kit::SourcePicture &src, avifImage *image) {
    const size_t rowBytes = size_t(src.width()) * 4;
    std::vector<uint8_t> bgra(rowBytes * size_t(src.height()));
    for (int32_t y = 0; y < src.height(); ++y) src.RowToBGRA(y, bgra.data() + rowBytes * size_t(y));
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    rgb.depth = 8;
    rgb.format = AVIF_RGB_FORMAT_BGRA;
    rgb.pixels = bgra.data();
    rgb.rowBytes = uint32_t(rowBytes);
    const avifResult converted = avifImageRGBToYUV(image, &rgb);
    return converted == AVIF_RESULT_OK || AvifFailed(converted);
}

bool AvifWriter::Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture src;
    if (!src.Open(dc)) return kit::Fail("no picture to store");
    if (src.width() != sequence_.width || src.height() != sequence_.height)
        return kit::Fail("AVIF: a frame is not of the sequence's size");
    if (added_ >= sequence_.frameCount) return kit::Fail("AVIF: more frames than announced");
    kit::ReportProgress(progress, 0, 100, data);
    ImageGuard image{Create(8)};
    if (!image.image) return kit::Fail("not enough memory");
    if (!Fill(src, image.image) || !Encode(image.image, delay)) return false;
    kit::ReportProgress(progress, 100, 100, data);
    return true;
}

bool AvifWriter::Encode(avifImage *image, int32_t delay) {
    // A frame of no time is kept as the shortest libavif stores.
    const uint64_t duration = uint64_t(std::max(delay, 1));
    const avifResult added = avifEncoderAddImage(
        encoder_, image, duration,
        sequence_.frameCount == 1 ? AVIF_ADD_IMAGE_FLAG_SINGLE : AVIF_ADD_IMAGE_FLAG_NONE);
    if (added != AVIF_RESULT_OK) return AvifFailed(added);
    ++added_;
    return true;
}

// AV1 holds 10 or 12 bits: 10 for sources of up to 10, 12 for deeper ones (16 bits come
// down to 12). Grey sources are stored as colour, their three planes alike, and alpha only
// when the frames have it (they all have the first's channels).
bool AvifWriter::AddSamples(const kit::SampleView &samples, int32_t delay,
                            ProgressCallbackFn progress, int32_t data) {
    if (sequence_.sampleBits == 0) return kit::Fail("AVIF: the sequence takes 8-bit frames");
    if (samples.width != sequence_.width || samples.height != sequence_.height)
        return kit::Fail("AVIF: a frame is not of the sequence's size");
    if (added_ >= sequence_.frameCount) return kit::Fail("AVIF: more frames than announced");
    kit::ReportProgress(progress, 0, 100, data);
    const uint32_t depth = sequence_.sampleBits <= 10 ? 10 : 12;
    ImageGuard image{Create(depth)};
    if (!image.image) return kit::Fail("not enough memory");
    const size_t from = size_t(samples.channels), to = from % 2 == 0 ? 4 : 3;
    std::vector<uint16_t> narrow(size_t(samples.width) * size_t(samples.height) * to);
    uint16_t *at = narrow.data();
    for (int32_t y = 0; y < samples.height; ++y) {
        const uint16_t *row = samples.Row(y);
        for (int32_t x = 0; x < samples.width; ++x, row += from, at += to) {
            for (size_t c = 0; c < 3; ++c)
                at[c] = uint16_t(kit::NarrowSample(row[from < 3 ? 0 : c], int32_t(depth)));
            if (to == 4) at[3] = uint16_t(kit::NarrowSample(row[from - 1], int32_t(depth)));
        }
    }
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image.image);
    rgb.depth = depth;
    rgb.format = to == 4 ? AVIF_RGB_FORMAT_RGBA : AVIF_RGB_FORMAT_RGB;
    rgb.pixels = reinterpret_cast<uint8_t *>(narrow.data());
    rgb.rowBytes = uint32_t(size_t(samples.width) * to * 2);
    if (const avifResult converted = avifImageRGBToYUV(image.image, &rgb);
        converted != AVIF_RESULT_OK)
        return AvifFailed(converted);
    if (!Encode(image.image, delay)) return false;
    kit::ReportProgress(progress, 100, 100, data);
    return true;
}

bool AvifWriter::Finish() {
    if (added_ != sequence_.frameCount)
        return kit::Fail("AVIF: " + std::to_string(sequence_.frameCount) +
                         " frames were announced and " + std::to_string(added_) + " added");
    avifRWData encoded = AVIF_DATA_EMPTY;
    const avifResult finished = avifEncoderFinish(encoder_, &encoded);
    if (finished != AVIF_RESULT_OK) return AvifFailed(finished);
    const std::unique_ptr<avifRWData, void (*)(avifRWData *)> owned(&encoded, avifRWDataFree);
    return kit::StoreBytes(target_, nullptr, 0, encoded.data, encoded.size);
}

}  // namespace

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    auto writer = kit::MakeWriter<AvifWriter>(path, sequence);
    if (!writer || !writer->Begin()) return nullptr;
    return writer;
}

}  // namespace faltrix::heif::output

FALTRIX_KIT_FRAMES_OUTPUT(faltrix::heif::output)
FALTRIX_KIT_DEEP_OUTPUT()
