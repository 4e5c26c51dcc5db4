// The WebP input plug-in: still pictures, lossy or lossless, into 24-bit DIBs, or 32-bit with
// the alpha byte kept when the file has alpha. Decoding is incremental, straight into the
// bitmap, so progress follows the rows as they are decoded. Of an animation the first frame
// is read, as it shows on the canvas, into a 32-bit DIB.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>

#include "faltrix/kit/kit.h"
#include "webp_version.h"

namespace faltrix::webp {
namespace {

const kit::PluginInfoTable &InfoTable() {
    static const kit::PluginInfoTable table{
        FALTRIX_INPUT_TAG, Description(), {{u"*.webp", u"WebP pictures"}}};
    return table;
}

// "RIFF", a 32-bit size, "WEBP".
bool HasSignature(const uint8_t *p, size_t n) {
    return n >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WEBP", 4) == 0;
}

// The first bytes of a file hold every header WebPGetFeatures reads.
constexpr size_t kHeaderBytes = 64 * 1024;

bool ReadFeatures(kit::InputFile *file, std::vector<uint8_t> *head, WebPBitstreamFeatures *features) {
    if (file->size() < 12) return false;
    head->resize(static_cast<size_t>(std::min<int64_t>(file->size(), kHeaderBytes)));
    if (!file->Read(head->data(), head->size()) || !HasSignature(head->data(), head->size()))
        return false;
    VP8StatusCode status = WebPGetFeatures(head->data(), head->size(), features);
    if (status == VP8_STATUS_NOT_ENOUGH_DATA && static_cast<int64_t>(head->size()) < file->size()) {
        // Chunks before the picture's own (a large colour profile, say): read on to the end.
        const size_t have = head->size();
        head->resize(static_cast<size_t>(file->size()));
        if (!file->Read(head->data() + have, head->size() - have)) return false;
        status = WebPGetFeatures(head->data(), head->size(), features);
    }
    if (status != VP8_STATUS_OK) return false;
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
    if (!decoder.decoder || !WebPAnimDecoderGetInfo(decoder.decoder, &info)) return nullptr;
    if (static_cast<int>(info.canvas_width) != features.width ||
        static_cast<int>(info.canvas_height) != features.height)
        return nullptr;
    uint8_t *frame = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.decoder, &frame, &timestamp) || !frame) return nullptr;

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

HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc) {
    kit::InputFile file;
    std::vector<uint8_t> bytes;
    WebPBitstreamFeatures features;
    if (!file.Open(path) || !ReadFeatures(&file, &bytes, &features)) return nullptr;
    if (features.has_animation) return DecodeFirstFrame(&file, &bytes, features, progress, data, alloc);

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
    if (status != VP8_STATUS_OK) return nullptr;
    kit::ReportProgress(progress, spec.height, spec.height, data);
    return owned.Release();
}

}  // namespace
}  // namespace faltrix::webp

using namespace faltrix;

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
    return kit::Guarded(0, [&] {
        return kit::AnswerPluginInfo(webp::InfoTable(), infoNumber, buffer, bufferLength);
    });
}

FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t, int32_t) {
    return kit::Guarded(0, [&] {
        uint8_t magic[12];
        return kit::ReadFileHead(path, magic, sizeof magic) && webp::HasSignature(magic, sizeof magic) ? 1 : 0;
    });
}

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t, int32_t, PictureInfo *info) {
    if (!info) return 1;
    return kit::Guarded(1, [&] {
        kit::InputFile file;
        std::vector<uint8_t> head;
        WebPBitstreamFeatures features;
        if (!file.Open(path) || !webp::ReadFeatures(&file, &head, &features)) return 1;
        info->width = features.width;
        info->height = features.height;
        return 0;
    });
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t, int32_t, ProgressCallbackFn progress,
                                            int32_t data, DibAllocCallbackFn alloc) {
    return kit::Guarded(nullptr, [&] { return webp::Decode(path, progress, data, alloc); });
}
