// Deep frames: the host's memory for them, their resize and their conversion to sRGB.
#include "deep_frame.h"

#include "swscale_shared.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <lcms2.h>

#include <algorithm>
#include <new>
#include <vector>

namespace faltrix {

DeepFrame::DeepFrame(int32_t width, int32_t height) : canvasWidth_(width), canvasHeight_(height) {
    picture.size = sizeof picture;
    picture.width = width;
    picture.height = height;
    picture.owner = this;
}

void *DeepFrameAlloc(SamplePicture *picture) {
    if (picture == nullptr) return nullptr;
    auto *frame = static_cast<DeepFrame *>(picture->owner);
    // The record must still be the one handed out, describing the canvas.
    if (frame == nullptr || &frame->picture != picture || frame->filled() ||
        picture->width != frame->canvasWidth() || picture->height != frame->canvasHeight() ||
        picture->width < 1 || picture->height < 1 || picture->channels < 1 ||
        picture->channels > 4 || picture->bits != 16 || picture->significantBits < 9 ||
        picture->significantBits > 16)
        return nullptr;
    const uint64_t count =
        uint64_t(picture->width) * uint64_t(picture->height) * uint64_t(picture->channels);
    frame->samples.reset(new (std::nothrow) uint16_t[count]);
    if (!frame->samples) return nullptr;
    picture->stride = int64_t(picture->width) * picture->channels * 2;
    picture->data = frame->samples.get();
    return picture->data;
}

namespace {

// The packed format of libswscale for each channel count, in the machine's byte order.
AVPixelFormat FormatOf(int32_t channels) {
    switch (channels) {
    case 1: return AV_PIX_FMT_GRAY16;
    case 2: return AV_PIX_FMT_YA16;
    case 3: return AV_PIX_FMT_RGB48;
    default: return AV_PIX_FMT_RGBA64;
    }
}

// Multiplies (or, with divide, divides) the colour samples of each pixel by its alpha, the
// last channel, so that clear pixels lend no colour to their neighbours in the resize.
void Premultiply(DeepFrame *frame, bool divide) {
    const int32_t channels = frame->picture.channels;
    const size_t count = size_t(frame->picture.height) * frame->RowSamples();
    uint16_t *s = frame->samples.get();
    for (size_t i = 0; i < count; i += size_t(channels)) {
        const uint32_t alpha = s[i + size_t(channels) - 1];
        for (int32_t c = 0; c + 1 < channels; ++c) {
            uint16_t &v = s[i + size_t(c)];
            if (!divide) v = static_cast<uint16_t>((v * alpha + 32767) / 65535);
            else
                v = alpha == 0 ? 0
                               : static_cast<uint16_t>(
                                     std::min<uint32_t>(65535, (v * 65535u + alpha / 2) / alpha));
        }
    }
}

bool Scale(const DeepFrame &from, DeepFrame *to, ResizeFilter filter) {
    const AVPixelFormat format = FormatOf(from.picture.channels);
    // A picture too narrow for libswscale's filters, widened first (see swscale_shared.h).
    const uint32_t repeats = ColumnRepeats(uint32_t(from.picture.width));
    std::vector<uint8_t> widened;
    const uint8_t *first = reinterpret_cast<const uint8_t *>(from.samples.get());
    int width = from.picture.width, stride = static_cast<int>(from.picture.stride);
    if (repeats > 1) {
        const size_t pixelBytes = size_t(from.picture.channels) * 2;
        widened = RepeatColumns(first, stride, uint32_t(width), uint32_t(from.picture.height),
                                pixelBytes, repeats);
        width *= static_cast<int>(repeats);
        stride *= static_cast<int>(repeats);
        first = widened.data();
    }
    double lanczos[2] = {3, 0};
    SwsContext *context =
        sws_getContext(width, from.picture.height, format, to->picture.width, to->picture.height,
                       format, SwscaleFlags(filter), nullptr, nullptr,
                       filter == ResizeFilter::Lanczos3 ? lanczos : nullptr);
    if (context == nullptr) return false;
    const uint8_t *const source[4] = {first};
    const int sourceStride[4] = {stride};
    uint8_t *const target[4] = {reinterpret_cast<uint8_t *>(to->samples.get())};
    const int targetStride[4] = {static_cast<int>(to->picture.stride)};
    const int rows =
        sws_scale(context, source, sourceStride, 0, from.picture.height, target, targetStride);
    sws_freeContext(context);
    return rows == to->picture.height;
}

}  // namespace

std::unique_ptr<DeepFrame> ResizeDeepFrame(const DeepFrame &frame, uint32_t width, uint32_t height,
                                           ResizeFilter filter) {
    const SamplePicture &p = frame.picture;
    // libswscale takes sizes and strides as int.
    if (!frame.filled() || !IsSwscaleFilter(filter) || width == 0 || height == 0 ||
        width > FALTRIX_MAX_PICTURE_SIDE || height > FALTRIX_MAX_PICTURE_SIDE ||
        p.stride > INT32_MAX || uint64_t(width) * p.channels * 2 > INT32_MAX)
        return nullptr;
    auto resized =
        std::make_unique<DeepFrame>(static_cast<int32_t>(width), static_cast<int32_t>(height));
    SamplePicture &q = resized->picture;
    q.channels = p.channels;
    q.bits = 16;
    q.significantBits = p.significantBits;
    if (DeepFrameAlloc(&q) == nullptr) return nullptr;
    const bool alpha = p.channels == 2 || p.channels == 4;
    if (!alpha) return Scale(frame, resized.get(), filter) ? std::move(resized) : nullptr;
    // The source stays as it was: premultiplied in a copy.
    DeepFrame copy(p.width, p.height);
    copy.picture.channels = p.channels;
    copy.picture.bits = 16;
    copy.picture.significantBits = p.significantBits;
    if (DeepFrameAlloc(&copy.picture) == nullptr) return nullptr;
    std::copy_n(frame.samples.get(), size_t(p.height) * frame.RowSamples(), copy.samples.get());
    Premultiply(&copy, false);
    if (!Scale(copy, resized.get(), filter)) return nullptr;
    Premultiply(resized.get(), true);
    return resized;
}

namespace {

struct ProfileCloser {
    void operator()(void *profile) const { cmsCloseProfile(profile); }
};
struct TransformDeleter {
    void operator()(void *transform) const { cmsDeleteTransform(transform); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;
using Transform = std::unique_ptr<void, TransformDeleter>;

uint16_t Luma(const uint16_t *rgb) {
    return static_cast<uint16_t>((19595u * rgb[0] + 38470u * rgb[1] + 7471u * rgb[2] + 32768u) >>
                                 16);
}

// Every grey level through the profile (grey, or RGB taking R = G = B) into sRGB, as the
// luma of the colour it becomes.
bool GreyLevels(cmsHPROFILE source, std::vector<uint16_t> *levels) {
    const bool grey = cmsGetColorSpace(source) == cmsSigGrayData;
    const Profile srgb(cmsCreate_sRGBProfile());
    const Transform transform(srgb ? cmsCreateTransform(source, grey ? TYPE_GRAY_16 : TYPE_RGB_16,
                                                        srgb.get(), TYPE_RGB_16, INTENT_PERCEPTUAL,
                                                        0)
                                   : nullptr);
    if (!transform) return false;
    const size_t per = grey ? 1 : 3;
    std::vector<uint16_t> ramp(65536 * per), rgb(65536 * 3);
    for (size_t i = 0; i < 65536; ++i)
        for (size_t c = 0; c < per; ++c) ramp[i * per + c] = static_cast<uint16_t>(i);
    cmsDoTransform(transform.get(), ramp.data(), rgb.data(), 65536);
    levels->resize(65536);
    for (size_t i = 0; i < 65536; ++i) (*levels)[i] = Luma(&rgb[i * 3]);
    return true;
}

}  // namespace

bool ConvertDeepFrameToSrgb(DeepFrame *frame, const std::string &icc) {
    if (frame == nullptr || !frame->filled()) return false;
    const Profile source(
        cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
    if (!source) return false;
    const cmsColorSpaceSignature space = cmsGetColorSpace(source.get());
    if (space != cmsSigGrayData && space != cmsSigRgbData) return false;
    const SamplePicture &p = frame->picture;
    const size_t count = size_t(p.height) * frame->RowSamples();
    uint16_t *s = frame->samples.get();
    if (p.channels <= 2) {
        std::vector<uint16_t> levels;
        if (!GreyLevels(source.get(), &levels)) return false;
        for (size_t i = 0; i < count; i += size_t(p.channels)) s[i] = levels[s[i]];
        return true;
    }
    if (space != cmsSigRgbData) return false;
    const Profile srgb(cmsCreate_sRGBProfile());
    const cmsUInt32Number format = p.channels == 3 ? TYPE_RGB_16 : TYPE_RGBA_16;
    const Transform transform(srgb ? cmsCreateTransform(source.get(), format, srgb.get(), format,
                                                        INTENT_PERCEPTUAL, cmsFLAGS_COPY_ALPHA)
                                   : nullptr);
    if (!transform) return false;
    // Row by row, in place: each pixel is read before it is written, in the same format.
    for (int32_t y = 0; y < p.height; ++y)
        cmsDoTransform(transform.get(), frame->Row(y), frame->Row(y),
                       static_cast<cmsUInt32Number>(p.width));
    return true;
}

}  // namespace faltrix
