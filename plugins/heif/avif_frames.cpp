// The frames of an AVIF sequence, for OpenFrames ... CloseFrames, read with libavif: libheif
// (1.15) reads the still picture of a file but not its sequence track. Frame 1 is the picture
// GetPictureDIB gives (libheif's primary image); frames 2 on are the track's, decoded by
// libavif in order (an AV1 frame needs the ones before it back to a key frame), each into a
// 32-bit section with straight alpha when the track has alpha, else 24-bit. Deeper than 8
// bits, they are also given as 16-bit RGB or RGBA samples (ReadSamples) with the file's depth.
//
// A file that is not AVIF, has no sequence, or whose track libavif cannot read or is not of
// the still picture's size is left to heif_input.cpp, which gives its top-level pictures as
// pages. libavif of this version does not say how often a sequence plays (it has no
// repetition count), so sequences are said to play for ever, as players of AVIF sequences
// play them.
#include <avif/avif.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "faltrix/kit/kit.h"
#include "heif_common.h"
#include "heif_frames.h"

namespace faltrix::heif {

namespace {

bool AvifFailed(avifResult result) {
    return kit::Fail(std::string("AVIF: ") + avifResultToString(result));
}

// The file's ftyp box names AVIF as its major or a compatible brand.
bool IsAvif(const WCHAR *path) {
    kit::InputFile file;
    uint8_t head[256];
    if (!file.Open(path)) return false;
    const size_t n = size_t(std::min<int64_t>(file.size(), sizeof head));
    if (n < 16 || !file.Read(head, n) || std::memcmp(head + 4, "ftyp", 4) != 0) return false;
    const size_t box =
        size_t(head[0]) << 24 | size_t(head[1]) << 16 | size_t(head[2]) << 8 | head[3];
    for (size_t at = 8; at + 4 <= std::min(box, n); at += at == 8 ? 8 : 4)
        if (std::memcmp(head + at, "avif", 4) == 0 || std::memcmp(head + at, "avis", 4) == 0)
            return true;
    return false;
}

// The file as libavif reads it. libavif's own file reader refuses a whole sequence whose file
// ends early; this one tells libavif nothing of the file's size and answers a read past the
// end with what there is, so that the boxes that describe the frames are read, and only a
// frame whose data is gone fails, as libavif's "Truncated data".
struct FileIO {
    avifIO io{};  // first: libavif hands back the avifIO*
    kit::InputFile file;
    std::vector<uint8_t> buffer;

    static avifResult Read(avifIO *io, uint32_t flags, uint64_t offset, size_t size,
                           avifROData *out) {
        auto *self = reinterpret_cast<FileIO *>(io);
        const uint64_t end = uint64_t(self->file.size());
        if (flags != 0) return AVIF_RESULT_IO_ERROR;
        size = offset >= end ? 0 : size_t(std::min<uint64_t>(size, end - offset));
        self->buffer.resize(size);
        if (size > 0 &&
            !(self->file.Seek(int64_t(offset)) && self->file.Read(self->buffer.data(), size)))
            return AVIF_RESULT_IO_ERROR;
        out->data = self->buffer.data();
        out->size = size;
        return AVIF_RESULT_OK;
    }
    static void Destroy(avifIO *io) { delete reinterpret_cast<FileIO *>(io); }
};

class AvifReader final : public kit::FrameReader {
public:
    ~AvifReader() override {
        if (decoder_) avifDecoderDestroy(decoder_);
    }
    bool Open(const WCHAR *path, kit::Sequence *out);
    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override;
    bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                     kit::SampleTarget &target) override;

private:
    // Decodes frame index (past the first) of the track into decoder_->image.
    bool DecodeTrackFrame(int32_t index);
    // The track, when libavif reads it and it has frames beyond the still picture's.
    void OpenTrack(const WCHAR *path, const PictureInfo &still, kit::Sequence *out);
    int32_t Delay(int32_t index) const;

    std::u16string path_;
    avifDecoder *decoder_ = nullptr;
    int32_t deepBits_ = 0;  // of the deep frames: the still picture's or the track's, deeper
    bool alpha_ = false;    // every deep frame has alpha when either has it
};

void AvifReader::OpenTrack(const WCHAR *path, const PictureInfo &still, kit::Sequence *out) {
    auto io = std::make_unique<FileIO>();
    decoder_ = avifDecoderCreate();
    if (!decoder_) return;
    if (!io->file.Open(path)) {
        avifDecoderDestroy(decoder_);
        decoder_ = nullptr;
        return;
    }
    io->io.read = FileIO::Read;
    io->io.destroy = FileIO::Destroy;
    avifDecoderSetIO(decoder_, &io.release()->io);  // the decoder's from now on
    decoder_->imageSizeLimit = uint32_t(kit::kMaxPixels);
    decoder_->imageCountLimit = FALTRIX_MAX_FRAMES;
    decoder_->requestedSource = AVIF_DECODER_SOURCE_TRACKS;
    decoder_->ignoreExif = decoder_->ignoreXMP = AVIF_TRUE;  // frame 1 notes them, with libheif
    if (avifDecoderParse(decoder_) != AVIF_RESULT_OK || decoder_->imageCount < 2 ||
        int64_t(decoder_->image->width) != still.width ||
        int64_t(decoder_->image->height) != still.height) {
        avifDecoderDestroy(decoder_);
        decoder_ = nullptr;
        return;
    }
    out->frameCount = decoder_->imageCount;
    out->loopCount = 0;
    const uint32_t depth = decoder_->image->depth;
    deepBits_ = std::max(deepBits_, depth > 8 ? int32_t(std::min(depth, 16u)) : 0);
    alpha_ = alpha_ || decoder_->alphaPresent;
    out->sampleBits = deepBits_;
}

bool AvifReader::Open(const WCHAR *path, kit::Sequence *out) {
    path_ = path;
    PictureInfo still{};
    if (!IsAvif(path) || !ReadPrimarySize(path, &still) ||
        !ReadPrimaryDepth(path, &deepBits_, &alpha_))
        return false;
    out->width = still.width;
    out->height = still.height;
    OpenTrack(path, still, out);
    kit::ClearLastFailure();  // a track that cannot be read leaves the pictures as pages
    return decoder_ != nullptr;
}

int32_t AvifReader::Delay(int32_t index) const {
    avifImageTiming timing{};
    if (!decoder_ ||
        avifDecoderNthImageTiming(decoder_, uint32_t(index), &timing) != AVIF_RESULT_OK)
        return 0;
    return int32_t(std::lround(std::min(timing.duration, 2e6) * 1000));
}

HBITMAP AvifReader::Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                         DibAllocCallbackFn alloc) {
    *delay = Delay(index);
    if (index == 0) return DecodePrimary(path_.c_str(), progress, data, alloc);
    if (!DecodeTrackFrame(index)) return nullptr;
    const avifImage *image = decoder_->image;
    const bool alpha = image->alphaPlane != nullptr;
    kit::DibSpec spec;
    spec.width = int32_t(image->width);
    spec.height = int32_t(image->height);
    spec.bitCount = alpha ? 32 : 24;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard owned{dib.bitmap};
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    rgb.depth = 8;
    rgb.format = alpha ? AVIF_RGB_FORMAT_BGRA : AVIF_RGB_FORMAT_BGR;
    rgb.pixels = dib.Row(0);
    rgb.rowBytes = dib.stride;
    if (const avifResult converted = avifImageYUVToRGB(image, &rgb); converted != AVIF_RESULT_OK)
        return AvifFailed(converted), nullptr;
    if (alpha) kit::KeepFullTransparency(dib, spec.width, spec.height);
    kit::ReportProgress(progress, spec.height, spec.height, data);
    return owned.Release();
}

bool AvifReader::DecodeTrackFrame(int32_t index) {
    if (index >= decoder_->imageCount) return kit::Fail("AVIF: no such frame");
    // The next frame follows on from the one before; a later one from its key frame.
    const avifResult decoded = index == decoder_->imageIndex + 1
                                   ? avifDecoderNextImage(decoder_)
                                   : avifDecoderNthImage(decoder_, uint32_t(index));
    return decoded == AVIF_RESULT_OK || AvifFailed(decoded);
}

// Frame 1 is libheif's primary picture; the track's frames come from libavif at their own
// depth and are widened here, as the primary's are, so that both round alike.
bool AvifReader::ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress,
                             int32_t data, kit::SampleTarget &target) {
    *delay = Delay(index);
    const int32_t channels = alpha_ ? 4 : 3;
    if (index == 0)
        return DecodePrimarySamples(path_.c_str(), channels, deepBits_, target, progress, data);
    if (!DecodeTrackFrame(index)) return false;
    const avifImage *image = decoder_->image;
    if (image->depth > 16) return kit::Fail("AVIF: samples deeper than 16 bits");
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, image);
    const int32_t from = image->alphaPlane ? 4 : 3;
    rgb.format = from == 4 ? AVIF_RGB_FORMAT_RGBA : AVIF_RGB_FORMAT_RGB;
    rgb.depth = image->depth;
    rgb.rowBytes = image->width * uint32_t(from) * (image->depth > 8 ? 2 : 1);
    std::vector<uint8_t> pixels(size_t(rgb.rowBytes) * image->height);
    rgb.pixels = pixels.data();
    if (const avifResult converted = avifImageYUVToRGB(image, &rgb); converted != AVIF_RESULT_OK)
        return AvifFailed(converted);
    const kit::SampleView view = target.Allocate(channels, deepBits_);
    if (!view.data) return false;
    WidenOnto(view, pixels.data(), rgb.rowBytes, int32_t(image->width), int32_t(image->height),
              from, int32_t(image->depth));
    kit::ReportProgress(progress, view.height, view.height, data);
    return true;
}

}  // namespace

std::unique_ptr<kit::FrameReader> OpenAvifSequence(const WCHAR *path, kit::Sequence *out) {
    return kit::OpenReader<AvifReader>(path, out);
}

}  // namespace faltrix::heif
