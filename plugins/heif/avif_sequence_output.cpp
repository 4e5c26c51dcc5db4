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
    bool Finish() override;

private:
    bool Fill(const kit::SourcePicture &src, avifImage *image);

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

// The picture as YUV planes and alpha, with the colour description and, on the first frame,
// the host's items.
bool AvifWriter::Fill(const kit::SourcePicture &src, avifImage *image) {
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
    ImageGuard image{
        avifImageCreate(uint32_t(src.width()), uint32_t(src.height()), 8,
                        lossless_ ? AVIF_PIXEL_FORMAT_YUV444 : AVIF_PIXEL_FORMAT_YUV420)};
    if (!image.image) return kit::Fail("not enough memory");
    if (!Fill(src, image.image)) return false;
    // A frame of no time is kept as the shortest libavif stores.
    const uint64_t duration = uint64_t(std::max(delay, 1));
    const avifResult added =
        avifEncoderAddImage(encoder_, image.image, duration, AVIF_ADD_IMAGE_FLAG_NONE);
    if (added != AVIF_RESULT_OK) return AvifFailed(added);
    ++added_;
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
    kit::OutputFile out(target_);
    return out.ok() && out.Write(encoded.data, encoded.size) && out.Close();
}

}  // namespace

std::unique_ptr<kit::FrameWriter> BeginFrames(const WCHAR *path, const kit::Sequence &sequence) {
    std::string target;
    if (!kit::PathToBytes(path, &target)) return nullptr;
    auto writer = std::make_unique<AvifWriter>(std::move(target), sequence);
    if (!writer->Begin()) return nullptr;
    return writer;
}

}  // namespace faltrix::heif::output

FALTRIX_KIT_FRAMES_OUTPUT(faltrix::heif::output)
