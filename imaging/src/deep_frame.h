// Frames deeper than 8 bits (faltrix/plugin.h, "deep samples"): 16-bit samples in memory the
// host owns, from the input plug-in's GetFrameSamples to the output plug-in's AddFrameSamples,
// resized by libswscale and converted to sRGB by Little CMS at full depth on the way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "faltrix/picture_metadata.h"
#include "faltrix/plugin.h"
#include "faltrix/resample.h"

namespace faltrix {

// One deep frame. picture describes samples; picture.owner points at this frame, so that the
// allocation callback finds where to keep the memory.
struct DeepFrame {
    SamplePicture picture{};
    std::unique_ptr<uint16_t[]> samples;

    // An empty frame of the canvas's size, ready to hand to GetFrameSamples.
    DeepFrame(int32_t width, int32_t height);
    DeepFrame(const DeepFrame &) = delete;
    DeepFrame &operator=(const DeepFrame &) = delete;

    bool filled() const { return samples != nullptr; }
    int32_t canvasWidth() const { return canvasWidth_; }
    int32_t canvasHeight() const { return canvasHeight_; }
    // Samples per row (width x channels).
    size_t RowSamples() const { return size_t(picture.width) * size_t(picture.channels); }
    uint16_t *Row(int32_t y) const { return samples.get() + size_t(y) * RowSamples(); }

private:
    int32_t canvasWidth_, canvasHeight_;  // the size the memory is for, whatever the record says
};

// The SampleAllocCallbackFn the host hands to input plug-ins: checks the record the plug-in
// filled (1 to 4 channels, 16 bits, a depth of 9 to 16, the canvas's size unchanged) and
// gives it rows of width x channels samples, without padding.
void *DeepFrameAlloc(SamplePicture *picture);

// The frame resized to width x height with one of the filters of libswscale, alpha
// premultiplied on the way; null when it cannot be done.
std::unique_ptr<DeepFrame> ResizeDeepFrame(const DeepFrame &frame, uint32_t width, uint32_t height,
                                           ResizeFilter filter);

// Converts the frame's colours from the profile icc to sRGB in place, as ConvertToSrgb does
// for 8-bit pictures: an RGB profile on RGB samples; a grey or RGB profile on grey samples,
// which stay grey. False, with the samples unchanged, for a grey profile on RGB samples, or
// a profile Little CMS cannot use.
bool ConvertDeepFrameToSrgb(DeepFrame *frame, const std::string &icc);

// The metadata hand-over of picture_metadata.h for a deep frame, stored as its channels are:
// one or two grey, three or four colour.
void HandMetadataToOutput(PictureMetadata *metadata, const MetadataChoice &choice,
                          DeepFrame *frame);
void WithdrawItems(PictureMetadata *metadata, DeepFrame *frame, const std::u16string &cause);
void ConvertLikeFirstFrame(const PictureMetadata &metadata, DeepFrame *frame);

}  // namespace faltrix
