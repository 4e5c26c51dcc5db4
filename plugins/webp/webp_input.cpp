// The WebP input plug-in: still pictures, lossy or lossless, into 24-bit DIBs, or 32-bit with
// the alpha byte kept when the file has alpha. Decoding is incremental, straight into the
// bitmap, so progress follows the rows as they are decoded. The frames of an animation are
// read one at a time, each as it shows on the canvas, into 32-bit DIBs with their delays
// (GetPictureDIB gives the first); a still picture is a sequence of one frame. The ICCP, EXIF
// and XMP chunks of the extended format, and for GetPictureDIB the number of frames, are
// noted for GetPictureMetadata. An EXIF chunk whose orientation is not 1 has every frame
// turned upright, and the size reported is the size shown.
//
// Only the bytes the RIFF header declares are read, however long the file is; the size query
// reads the chunk headers up to the picture's own and a few bytes of that one.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>

#include "faltrix/kit/entry_points.h"
#include "faltrix/kit/orientation.h"
#include "faltrix/kit/owned.h"
#include "webp_version.h"

namespace faltrix::webp {
namespace {

// "RIFF", a 32-bit size, "WEBP".
bool HasSignature(const uint8_t *p, size_t n) {
    return n >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WEBP", 4) == 0;
}

// libwebp's answer in words, as a failure's cause.
const char *StatusText(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY: return "not enough memory";
    case VP8_STATUS_INVALID_PARAM: return "WebP: invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR: return "WebP: damaged bitstream";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "WebP: unsupported feature";
    case VP8_STATUS_SUSPENDED:
    case VP8_STATUS_NOT_ENOUGH_DATA: return "WebP: the file ends before the picture does";
    default: return "WebP: decoding failed";
    }
}

// The RIFF container: "RIFF", the size of what follows these 8 bytes, "WEBP", then chunks of
// a fourcc, a 32-bit size and the payload, padded to an even length.
constexpr size_t kRiffHeader = 8;
constexpr size_t kChunkHeader = 8;

uint32_t Le32(const uint8_t *p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// The whole RIFF is held in memory while it is decoded (libwebp decodes from one buffer), so
// it may declare no more than the decoder may take, as the JPEG XL input's file.
constexpr uint64_t kMaxRiffBytes = uint64_t{1} << 30;

// Of a chunk the header reads no more than this: VP8's frame header and VP8L's are a few
// dozen bytes, and a VP8X chunk is 10.
constexpr size_t kChunkHead = 4096;
// Chunks skipped before the picture's own (a colour profile, say, or a writer's own): files
// have a few; a file of endless empty chunks is refused rather than walked.
constexpr int kMaxChunksBefore = 256;
// VP8X's first byte: the file is an animation.
constexpr uint8_t kAnimationFlag = 0x02;

// What the header read leaves: the file's bytes that belong to the picture (the RIFF's
// declared size and its header, or the file's size when the file is cut short), and what
// WebPGetFeatures said of them.
struct Header {
    int64_t end = 0;
    WebPBitstreamFeatures features;
    int orientation = 1;  // of the EXIF chunk, when the VP8X chunk says there is one
};

// VP8X's first byte: the file has an EXIF chunk.
constexpr uint8_t kExifFlag = 0x08;
// Of an EXIF chunk the orientation needs no more than libexif reads.
constexpr size_t kExifHead = 0xFFF0;
// Chunks walked to find the EXIF chunk, which follows the picture's.
constexpr int kMaxChunks = 1024;

// The orientation of the EXIF chunk of an extended file that says it has one: the chunk
// headers are walked to it (it follows the picture's data), and only its head is read.
int ReadOrientation(kit::InputFile *file, const Header &header) {
    uint8_t vp8x[kChunkHeader + 1];
    if (!file->Seek(12) || !file->Read(vp8x, sizeof vp8x) || std::memcmp(vp8x, "VP8X", 4) != 0 ||
        (vp8x[kChunkHeader] & kExifFlag) == 0)
        return 1;
    int64_t at = 12;
    for (int chunk = 0; chunk < kMaxChunks && at + static_cast<int64_t>(kChunkHeader) <= header.end;
         ++chunk) {
        uint8_t head[kChunkHeader];
        if (!file->Seek(at) || !file->Read(head, sizeof head)) return 1;
        const uint64_t size = Le32(head + 4);
        if (std::memcmp(head, "EXIF", 4) == 0) {
            const int64_t available = header.end - at - static_cast<int64_t>(kChunkHeader);
            std::vector<uint8_t> exif(static_cast<size_t>(
                std::min<int64_t>({available, static_cast<int64_t>(size), kExifHead})));
            return exif.empty() || !file->Read(exif.data(), exif.size())
                       ? 1
                       : kit::ExifOrientation(exif.data(), exif.size());
        }
        at += static_cast<int64_t>(kChunkHeader + size + (size & 1));
    }
    return 1;
}

// Reads the RIFF header and the chunks up to the picture's own, and asks libwebp about them,
// without reading the chunks libwebp skips anyway: it is given the RIFF header, the VP8X chunk
// when the file starts with one, and the head of the first VP8 or VP8L chunk.
// An ALPH chunk on the way is only noted, as libwebp notes it. Padding past the RIFF is
// never read.
bool ReadFeatures(kit::InputFile *file, Header *out) {
    if (file->size() < 12) return kit::Fail("WebP: the file is too short");
    std::vector<uint8_t> head(12);
    if (!file->Read(head.data(), head.size())) return false;
    if (!HasSignature(head.data(), head.size())) return kit::Fail("WebP: no RIFF WEBP signature");
    const uint64_t declared = uint64_t{Le32(head.data() + 4)} + kRiffHeader;
    if (declared > kMaxRiffBytes)
        return kit::Fail("WebP: the picture's data is larger than the " +
                         std::to_string(kMaxRiffBytes >> 20) + " MiB the decoder may take");
    out->end = std::min<int64_t>(static_cast<int64_t>(declared), file->size());

    bool extended = false, alpha = false;
    int64_t at = 12;
    for (int chunk = 0;; ++chunk) {
        if (chunk == kMaxChunksBefore)
            return kit::Fail("WebP: no picture among the first " +
                             std::to_string(kMaxChunksBefore) + " chunks");
        if (at + static_cast<int64_t>(kChunkHeader) > out->end)
            break;  // libwebp says what is missing
        uint8_t header[kChunkHeader];
        if (!file->Seek(at) || !file->Read(header, sizeof header)) return false;
        const std::string_view fourcc(reinterpret_cast<const char *>(header), 4);
        const uint64_t size = Le32(header + 4), padded = size + (size & 1);
        const int64_t available = out->end - at - static_cast<int64_t>(kChunkHeader);
        const bool first = chunk == 0, picture = fourcc == "VP8 " || fourcc == "VP8L";
        if (picture || (first && fourcc != "VP8X") || (first && size > kChunkHead)) {
            // The picture's chunk, or what libwebp takes for one (a first chunk that is not
            // VP8X it reads as a bare bitstream), or a VP8X it will refuse: its head will do.
            const size_t n = static_cast<size_t>(
                std::min<int64_t>({available, static_cast<int64_t>(size), kChunkHead}));
            head.insert(head.end(), header, header + kChunkHeader);
            head.resize(head.size() + n);
            if (n && !file->Read(head.data() + head.size() - n, n)) return false;
            break;
        }
        if (first) {
            extended = true;
            head.insert(head.end(), header, header + kChunkHeader);
            const size_t n =
                static_cast<size_t>(std::min<int64_t>(available, static_cast<int64_t>(padded)));
            head.resize(head.size() + n);
            if (n && !file->Read(head.data() + head.size() - n, n)) return false;
            // An animation's size and features are all in its VP8X chunk: libwebp reads no
            // further.
            if (n > 0 && (head[12 + kChunkHeader] & kAnimationFlag)) break;
        }
        alpha = alpha || fourcc == "ALPH";
        at += static_cast<int64_t>(kChunkHeader + padded);
    }
    VP8StatusCode status = WebPGetFeatures(head.data(), head.size(), &out->features);
    if (status != VP8_STATUS_OK) return kit::Fail(StatusText(status));
    if (extended && alpha) out->features.has_alpha = 1;
    return kit::WithinLimits(out->features.width, out->features.height);
}

// Reads the picture's bytes, from the file's start to the end of its RIFF, in slices of at
// most `slice`, calling `more(bytes, filled)` after each slice until it answers false. The
// buffer grows with what is read, never ahead of it. False when reading fails.
template <class More>
bool ReadPicture(kit::InputFile *file, const Header &header, std::vector<uint8_t> *bytes, More more,
                 size_t slice = size_t{1} << 20) {
    bytes->clear();
    if (!file->Seek(0)) return false;
    const size_t end = static_cast<size_t>(header.end);
    while (bytes->size() < end) {
        const size_t filled = bytes->size(), n = std::min(slice, end - filled);
        bytes->resize(filled + n);
        if (!file->Read(bytes->data() + filled, n)) return false;
        if (!more(*bytes)) return true;
    }
    return true;
}

// ---- Animations ------------------------------------------------------------------------
// libwebp's animation decoder composes each frame on the canvas (disposal, blending) from the
// whole RIFF held in memory. It refuses a file cut short outright, so a cut file is first
// trimmed after its last whole chunk: the frames before the cut stay readable, and the frame
// the cut falls in is still counted, so that reading it fails with its cause.

// The frames of the RIFF held in bytes, found from the chunk headers alone.
struct FrameChunks {
    int64_t whole = 0;     // ANMF chunks that end within the bytes
    bool cut = false;      // an ANMF chunk begins within the bytes and ends past them
    size_t wholeEnd = 12;  // where the last whole chunk ends (its padding byte included)
};

FrameChunks WalkFrames(const std::vector<uint8_t> &bytes) {
    FrameChunks frames;
    size_t at = 12;
    while (at + kChunkHeader <= bytes.size()) {
        const uint64_t size = Le32(bytes.data() + at + 4);
        const bool anmf = std::memcmp(bytes.data() + at, "ANMF", 4) == 0;
        if (at + kChunkHeader + size > bytes.size()) {
            frames.cut = anmf;
            break;
        }
        frames.whole += anmf ? 1 : 0;
        at = static_cast<size_t>(
            std::min<uint64_t>(at + kChunkHeader + size + (size & 1), bytes.size()));
        frames.wholeEnd = at;
    }
    return frames;
}

// Reads the frames of an animation from its bytes, each at most once, in ascending order.
class AnimationReader final : public kit::FrameReader {
public:
    // Reads the file's RIFF, trims a cut one, and has libwebp's demuxer list the frames
    // (no frame is decoded). Null, with the cause recorded, when the animation cannot be read.
    static std::unique_ptr<AnimationReader> Open(kit::InputFile *file, const Header &header,
                                                 kit::Sequence *out);

    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override;
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    kit::Owned<WebPAnimDecoder, WebPAnimDecoderDelete> decoder_;
    int32_t width_ = 0, height_ = 0;
    int32_t decodable_ = 0;  // the frames before a cut
    int32_t next_ = 0;       // the frame the decoder gives next
    int timestamp_ = 0;      // the end of the frame before next_, in ms from the start
    bool broken_ = false;    // a frame failed: the decoder's canvas is no longer right
    int orientation_ = 1;
};

std::unique_ptr<AnimationReader> AnimationReader::Open(kit::InputFile *file, const Header &header,
                                                       kit::Sequence *out) {
    auto reader = std::make_unique<AnimationReader>();
    std::vector<uint8_t> &bytes = reader->bytes_;
    if (!ReadPicture(file, header, &bytes, [](const std::vector<uint8_t> &) { return true; }))
        return nullptr;
    const FrameChunks frames = WalkFrames(bytes);
    // Refused before the demuxer keeps a record of every frame.
    if (frames.whole + (frames.cut ? 1 : 0) > FALTRIX_MAX_FRAMES)
        return kit::Fail<std::nullptr_t>("WebP: the animation has more than " +
                                         std::to_string(FALTRIX_MAX_FRAMES) + " frames");
    if (frames.wholeEnd < bytes.size() || Le32(bytes.data() + 4) + kRiffHeader > bytes.size()) {
        bytes.resize(frames.wholeEnd);
        const uint32_t riff = static_cast<uint32_t>(frames.wholeEnd - kRiffHeader);
        for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
    }

    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        return kit::Fail<std::nullptr_t>("WebP: libwebp's version does not match");
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    const WebPData whole{bytes.data(), bytes.size()};
    reader->decoder_.reset(WebPAnimDecoderNew(&whole, &options));
    WebPAnimInfo info;
    if (!reader->decoder_ || !WebPAnimDecoderGetInfo(reader->decoder_.get(), &info))
        return kit::Fail<std::nullptr_t>("WebP: the animation cannot be read");
    if (static_cast<int>(info.canvas_width) != header.features.width ||
        static_cast<int>(info.canvas_height) != header.features.height)
        return kit::Fail<std::nullptr_t>("WebP: the animation's canvas differs from its header");
    reader->width_ = header.features.width;
    reader->height_ = header.features.height;
    reader->decodable_ = static_cast<int32_t>(info.frame_count);
    reader->orientation_ = header.orientation;
    const bool swap = kit::SwapsAxes(header.orientation);
    out->width = swap ? reader->height_ : reader->width_;
    out->height = swap ? reader->width_ : reader->height_;
    out->frameCount = reader->decodable_ + (frames.cut ? 1 : 0);
    if (out->frameCount == 0) return kit::Fail<std::nullptr_t>("WebP: the animation has no frames");
    out->loopCount = static_cast<int32_t>(info.loop_count);
    out->kind = FALTRIX_FRAMES_ANIMATION;
    return reader;
}

HBITMAP AnimationReader::Read(int32_t index, int32_t *delay, ProgressCallbackFn progress,
                              int32_t data, DibAllocCallbackFn alloc) {
    if (index < next_) return kit::Fail<HBITMAP>("WebP: frames are read in ascending order");
    if (index >= decodable_)
        return kit::Fail<HBITMAP>("WebP: the file ends before frame " + std::to_string(index + 1) +
                                  " does");
    if (broken_) return kit::Fail<HBITMAP>("WebP: a frame before this one is damaged");
    // Frames skipped are decoded all the same: each is composed over the one before.
    uint8_t *canvas = nullptr;
    for (; next_ <= index; ++next_) {
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(decoder_.get(), &canvas, &timestamp) || !canvas) {
            broken_ = true;
            return kit::Fail<HBITMAP>("WebP: frame " + std::to_string(next_ + 1) +
                                      " is damaged or cut short");
        }
        // Each frame's duration is under 2^24 ms; the timestamps may wrap past INT_MAX.
        *delay = static_cast<int32_t>(static_cast<uint32_t>(timestamp) -
                                      static_cast<uint32_t>(timestamp_));
        timestamp_ = timestamp;
    }

    kit::DibSpec spec;
    spec.width = width_;
    spec.height = height_;
    spec.bitCount = 32;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard owned{dib.bitmap};
    const size_t rowBytes = static_cast<size_t>(spec.width) * 4;
    for (int32_t y = 0; y < spec.height; ++y) {
        std::memcpy(dib.Row(y), canvas + rowBytes * static_cast<size_t>(y), rowBytes);
        kit::ReportProgress(progress, y + 1, spec.height, data);
    }
    return kit::ShowUpright(&owned, dib, spec, orientation_, alloc);
}

// The chunks of a whole file in the extended format (only that one has them), and, for
// GetPictureDIB, the number of frames.
void NoteChunks(const std::vector<uint8_t> &bytes, bool frameCount) {
    if (bytes.size() < 16 || std::memcmp(bytes.data() + 12, "VP8X", 4) != 0) return;
    const WebPData whole{bytes.data(), bytes.size()};
    WebPDemuxer *demux = WebPDemux(&whole);
    if (!demux) return;
    const std::pair<const char *, const char *> chunks[] = {{"ICCP", FALTRIX_METADATA_ICC},
                                                            {"EXIF", FALTRIX_METADATA_EXIF},
                                                            {"XMP ", FALTRIX_METADATA_XMP}};
    for (const auto &[fourcc, key] : chunks) {
        WebPChunkIterator chunk;
        if (!WebPDemuxGetChunk(demux, fourcc, 1, &chunk)) continue;
        std::string_view item(reinterpret_cast<const char *>(chunk.chunk.bytes), chunk.chunk.size);
        // Some writers keep JPEG's signature in front of the TIFF structure.
        if (std::string_view(key) == FALTRIX_METADATA_EXIF &&
            item.starts_with(std::string_view("Exif\0\0", 6)))
            item.remove_prefix(6);
        kit::NoteMetadata(key, item);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    if (const uint32_t frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT); frameCount && frames > 1)
        kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, frames);
    WebPDemuxDelete(demux);
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc) {
    kit::InputFile file;
    Header header;
    if (!file.Open(path) || !ReadFeatures(&file, &header)) return nullptr;
    header.orientation = ReadOrientation(&file, header);
    const WebPBitstreamFeatures &features = header.features;
    std::vector<uint8_t> bytes;
    if (features.has_animation) {
        kit::Sequence sequence;
        const auto reader = AnimationReader::Open(&file, header, &sequence);
        int32_t delay = 0;
        HBITMAP first = reader ? reader->Read(0, &delay, progress, data, alloc) : nullptr;
        if (first) NoteChunks(reader->bytes(), true);
        return first;
    }

    kit::DibSpec spec;
    spec.width = features.width;
    spec.height = features.height;
    spec.bitCount = features.has_alpha ? 32 : 24;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard owned{dib.bitmap};

    // The decoder writes B, G, R (and straight alpha) rows into the bitmap itself.
    WebPDecBuffer output;
    if (!WebPInitDecBuffer(&output)) return nullptr;
    output.colorspace = features.has_alpha ? MODE_BGRA : MODE_BGR;
    output.is_external_memory = 1;
    output.u.RGBA.rgba = dib.bits;
    output.u.RGBA.stride = static_cast<int>(dib.stride);
    output.u.RGBA.size = static_cast<size_t>(dib.stride) * static_cast<size_t>(spec.height);
    kit::Owned<WebPIDecoder, WebPIDelete> decoder{WebPINewDecoder(&output)};
    if (!decoder) return nullptr;

    // The picture is read a slice at a time; the decoder is told after each slice how much of
    // the buffer is filled (the buffer may have moved, which WebPIUpdate allows), and decodes
    // the rows that data completes. It stops reading as soon as the decoder has all it needs
    // or has failed.
    VP8StatusCode status = VP8_STATUS_NOT_ENOUGH_DATA;
    const bool read = ReadPicture(&file, header, &bytes, [&](const std::vector<uint8_t> &filled) {
        status = WebPIUpdate(decoder.get(), filled.data(), filled.size());
        int lastY = 0;
        if (status == VP8_STATUS_SUSPENDED &&
            WebPIDecGetRGB(decoder.get(), &lastY, nullptr, nullptr, nullptr))
            kit::ReportProgress(progress, lastY, spec.height, data);
        return status == VP8_STATUS_SUSPENDED;
    });
    if (!read) return nullptr;
    if (status != VP8_STATUS_OK) return kit::Fail<HBITMAP>(StatusText(status));
    kit::ReportProgress(progress, spec.height, spec.height, data);
    // The chunks after the picture's (EXIF, XMP) may lie past the slices the decoder needed:
    // the rest of the RIFF is read for them, as libwebp's demuxer takes only a whole one.
    if (bytes.size() < static_cast<size_t>(header.end)) {
        const size_t filled = bytes.size();
        bytes.resize(static_cast<size_t>(header.end));
        if (!file.Seek(static_cast<int64_t>(filled)) ||
            !file.Read(bytes.data() + filled, bytes.size() - filled))
            bytes.resize(filled);
    }
    NoteChunks(bytes, true);
    return kit::ShowUpright(&owned, dib, spec, header.orientation, alloc);
}

bool Recognize(const WCHAR *path) {
    uint8_t magic[12];
    return kit::ReadFileHead(path, magic, sizeof magic) && HasSignature(magic, sizeof magic);
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    kit::InputFile file;
    Header header;
    if (!file.Open(path) || !ReadFeatures(&file, &header)) return false;
    const bool swap = kit::SwapsAxes(ReadOrientation(&file, header));
    info->width = swap ? header.features.height : header.features.width;
    info->height = swap ? header.features.width : header.features.height;
    return true;
}

// A still picture as a sequence of one frame: GetPictureDIB's picture.
class StillReader final : public kit::FrameReader {
public:
    explicit StillReader(const WCHAR *path) {
        for (; *path; ++path) path_.push_back(*path);
    }
    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override {
        if (index != 0) return kit::Fail<HBITMAP>("WebP: a still picture has one frame");
        *delay = 0;
        return Decode(path_.c_str(), progress, data, alloc);
    }

private:
    std::u16string path_;
};

}  // namespace

// The count and the loop come from the animation's chunks; no frame is decoded here. The
// profile, EXIF and XMP chunks go with the first frame.
std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out) {
    kit::InputFile file;
    Header header;
    if (!file.Open(path) || !ReadFeatures(&file, &header)) return nullptr;
    header.orientation = ReadOrientation(&file, header);
    if (!header.features.has_animation) {
        const bool swap = kit::SwapsAxes(header.orientation);
        out->width = swap ? header.features.height : header.features.width;
        out->height = swap ? header.features.width : header.features.height;
        return std::make_unique<StillReader>(path);
    }
    auto reader = AnimationReader::Open(&file, header, out);
    if (reader) NoteChunks(reader->bytes(), false);
    return reader;
}

}  // namespace faltrix::webp

FALTRIX_KIT_INPUT_PLUGIN(faltrix::webp)
FALTRIX_KIT_FRAMES_INPUT(faltrix::webp)
