// The JPEG XL input plug-in: the first frame of a JPEG XL file, bare codestream or container,
// as libjxl shows it by default, that is turned upright by its orientation; into a 32-bit DIB
// with straight alpha when the picture has alpha (premultiplied sources are divided back by
// libjxl), an 8-bit grey-ramp DIB when it is grey, else 24-bit. Deeper samples come down to 8
// bits with a notice; the frames of an animation are counted past the first without being
// decoded, and the colour profile (unless the pixels are sRGB), EXIF and XMP are noted for
// GetPictureMetadata. Read as frames, an animation gives every frame as libjxl composes it,
// with its duration in milliseconds and the loop count of its header; a file deeper than 8
// bits gives them as 16-bit samples too (GetFrameSamples: grey, grey and alpha, RGB or RGBA,
// as the file holds them), saying its own depth, so that 10 or 12 bits can be stored again.
//
// The kit's limits are checked on the header, before any pixel is decoded, and so is the
// memory libjxl will take: the JPEG plug-in's decoder may use 1 GiB, and so may this one.
// libjxl 0.7 takes only its own structure through the memory manager it is given (which
// refuses to go past the cap all the same); its sample planes it allocates itself, so each
// frame is refused beforehand when its samples, at libjxl's 4 bytes each, come to more.
#include <jxl/decode.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "faltrix/dib_layout.h"
#include "faltrix/kit/entry_points.h"
#include "jxl_common.h"

namespace faltrix::jxl {
namespace {

// What libjxl may hold at once through its memory manager, as the JPEG plug-in's decoder.
constexpr size_t kMaxDecoderMemory = size_t{1} << 30;
// Each block starts with its size, so that freeing it gives the budget back; the header keeps
// malloc's alignment.
constexpr size_t kHeader = alignof(std::max_align_t);

struct Budget {
    std::atomic<size_t> used{0};
    std::atomic<bool> refused{false};
};

void *Allocate(void *opaque, size_t size) {
    auto *budget = static_cast<Budget *>(opaque);
    if (size > kMaxDecoderMemory - kHeader ||
        budget->used.fetch_add(size) + size > kMaxDecoderMemory) {
        if (size <= kMaxDecoderMemory - kHeader) budget->used.fetch_sub(size);
        budget->refused = true;
        return nullptr;
    }
    auto *block = static_cast<unsigned char *>(std::malloc(size + kHeader));
    if (!block) {
        budget->used.fetch_sub(size);
        return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
}

void Release(void *opaque, void *address) {
    if (!address) return;
    unsigned char *block = static_cast<unsigned char *>(address) - kHeader;
    size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    static_cast<Budget *>(opaque)->used.fetch_sub(size);
    std::free(block);
}

// False, with the cause, when the samples of a width x height frame of this picture would
// take libjxl more than the cap.
bool WithinMemory(const JxlBasicInfo &info, uint64_t width, uint64_t height) {
    const uint64_t bytes =
        width * height * (uint64_t{info.num_color_channels} + info.num_extra_channels) * 4;
    if (bytes <= kMaxDecoderMemory) return true;
    return kit::Fail("JPEG XL: decoding needs about " + std::to_string(bytes >> 20) +
                     " MiB, more than the " + std::to_string(kMaxDecoderMemory >> 20) +
                     " MiB the decoder may use");
}

// A file read whole into memory, and a decoder over it on libjxl's thread pool.
struct Decoding {
    std::vector<uint8_t> bytes;
    Budget budget;
    JxlMemoryManager manager{&budget, Allocate, Release};
    JxlDecoder *decoder = nullptr;
    std::optional<RunnerGuard> runner;  // decoding pixels only: a header needs no threads
    Decoding() = default;
    ~Decoding() {
        if (decoder) JxlDecoderDestroy(decoder);
    }
    Decoding(const Decoding &) = delete;
    Decoding &operator=(const Decoding &) = delete;

    // The cause of libjxl's refusal.
    bool Failed(JxlDecoderStatus status) const {
        if (status == JXL_DEC_NEED_MORE_INPUT) return kit::Fail("JPEG XL: the file is cut short");
        if (budget.refused)
            return kit::Fail("JPEG XL: decoding needs more than the " +
                             std::to_string(kMaxDecoderMemory >> 20) + " MiB the decoder may use");
        return kit::Fail("JPEG XL: the file is damaged (libjxl refuses it)");
    }
};

bool HasSignature(const uint8_t *p, size_t n) {
    const JxlSignature signature = JxlSignatureCheck(p, n);
    return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER;
}

// Starts a decoder over the bytes read, afresh, that reports events on them, on libjxl's thread
// pool when `threads`.
bool Start(Decoding *out, int events, bool threads) {
    if (out->decoder) JxlDecoderDestroy(out->decoder);
    out->decoder = JxlDecoderCreate(&out->manager);
    if (!out->decoder) return kit::Fail("not enough memory");
    if (threads && !out->runner) out->runner.emplace();
    if ((threads && out->runner->runner &&
         JxlDecoderSetParallelRunner(out->decoder, JxlThreadParallelRunner, out->runner->runner) !=
             JXL_DEC_SUCCESS) ||
        JxlDecoderSubscribeEvents(out->decoder, events) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(out->decoder, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetDecompressBoxes(out->decoder, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(out->decoder, out->bytes.data(), out->bytes.size()) != JXL_DEC_SUCCESS)
        return kit::Fail("JPEG XL: libjxl cannot start decoding");
    return true;
}

// Reads the file, or its first `most` bytes, and starts a decoder that reports events on it,
// on libjxl's thread pool when `threads`. The whole file is in memory while it is decoded, so
// it may be no larger than the decoder's memory.
bool Open(const WCHAR *path, int events, Decoding *out, int64_t most = INT64_MAX,
          bool threads = false) {
    kit::InputFile file;
    if (!file.Open(path)) return false;
    if (most == INT64_MAX && file.size() > static_cast<int64_t>(kMaxDecoderMemory))
        return kit::Fail("JPEG XL: the file is larger than the " +
                         std::to_string(kMaxDecoderMemory >> 20) + " MiB the decoder may use");
    out->bytes.resize(static_cast<size_t>(std::min(file.size(), most)));
    if (!file.Read(out->bytes.data(), out->bytes.size())) return false;
    if (!HasSignature(out->bytes.data(), out->bytes.size()))
        return kit::Fail("JPEG XL: no JPEG XL signature");
    return Start(out, events, threads);
}

// The picture's sides as shown: libjxl gives them with the orientation applied (and the
// orientation as 1). False, with the cause, when they are out of the kit's limits.
bool ShownSize(const JxlBasicInfo &info, int32_t *width, int32_t *height) {
    if (!kit::WithinLimits(info.xsize, info.ysize)) return false;
    *width = static_cast<int32_t>(info.xsize);
    *height = static_cast<int32_t>(info.ysize);
    return true;
}

// sRGB, or grey on sRGB's curve: what the host takes pixels without a profile for.
bool IsSrgb(JxlDecoder *decoder, JxlColorProfileTarget target) {
    JxlColorEncoding encoding{};
    return JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, target, &encoding) ==
               JXL_DEC_SUCCESS &&
           encoding.white_point == JXL_WHITE_POINT_D65 &&
           encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
           (encoding.color_space == JXL_COLOR_SPACE_GRAY ||
            (encoding.color_space == JXL_COLOR_SPACE_RGB &&
             encoding.primaries == JXL_PRIMARIES_SRGB));
}

// The profile of the decoded pixels, noted unless they are sRGB. Pixels stored in libjxl's
// own colours (XYB) come out in the original's colours when libjxl can describe them without
// a profile, and otherwise linear, which 8 bits hold badly: those are asked for as sRGB, and
// the original profile said to be dropped. Without `note` the pixels are asked for alike and
// nothing is noted.
void NoteColour(JxlDecoder *decoder, bool xyb, bool note = true) {
    JxlColorEncoding data{};
    if (xyb &&
        JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                           &data) == JXL_DEC_SUCCESS &&
        data.transfer_function == JXL_TRANSFER_FUNCTION_LINEAR) {
        JxlColorEncoding srgb = data;
        srgb.white_point = JXL_WHITE_POINT_D65;
        srgb.primaries = JXL_PRIMARIES_SRGB;
        srgb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
        srgb.rendering_intent = JXL_RENDERING_INTENT_RELATIVE;
        if (JxlDecoderSetPreferredColorProfile(decoder, &srgb) == JXL_DEC_SUCCESS) {
            if (note && !IsSrgb(decoder, JXL_COLOR_PROFILE_TARGET_ORIGINAL))
                kit::NoteDropped("the colour profile: libjxl gives the pixels in sRGB");
            return;
        }
    }
    if (!note || IsSrgb(decoder, JXL_COLOR_PROFILE_TARGET_DATA)) return;
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
            JXL_DEC_SUCCESS ||
        size == 0 || size > FALTRIX_METADATA_MAX_SIZE)
        return;
    std::string profile(size, '\0');
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<uint8_t *>(profile.data()),
                                       size) == JXL_DEC_SUCCESS)
        kit::NoteMetadata(FALTRIX_METADATA_ICC, profile);
}

// The Exif or XMP box being read: libjxl fills the buffer, which grows up to the largest item
// the host takes and past that is overwritten, so that a Brotli bomb costs no memory.
class BoxReader {
public:
    explicit BoxReader(JxlDecoder *decoder) : decoder_(decoder) {}

    // At a box: reads it when it is Exif or XMP, after finishing the one before.
    void Start() {
        Finish();
        JxlBoxType type;
        if (JxlDecoderGetBoxType(decoder_, type, JXL_TRUE) != JXL_DEC_SUCCESS) return;
        if (std::memcmp(type, "Exif", 4) == 0) key_ = FALTRIX_METADATA_EXIF;
        else if (std::memcmp(type, "xml ", 4) == 0) key_ = FALTRIX_METADATA_XMP;
        else return;
        data_.assign(4096, 0);
        used_ = 0;
        JxlDecoderSetBoxBuffer(decoder_, data_.data(), data_.size());
    }

    // libjxl has filled the buffer.
    void Grow() {
        used_ = data_.size() - JxlDecoderReleaseBoxBuffer(decoder_);
        if (data_.size() <= FALTRIX_METADATA_MAX_SIZE)
            data_.resize(std::min<size_t>(data_.size() * 2, size_t{FALTRIX_METADATA_MAX_SIZE} + 1));
        else used_ = data_.size() / 2;  // kept over the limit: NoteMetadata then says it is dropped
        JxlDecoderSetBoxBuffer(decoder_, data_.data() + used_, data_.size() - used_);
    }

    // At the next box or the end: notes what was read. EXIF starts with the offset of the TIFF
    // header from the end of that 32-bit field, which the host's EXIF item does not have.
    void Finish() {
        if (!key_) return;
        const std::string_view box(reinterpret_cast<const char *>(data_.data()),
                                   data_.size() - JxlDecoderReleaseBoxBuffer(decoder_));
        const char *key = key_;
        key_ = nullptr;
        if (key != std::string_view(FALTRIX_METADATA_EXIF)) return kit::NoteMetadata(key, box);
        if (box.size() < 4) return;
        const auto *p = reinterpret_cast<const uint8_t *>(box.data());
        const uint64_t offset =
            (uint64_t{p[0]} << 24) | (uint64_t{p[1]} << 16) | (uint64_t{p[2]} << 8) | p[3];
        if (offset < box.size() - 4)
            kit::NoteMetadata(key, box.substr(4 + static_cast<size_t>(offset)));
    }

    // The file breaks off or is damaged inside the box: what was read of it is no item.
    void Abandon() {
        if (!key_) return;
        kit::NoteDropped(std::string_view(key_) == FALTRIX_METADATA_EXIF
                             ? "the EXIF block, which the file cuts short"
                             : "the XMP packet, which the file cuts short");
        key_ = nullptr;
        JxlDecoderReleaseBoxBuffer(decoder_);
    }

private:
    JxlDecoder *decoder_;
    const char *key_ = nullptr;
    std::vector<uint8_t> data_;
    size_t used_ = 0;
};

// The picture's description: its shown size (within the limits and the decoder's memory)
// and the section that holds it, 32 bits with alpha, 8-bit grey, otherwise 24 bits. False
// when it cannot be used.
bool TakeBasicInfo(const Decoding &file, JxlBasicInfo &info, kit::DibSpec &spec,
                   JxlPixelFormat &format) {
    JxlDecoder *decoder = file.decoder;
    if (JxlDecoderGetBasicInfo(decoder, &info) != JXL_DEC_SUCCESS)
        return file.Failed(JXL_DEC_ERROR);
    if (!ShownSize(info, &spec.width, &spec.height) || !WithinMemory(info, info.xsize, info.ysize))
        return false;
    if (info.alpha_bits > 0) {
        format.num_channels = 4;
        spec.bitCount = 32;
    } else if (info.num_color_channels == 1) {
        format.num_channels = 1;
        spec.bitCount = 8;
        spec.palette = kit::GreyPalette(8);
    }
    return true;
}

// The first frame's header, read and checked against the decoder's memory; false when it
// cannot be read or does not fit.
bool FirstFrameFits(const Decoding &file, const JxlBasicInfo &info) {
    JxlFrameHeader header{};
    if (JxlDecoderGetFrameHeader(file.decoder, &header) != JXL_DEC_SUCCESS ||
        !WithinMemory(info, header.layer_info.xsize, header.layer_info.ysize))
        return file.Failed(JXL_DEC_ERROR);
    return true;
}

// Hands libjxl the section to decode the first frame into; false when the frame libjxl
// is about to give does not fill the section exactly.
bool SetOutBuffer(JxlDecoder *decoder, const JxlPixelFormat &format, const kit::Dib &dib,
                  const kit::DibSpec &spec) {
    size_t needed = 0;
    if (JxlDecoderImageOutBufferSize(decoder, &format, &needed) != JXL_DEC_SUCCESS ||
        needed != size_t{dib.stride} * static_cast<size_t>(spec.height) ||
        JxlDecoderSetImageOutBuffer(decoder, &format, dib.bits, needed) != JXL_DEC_SUCCESS)
        return kit::Fail("JPEG XL: the decoded picture differs from its description");
    return true;
}

// R, G, B (A) as libjxl gives them turned into B, G, R (A) as the DIB holds them.
void FinishPixels(const kit::Dib &dib, const kit::DibSpec &spec, const JxlPixelFormat &format,
                  ProgressCallbackFn progress, int32_t data) {
    const int channels = static_cast<int>(format.num_channels);
    for (int32_t y = 0; y < spec.height; ++y) {
        if (channels >= 3)
            SwapRedBlue(dib.Row(y), channels, dib.Row(y), channels,
                        static_cast<size_t>(spec.width));
        kit::ReportProgress(progress, y + 1, spec.height, data);
    }
    if (channels == 4) kit::KeepFullTransparency(dib, spec.width, spec.height);
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    Decoding file;
    if (!Open(path,
              JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE |
                  JXL_DEC_BOX,
              &file, INT64_MAX, true))
        return nullptr;
    JxlDecoder *decoder = file.decoder;
    JxlBasicInfo info{};
    kit::DibSpec spec;
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 4};
    kit::Dib dib;
    std::optional<kit::BitmapGuard> owned;
    BoxReader boxes(decoder);
    uint64_t frames = 0;
    bool decoded = false, closed = false;
    for (bool more = true; more;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder);
        switch (status) {
        case JXL_DEC_SUCCESS: more = false; break;
        case JXL_DEC_BASIC_INFO:
            if (!TakeBasicInfo(file, info, spec, format)) return nullptr;
            break;
        case JXL_DEC_COLOR_ENCODING: NoteColour(decoder, !info.uses_original_profile); break;
        case JXL_DEC_FRAME:
            // Frames past the first are counted, and skipped when they ask for a buffer.
            if (++frames == 1 && !FirstFrameFits(file, info)) return nullptr;
            break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            if (decoded) {  // counting stops where skipping does
                more = JxlDecoderSkipCurrentFrame(decoder) == JXL_DEC_SUCCESS;
                break;
            }
            if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
            owned.emplace(dib.bitmap);
            if (!SetOutBuffer(decoder, format, dib, spec)) return nullptr;
            kit::ReportProgress(progress, 0, spec.height, data);
            break;
        }
        case JXL_DEC_FULL_IMAGE: decoded = true; break;
        case JXL_DEC_BOX: boxes.Start(); break;
        case JXL_DEC_BOX_NEED_MORE_OUTPUT: boxes.Grow(); break;
        default:
            // A damaged later frame or box, or one that ends with the file, costs only what it
            // holds once the first frame is there.
            if (!decoded) return file.Failed(status), nullptr;
            // The first frame is there and the file ends. Told that no more input comes,
            // libjxl finishes a box that was whole and refuses one cut short.
            if (status == JXL_DEC_NEED_MORE_INPUT && !closed) {
                JxlDecoderCloseInput(decoder);
                closed = true;
                break;
            }
            boxes.Abandon();
            more = false;
            break;
        }
    }
    if (!decoded || !owned) return file.Failed(JXL_DEC_NEED_MORE_INPUT), nullptr;
    boxes.Finish();

    FinishPixels(dib, spec, format, progress, data);
    if (info.bits_per_sample > 8)
        kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, info.bits_per_sample);
    if (frames > 1) kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, frames);
    return owned->Release();
}

bool Recognize(const WCHAR *path) {
    kit::InputFile file;
    if (!file.Open(path)) return false;
    uint8_t head[12];
    const size_t n = static_cast<size_t>(std::min<int64_t>(file.size(), sizeof head));
    return file.Read(head, n) && HasSignature(head, n);
}

// The header is in the first bytes of a bare codestream, and of nearly every container: the
// size query, which the dialog makes at every change of the input field, reads 64 KiB and
// the whole file only when the header lies further on.
bool ReadSize(const WCHAR *path, PictureInfo *info) {
    constexpr int64_t kHeadBytes = int64_t{1} << 16;
    std::optional<Decoding> file(std::in_place);
    if (!Open(path, JXL_DEC_BASIC_INFO, &*file, kHeadBytes)) return false;
    JxlDecoderStatus status = JxlDecoderProcessInput(file->decoder);
    if (status == JXL_DEC_NEED_MORE_INPUT && file->bytes.size() == size_t{kHeadBytes}) {
        file.emplace();
        if (!Open(path, JXL_DEC_BASIC_INFO, &*file)) return false;
        status = JxlDecoderProcessInput(file->decoder);
    }
    JxlBasicInfo basic{};
    if (status != JXL_DEC_BASIC_INFO ||
        JxlDecoderGetBasicInfo(file->decoder, &basic) != JXL_DEC_SUCCESS)
        return file->Failed(status);
    int32_t width = 0, height = 0;
    if (!ShownSize(basic, &width, &height)) return false;
    info->width = width;
    info->height = height;
    return true;
}

// The depth of the samples ReadSamples gives: the file's beyond 8 bits, 16 for deeper or
// floating-point samples (which libjxl gives as 16-bit integers), 0 for 8 bits or fewer.
int32_t DeepBits(const JxlBasicInfo &info) {
    if (info.exponent_bits_per_sample > 0) return 16;
    return info.bits_per_sample > 8 ? static_cast<int32_t>(std::min(info.bits_per_sample, 16u)) : 0;
}

// Milliseconds of a frame shown for `ticks` of the animation's ticks per second; 0 in a still.
int32_t DelayOf(const JxlBasicInfo &info, uint32_t ticks) {
    if (!info.have_animation || info.animation.tps_numerator == 0) return 0;
    const double ms =
        double(ticks) * 1000.0 * info.animation.tps_denominator / info.animation.tps_numerator;
    return static_cast<int32_t>(std::min(std::llround(ms), static_cast<long long>(INT32_MAX)));
}

// The frames libjxl shows (composed, as it gives them by default: one for each frame that is
// displayed), counted from their headers without decoding a pixel; the colour and the boxes
// are noted on the way, as Decode notes them. A file that ends or breaks past the first frame
// keeps the frames whose headers came before; a frame still to come then (the last one read
// was not the last) is counted too, and reading it fails with the cause.
bool CountFrames(Decoding *file, JxlBasicInfo *info, int32_t *count) {
    JxlDecoder *decoder = file->decoder;
    BoxReader boxes(decoder);
    int32_t seen = 0;
    bool last = false, closed = false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(decoder);
        JxlFrameHeader header{};
        switch (status) {
        case JXL_DEC_SUCCESS:
            boxes.Finish();
            *count = seen;
            return seen > 0 || file->Failed(JXL_DEC_ERROR);
        case JXL_DEC_BASIC_INFO:
            if (JxlDecoderGetBasicInfo(decoder, info) != JXL_DEC_SUCCESS)
                return file->Failed(JXL_DEC_ERROR);
            if (!kit::WithinLimits(info->xsize, info->ysize)) return false;
            break;
        case JXL_DEC_COLOR_ENCODING: NoteColour(decoder, !info->uses_original_profile); break;
        case JXL_DEC_FRAME:
            if (JxlDecoderGetFrameHeader(decoder, &header) != JXL_DEC_SUCCESS)
                return file->Failed(JXL_DEC_ERROR);
            last = header.is_last != JXL_FALSE;
            if (++seen > FALTRIX_MAX_FRAMES)
                return kit::Fail("JPEG XL: the file holds more than the " +
                                 std::to_string(FALTRIX_MAX_FRAMES) + " frames that are read");
            break;
        case JXL_DEC_BOX: boxes.Start(); break;
        case JXL_DEC_BOX_NEED_MORE_OUTPUT: boxes.Grow(); break;
        default:
            if (seen == 0) return file->Failed(status);
            if (status == JXL_DEC_NEED_MORE_INPUT && !closed) {  // as in Decode
                JxlDecoderCloseInput(decoder);
                closed = true;
                break;
            }
            boxes.Abandon();
            *count = seen + (last ? 0 : 1);
            return true;
        }
    }
}

// The frames of an animation (or the one of a still), in order, each composed on the canvas
// as libjxl gives it and decoded as Decode decodes the first. The whole file stays in memory,
// as for Decode; libjxl keeps what composing the next frames needs.
class FrameDecoder final : public kit::FrameReader {
public:
    bool Open(const WCHAR *path, kit::Sequence *out) {
        JxlBasicInfo info{};
        if (!jxl::Open(path,
                       JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME | JXL_DEC_BOX,
                       &file_) ||
            !CountFrames(&file_, &info, &count_) ||
            !Start(&file_,
                   JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE,
                   true))
            return false;
        out->width = static_cast<int32_t>(info.xsize);
        out->height = static_cast<int32_t>(info.ysize);
        out->frameCount = count_;
        out->loopCount =
            info.have_animation
                ? static_cast<int32_t>(std::min<uint32_t>(info.animation.num_loops, INT32_MAX))
                : 1;
        out->kind = FALTRIX_FRAMES_ANIMATION;
        out->sampleBits = DeepBits(info);
        return true;
    }

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        kit::Dib dib;
        std::optional<kit::BitmapGuard> owned;
        const bool decoded = DecodeFrame(index, delay, [&] {
            if (!kit::AllocateDib(alloc, spec_, &dib)) return false;
            owned.emplace(dib.bitmap);
            if (!SetOutBuffer(file_.decoder, format_, dib, spec_)) return false;
            kit::ReportProgress(progress, 0, spec_.height, data);
            return true;
        });
        if (!decoded || !owned) return nullptr;
        FinishPixels(dib, spec_, format_, progress, data);
        if (index == 0 && info_.bits_per_sample > 8)
            kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, info_.bits_per_sample);
        return owned->Release();
    }

    // libjxl gives 16-bit samples on the whole range whatever the file's depth, and straight
    // alpha; its rows go through a callback, so that the host's stride is kept.
    bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                     kit::SampleTarget &target) override {
        kit::SampleView view;
        const bool decoded = DecodeFrame(index, delay, [&] {
            const uint32_t channels = info_.num_color_channels + (info_.alpha_bits > 0 ? 1 : 0);
            view = target.Allocate(static_cast<int32_t>(channels), DeepBits(info_));
            if (!view.data) return false;
            kit::ReportProgress(progress, 0, view.height, data);
            const JxlPixelFormat format{channels, JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
            return JxlDecoderSetImageOutCallback(file_.decoder, &format, CopyRow, &view) ==
                       JXL_DEC_SUCCESS ||
                   kit::Fail("JPEG XL: libjxl cannot give the samples");
        });
        if (!decoded || !view.data) return false;
        if (info_.exponent_bits_per_sample == 0 && view.significantBits < 16) Round(view);
        kit::ReportProgress(progress, view.height, view.height, data);
        return true;
    }

private:
    // libjxl widens the file's samples through floating point, which can round a value of
    // fewer than 16 bits one off the exact scaling: each comes back to the value stored and
    // is widened as every plug-in widens, so that it narrows back to what the file holds.
    static void Round(const kit::SampleView &view) {
        std::vector<uint16_t> exact(65536);
        for (uint32_t v = 0; v < exact.size(); ++v)
            exact[v] =
                kit::WidenSample(kit::NarrowSample(static_cast<uint16_t>(v), view.significantBits),
                                 view.significantBits);
        const size_t count = static_cast<size_t>(view.width) * static_cast<size_t>(view.channels);
        for (int32_t y = 0; y < view.height; ++y)
            for (uint16_t *at = view.Row(y), *end = at + count; at < end; ++at) *at = exact[*at];
    }

    // A stripe of samples from libjxl into the host's rows.
    static void CopyRow(void *opaque, size_t x, size_t y, size_t count, const void *pixels) {
        const auto *view = static_cast<const kit::SampleView *>(opaque);
        if (y >= static_cast<size_t>(view->height) || x + count > static_cast<size_t>(view->width))
            return;
        const size_t channels = static_cast<size_t>(view->channels);
        std::memcpy(view->Row(static_cast<int32_t>(y)) + x * channels, pixels,
                    count * channels * sizeof(uint16_t));
    }

    // Runs libjxl on to frame `index`'s pixels: place() hands it where they go when it asks.
    // True when the frame is whole.
    template <class Place>
    bool DecodeFrame(int32_t index, int32_t *delay, Place place) {
        JxlDecoder *decoder = file_.decoder;
        if (index >= count_ || index < next_) return kit::Fail("JPEG XL: no such frame");
        if (index > next_) JxlDecoderSkipFrames(decoder, static_cast<size_t>(index - next_));
        next_ = index;
        bool placed = false;
        for (;;) {
            const JxlDecoderStatus status = JxlDecoderProcessInput(decoder);
            JxlFrameHeader header{};
            switch (status) {
            case JXL_DEC_BASIC_INFO:
                if (!TakeBasicInfo(file_, info_, spec_, format_)) return false;
                break;
            case JXL_DEC_COLOR_ENCODING:
                NoteColour(decoder, !info_.uses_original_profile, false);
                break;
            case JXL_DEC_FRAME:
                if (JxlDecoderGetFrameHeader(decoder, &header) != JXL_DEC_SUCCESS ||
                    !WithinMemory(info_, header.layer_info.xsize, header.layer_info.ysize))
                    return file_.Failed(JXL_DEC_ERROR);
                *delay = DelayOf(info_, header.duration);
                break;
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
                if (!place()) return false;
                placed = true;
                break;
            case JXL_DEC_FULL_IMAGE:
                if (!placed) return file_.Failed(JXL_DEC_ERROR);
                ++next_;
                return true;
            case JXL_DEC_SUCCESS: return file_.Failed(JXL_DEC_NEED_MORE_INPUT);
            default: return file_.Failed(status);
            }
        }
    }

    Decoding file_;
    int32_t count_ = 0, next_ = 0;  // next_: the frame libjxl gives next
    JxlBasicInfo info_{};
    kit::DibSpec spec_;
    JxlPixelFormat format_{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 4};
};

std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    return kit::OpenReader<FrameDecoder>(path, out);
}

}  // namespace
}  // namespace faltrix::jxl

FALTRIX_KIT_INPUT_PLUGIN(faltrix::jxl)
FALTRIX_KIT_FRAMES_INPUT(faltrix::jxl)
FALTRIX_KIT_DEEP_INPUT()
