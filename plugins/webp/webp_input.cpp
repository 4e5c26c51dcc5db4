// The WebP input plug-in: still pictures, lossy or lossless, into 24-bit DIBs, or 32-bit with
// the alpha byte kept when the file has alpha. Decoding is incremental, straight into the
// bitmap, so progress follows the rows as they are decoded. Of an animation the first frame
// is read, as it shows on the canvas, into a 32-bit DIB. The ICCP, EXIF and XMP chunks of the
// extended format, and the number of frames, are noted for GetPictureMetadata. An EXIF chunk
// whose orientation is not 1 has the picture turned upright, and the size reported is the
// size shown.
//
// Only the bytes the RIFF header declares are read, however long the file is; the size query
// reads the chunk headers up to the picture's own and a few bytes of that one.
#include <algorithm>
#include <cstring>
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

// The first frame of an animation, composed on its canvas.
HBITMAP DecodeFirstFrame(kit::InputFile *file, const Header &header, std::vector<uint8_t> *bytes,
                         ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc) {
    if (!ReadPicture(file, header, bytes, [](const std::vector<uint8_t> &) { return true; }))
        return nullptr;
    const WebPBitstreamFeatures &features = header.features;

    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return nullptr;
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    const WebPData whole{bytes->data(), bytes->size()};
    kit::Owned<WebPAnimDecoder, WebPAnimDecoderDelete> decoder{
        WebPAnimDecoderNew(&whole, &options)};
    WebPAnimInfo info;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info))
        return kit::Fail<HBITMAP>("WebP: the animation cannot be read");
    if (static_cast<int>(info.canvas_width) != features.width ||
        static_cast<int>(info.canvas_height) != features.height)
        return kit::Fail<HBITMAP>("WebP: the animation's canvas differs from its header");
    uint8_t *frame = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.get(), &frame, &timestamp) || !frame)
        return kit::Fail<HBITMAP>("WebP: the animation's first frame cannot be read");

    kit::DibSpec spec;
    spec.width = features.width;
    spec.height = features.height;
    spec.bitCount = 32;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard owned{dib.bitmap};
    const size_t rowBytes = static_cast<size_t>(spec.width) * 4;
    for (int32_t y = 0; y < spec.height; ++y) {
        std::memcpy(dib.Row(y), frame + rowBytes * static_cast<size_t>(y), rowBytes);
        kit::ReportProgress(progress, y + 1, spec.height, data);
    }
    return kit::ShowUpright(&owned, dib, spec, header.orientation, alloc);
}

// The chunks of a whole file in the extended format (only that one has them).
void NoteChunks(const std::vector<uint8_t> &bytes) {
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
    if (const uint32_t frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT); frames > 1)
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
        HBITMAP first = DecodeFirstFrame(&file, header, &bytes, progress, data, alloc);
        if (first) NoteChunks(bytes);
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
    NoteChunks(bytes);
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

}  // namespace
}  // namespace faltrix::webp

FALTRIX_KIT_INPUT_PLUGIN(faltrix::webp)
