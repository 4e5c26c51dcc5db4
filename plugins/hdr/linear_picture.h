// Pictures of linear light in floating point (OpenEXR, Radiance HDR) and how they travel
// through the plug-in interface, which carries 8-bit DIBs and 16-bit deep samples:
//
//   colour  the sRGB transfer function of the linear value: 0 .. 1.0 onto 0 .. 65535 (16-bit
//           samples) or 0 .. 255 (DIBs), rounded. A picture whose values stay within 1.0 is
//           carried exactly to 16 bits, so that it comes back within half-float precision.
//   highs   a picture with values above 1.0 (highlights; RGBE's rounding of 1.0, up to 1/128
//           above it, is still white) has all its colour values brought
//           into range first by the extended Reinhard curve whose white is its brightest
//           value W: v * (1 + v / W^2) / (1 + v), which is 0 at 0, W at 1.0 and rises
//           steadily between; the DIB or the samples then note what was dropped. Negative values
//           and NaN become 0, infinities the brightest finite value.
//   alpha   linear, 0 .. 1.0 onto the whole range, straight (not premultiplied).
//
// Storing goes back the same way: a sample or DIB value is decoded by the sRGB curve into
// 0 .. 1.0; what was tone-mapped stays so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "faltrix/kit/frames.h"
#include "faltrix/kit/kit.h"

namespace faltrix::linear {

// The largest picture held: 2^26 pixels (8192 x 8192), 1 GiB as RGBA floats, a quarter of
// what the kit allows 8-bit pictures.
inline constexpr uint64_t kMaxPixels = uint64_t(1) << 26;

// width x height pixels of `channels` floats each (1 grey, 2 grey and alpha, 3 RGB, 4 RGBA),
// rows top first, alpha straight.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 3;
    std::vector<float> samples;

    bool HasAlpha() const { return channels % 2 == 0; }
    float *Row(int32_t y) { return samples.data() + size_t(y) * size_t(width) * size_t(channels); }
    const float *Row(int32_t y) const {
        return samples.data() + size_t(y) * size_t(width) * size_t(channels);
    }
    // Takes the memory of the whole picture, zeroed; false, with the cause recorded, for a
    // size beyond the kit's limits or kMaxPixels.
    bool Allocate(int32_t w, int32_t h, int32_t c);
};

// How a picture is brought into the 0 .. 1.0 range (see above): white 1.0 for none.
struct Range {
    float white = 1.0f;
    bool ToneMapped() const { return white > 1.0f; }
};
Range RangeOf(const Picture &picture);

// The picture as the deep samples of `target`, allocated with its channels at 16 bits; notes
// the highlights dropped, as ToDib does. False, with the cause recorded, when the host gives
// no memory. (The progress is the decoder's: converting takes a small part of the time.)
bool ToSamples(const Picture &picture, const char *format, kit::SampleTarget &target);

// The picture as a DIB: 8-bit grey, 24-bit colour or 32-bit with alpha. Notes the depth as
// 16 bits per sample and, when it was tone-mapped, the highlights dropped ("format" names
// the format in the words). Null, with the cause recorded, on failure.
HBITMAP ToDib(const Picture &picture, const char *format, DibAllocCallbackFn alloc);

// A deep frame as linear light; `grey` keeps grey samples grey (else they become RGB), and
// `alpha` keeps the alpha (else the picture is put on white).
Picture FromSamples(const kit::SampleView &samples, bool grey, bool alpha);
// The picture the host selected for storing, likewise.
Picture FromSource(const kit::SourcePicture &source, bool grey, bool alpha);

// A reader of a file of one picture, decoded by `decode` as linear light; frame 0 is that
// picture, as a DIB or at full depth.
using DecodeFn = bool (*)(const WCHAR *path, Picture *out, ProgressCallbackFn progress,
                          int32_t data);
class PictureReader final : public kit::FrameReader {
public:
    PictureReader(const WCHAR *path, DecodeFn decode, const char *format)
        : path_(path), decode_(decode), format_(format) {}
    HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                 DibAllocCallbackFn alloc) override;
    bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                     kit::SampleTarget &target) override;

private:
    std::u16string path_;
    DecodeFn decode_;
    const char *format_;
};

// A writer of one picture, deep or not, that `encode` turns into the file's bytes when it is
// finished. `grey` and `alpha` say what the format keeps (see FromSamples). A sequence keeps
// its first frame: the host hands every frame to an output that takes deep samples, and these
// formats hold one picture.
using EncodeFn = bool (*)(const Picture &picture, std::string *out);
class PictureWriter final : public kit::FrameWriter {
public:
    PictureWriter(std::string target, EncodeFn encode, bool grey, bool alpha)
        : target_(std::move(target)), encode_(encode), grey_(grey), alpha_(alpha) {}
    bool Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) override;
    bool AddSamples(const kit::SampleView &samples, int32_t delay, ProgressCallbackFn progress,
                    int32_t data) override;
    bool Finish() override;

private:
    std::string target_;
    EncodeFn encode_;
    bool grey_, alpha_;
    Picture picture_;
    bool added_ = false;
};

// Starts a PictureWriter for BeginFrames; null, with the cause, for an unusable path.
std::unique_ptr<kit::FrameWriter> BeginPicture(const WCHAR *path, EncodeFn encode, bool grey,
                                               bool alpha);

// Save for SaveDIBPicture: the selected picture through encode into path.
bool SavePicture(HDC dc, const WCHAR *path, EncodeFn encode, bool grey, bool alpha,
                 ProgressCallbackFn progress, int32_t data);

}  // namespace faltrix::linear
