// The WebP input plug-in: still pictures, lossy or lossless, into 24-bit DIBs, or 32-bit with
// the alpha byte kept when the file has alpha. Decoding is incremental, straight into the
// bitmap, so progress follows the rows as they are decoded. Of an animation the first frame
// is read, as it shows on the canvas, into a 32-bit DIB. The ICCP, EXIF and XMP chunks of the
// extended format, and the number of frames, are noted for GetPictureMetadata.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>

#include "faltrix/kit/entry_points.h"
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
    case VP8_STATUS_SUSPENDED: case VP8_STATUS_NOT_ENOUGH_DATA: return "WebP: the file ends before the picture does";
    default: return "WebP: decoding failed";
    }
}

// The first bytes of a file hold every header WebPGetFeatures reads.
constexpr size_t kHeaderBytes = 64 * 1024;

bool ReadFeatures(kit::InputFile *file, std::vector<uint8_t> *head, WebPBitstreamFeatures *features) {
    if (file->size() < 12) return kit::Fail("WebP: the file is too short");
    head->resize(static_cast<size_t>(std::min<int64_t>(file->size(), kHeaderBytes)));
    if (!file->Read(head->data(), head->size())) return false;
    if (!HasSignature(head->data(), head->size())) return kit::Fail("WebP: no RIFF WEBP signature");
    VP8StatusCode status = WebPGetFeatures(head->data(), head->size(), features);
    if (status == VP8_STATUS_NOT_ENOUGH_DATA && static_cast<int64_t>(head->size()) < file->size()) {
        // Chunks before the picture's own (a large colour profile, say): read on to the end.
        const size_t have = head->size();
        head->resize(static_cast<size_t>(file->size()));
        if (!file->Read(head->data() + have, head->size() - have)) return false;
        status = WebPGetFeatures(head->data(), head->size(), features);
    }
    if (status != VP8_STATUS_OK) return kit::Fail(StatusText(status));
    return kit::WithinLimits(features->width, features->height);
}

struct DecoderGuard {
    WebPIDecoder *decoder = nullptr;
    ~DecoderGuard() {
        if (decoder) WebPIDelete(decoder);
    }
};

struct AnimationGuard {
    WebPAnimDecoder *decoder = nullptr;
    ~AnimationGuard() {
        if (decoder) WebPAnimDecoderDelete(decoder);
    }
};

// The first frame of an animation, composed on its canvas.
HBITMAP DecodeFirstFrame(kit::InputFile *file, std::vector<uint8_t> *bytes, const WebPBitstreamFeatures &features,
                         ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc) {
    const size_t have = bytes->size();
    bytes->resize(static_cast<size_t>(file->size()));
    if (!file->Read(bytes->data() + have, bytes->size() - have)) return nullptr;

    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return nullptr;
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    const WebPData whole{bytes->data(), bytes->size()};
    AnimationGuard decoder{WebPAnimDecoderNew(&whole, &options)};
    WebPAnimInfo info;
    if (!decoder.decoder || !WebPAnimDecoderGetInfo(decoder.decoder, &info))
        return kit::Fail<HBITMAP>("WebP: the animation cannot be read");
    if (static_cast<int>(info.canvas_width) != features.width ||
        static_cast<int>(info.canvas_height) != features.height)
        return kit::Fail<HBITMAP>("WebP: the animation's canvas differs from its header");
    uint8_t *frame = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.decoder, &frame, &timestamp) || !frame)
        return kit::Fail<HBITMAP>("WebP: the animation's first frame cannot be read");

    kit::DibSpec spec;
    spec.width = features.width;
    spec.height = features.height;
    spec.bitCount = 32;
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    const size_t rowBytes = static_cast<size_t>(spec.width) * 4;
    for (int32_t y = 0; y < spec.height; ++y) {
        std::memcpy(dib.Row(y), frame + rowBytes * static_cast<size_t>(y), rowBytes);
        kit::ReportProgress(progress, y + 1, spec.height, data);
    }
    return dib.bitmap;
}

// The chunks of a whole file in the extended format (only that one has them).
void NoteChunks(const std::vector<uint8_t> &bytes) {
    if (bytes.size() < 16 || std::memcmp(bytes.data() + 12, "VP8X", 4) != 0) return;
    const WebPData whole{bytes.data(), bytes.size()};
    WebPDemuxer *demux = WebPDemux(&whole);
    if (!demux) return;
    const std::pair<const char *, const char *> chunks[] = {
        {"ICCP", FALTRIX_METADATA_ICC}, {"EXIF", FALTRIX_METADATA_EXIF}, {"XMP ", FALTRIX_METADATA_XMP}};
    for (const auto &[fourcc, key] : chunks) {
        WebPChunkIterator chunk;
        if (!WebPDemuxGetChunk(demux, fourcc, 1, &chunk)) continue;
        std::string_view item(reinterpret_cast<const char *>(chunk.chunk.bytes), chunk.chunk.size);
        // Some writers keep JPEG's signature in front of the TIFF structure.
        if (std::string_view(key) == FALTRIX_METADATA_EXIF && item.starts_with(std::string_view("Exif\0\0", 6)))
            item.remove_prefix(6);
        kit::NoteMetadata(key, item);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    if (const uint32_t frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT); frames > 1)
        kit::NoteMetadataNumber(FALTRIX_METADATA_FRAMES, frames);
    WebPDemuxDelete(demux);
}

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc) {
    kit::InputFile file;
    std::vector<uint8_t> bytes;
    WebPBitstreamFeatures features;
    if (!file.Open(path) || !ReadFeatures(&file, &bytes, &features)) return nullptr;
    if (features.has_animation) {
        HBITMAP first = DecodeFirstFrame(&file, &bytes, features, progress, data, alloc);
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
    DecoderGuard decoder{WebPINewDecoder(&output)};
    if (!decoder.decoder) return nullptr;

    // The whole file is read into one buffer, a slice at a time; the decoder is told after
    // each slice how much of the buffer is filled, and decodes the rows that data completes.
    constexpr size_t kSlice = 1 << 20;
    size_t filled = bytes.size();
    bytes.resize(static_cast<size_t>(file.size()));
    VP8StatusCode status = WebPIUpdate(decoder.decoder, bytes.data(), filled);
    while (status == VP8_STATUS_SUSPENDED) {
        int lastY = 0;
        if (WebPIDecGetRGB(decoder.decoder, &lastY, nullptr, nullptr, nullptr))
            kit::ReportProgress(progress, lastY, spec.height, data);
        if (filled == bytes.size()) break;  // the file ends before the picture does
        const size_t n = std::min(kSlice, bytes.size() - filled);
        if (!file.Read(bytes.data() + filled, n)) return nullptr;
        filled += n;
        status = WebPIUpdate(decoder.decoder, bytes.data(), filled);
    }
    if (status != VP8_STATUS_OK) return kit::Fail<HBITMAP>(StatusText(status));
    kit::ReportProgress(progress, spec.height, spec.height, data);
    NoteChunks(bytes);
    return owned.Release();
}

bool Recognize(const WCHAR *path) {
    uint8_t magic[12];
    return kit::ReadFileHead(path, magic, sizeof magic) && HasSignature(magic, sizeof magic);
}

bool ReadSize(const WCHAR *path, PictureInfo *info) {
    kit::InputFile file;
    std::vector<uint8_t> head;
    WebPBitstreamFeatures features;
    if (!file.Open(path) || !ReadFeatures(&file, &head, &features)) return false;
    info->width = features.width;
    info->height = features.height;
    return true;
}

}  // namespace
}  // namespace faltrix::webp

FALTRIX_KIT_INPUT_PLUGIN(faltrix::webp)
