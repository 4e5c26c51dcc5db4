// The mapping of linear light onto the interface's samples and back, and the frame reader and
// writer of a one-picture file, shared by the OpenEXR and Radiance HDR plug-ins.
#include "linear_picture.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <utility>

#include "faltrix/kit/metadata.h"

namespace faltrix::linear {
namespace {

float SrgbEncode(float v) {
    return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

double SrgbDecode(double s) {
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
}

// The linear value of every 16-bit sample, made once.
const std::vector<float> &DecodeTable16() {
    static const std::vector<float> table = [] {
        std::vector<float> t(65536);
        for (size_t i = 0; i < t.size(); ++i) t[i] = float(SrgbDecode(double(i) / 65535.0));
        return t;
    }();
    return table;
}

// The sRGB curve of a linear value within 0 .. 1.0, from a table of its values at every float
// whose low 13 bits are 0 (each half float of the range), interpolated between them: within
// one such step the curve is straight to far below a 16-bit sample's step, and a table look-up
// takes a fraction of pow's time, which a picture of tens of megapixels would feel.
float SrgbOfUnit(float v) {
    static const std::vector<float> table = [] {
        std::vector<float> t((std::bit_cast<uint32_t>(1.0f) >> 13) + 2);
        for (uint32_t k = 0; k < t.size(); ++k)
            t[k] = SrgbEncode(std::min(std::bit_cast<float>(k << 13), 1.0f));
        return t;
    }();
    const uint32_t bits = std::bit_cast<uint32_t>(v), k = bits >> 13;
    const float fraction = float(bits & 0x1FFF) * (1.0f / 8192.0f);
    return table[k] + (table[k + 1] - table[k]) * fraction;
}

// A colour value within 0 .. 1.0 after the picture's tone mapping; see linear_picture.h.
struct Mapper {
    float white;
    float Colour(float v) const {
        if (!(v > 0.0f)) return 0.0f;  // negative or NaN
        if (white > 1.0f) {
            v = std::min(v, white);
            v = v * (1.0f + v / (white * white)) / (1.0f + v);
        }
        return std::min(v, 1.0f);
    }
    uint16_t Sample(float v) const {
        return uint16_t(std::lround(SrgbOfUnit(Colour(v)) * 65535.0f));
    }
    uint8_t Byte(float v) const { return uint8_t(std::lround(SrgbOfUnit(Colour(v)) * 255.0f)); }
};

float Clamped(float a) { return a > 0.0f ? std::min(a, 1.0f) : 0.0f; }
uint16_t AlphaSample(float a) { return uint16_t(std::lround(Clamped(a) * 65535.0f)); }
uint8_t AlphaByte(float a) { return uint8_t(std::lround(Clamped(a) * 255.0f)); }

// The 8-bit DIB layout of a picture of `channels` channels.
kit::DibSpec DibLayout(const Picture &p) {
    kit::DibSpec spec;
    spec.width = p.width;
    spec.height = p.height;
    spec.topDown = true;
    spec.bitCount = p.channels == 1 ? 8 : p.channels == 3 ? 24 : 32;
    if (p.channels == 1) spec.palette = kit::GreyPalette(8);
    return spec;
}

}  // namespace

bool Picture::Allocate(int32_t w, int32_t h, int32_t c) {
    if (!kit::WithinLimits(w, h)) return false;
    if (uint64_t(w) * uint64_t(h) > kMaxPixels)
        return kit::Fail("the picture is larger than the 64 megapixels held in floating point");
    width = w;
    height = h;
    channels = c;
    samples.assign(size_t(w) * size_t(h) * size_t(c), 0.0f);
    return true;
}

// RGBE keeps an 8-bit mantissa and decodes to the middle of its step, so a white of 1.0 comes
// back as 1.0039: values this close above 1.0 are white, clipped, not highlights that would
// tone-map the whole picture (and warn) for a rounding.
constexpr float kWhiteWithRounding = 1.0f + 1.0f / 128.0f;

Range RangeOf(const Picture &picture) {
    float white = 1.0f;
    const int32_t colours = picture.HasAlpha() ? picture.channels - 1 : picture.channels;
    for (int32_t y = 0; y < picture.height; ++y) {
        const float *row = picture.Row(y);
        for (int32_t x = 0; x < picture.width; ++x, row += picture.channels)
            for (int32_t c = 0; c < colours; ++c)
                if (std::isfinite(row[c])) white = std::max(white, row[c]);
    }
    return {white > kWhiteWithRounding ? white : 1.0f};
}

// Tells the user, through the "dropped" item, that the highlights were brought into range.
void NoteToneMapped(const Range &range, const char *format, int bits) {
    if (!range.ToneMapped()) return;
    char words[160];
    std::snprintf(words, sizeof words,
                  "the %s highlights above 1.0 (up to %.4g), tone-mapped into the %d-bit range",
                  format, double(range.white), bits);
    kit::NoteDropped(words);
}

bool ToSamples(const Picture &picture, const char *format, kit::SampleTarget &target) {
    const kit::SampleView view = target.Allocate(picture.channels, 16);
    if (!view.data) return false;
    if (view.width != picture.width || view.height != picture.height)
        return kit::Fail("the samples' canvas is not the picture's size");
    const Range range = RangeOf(picture);
    const Mapper map{range.white};
    const int32_t colours = picture.HasAlpha() ? picture.channels - 1 : picture.channels;
    for (int32_t y = 0; y < picture.height; ++y) {
        const float *in = picture.Row(y);
        uint16_t *out = view.Row(y);
        for (int32_t x = 0; x < picture.width; ++x) {
            for (int32_t c = 0; c < colours; ++c) *out++ = map.Sample(*in++);
            if (picture.HasAlpha()) *out++ = AlphaSample(*in++);
        }
    }
    NoteToneMapped(range, format, 16);
    return true;
}

HBITMAP ToDib(const Picture &picture, const char *format, DibAllocCallbackFn alloc) {
    const kit::DibSpec spec = DibLayout(picture);
    kit::Dib dib;
    if (!kit::AllocateDib(alloc, spec, &dib)) return nullptr;
    kit::BitmapGuard guard(dib.bitmap);
    const Range range = RangeOf(picture);
    const Mapper map{range.white};
    const bool grey = picture.channels < 3;
    for (int32_t y = 0; y < picture.height; ++y) {
        const float *in = picture.Row(y);
        uint8_t *out = dib.Row(y);
        for (int32_t x = 0; x < picture.width; ++x, in += picture.channels) {
            if (picture.channels == 1) {
                *out++ = map.Byte(in[0]);
                continue;
            }
            for (int c = 2; c >= 0; --c) *out++ = map.Byte(in[grey ? 0 : c]);
            if (picture.HasAlpha()) *out++ = AlphaByte(in[picture.channels - 1]);
        }
    }
    if (spec.bitCount == 32) kit::KeepFullTransparency(dib, picture.width, picture.height);
    kit::NoteMetadataNumber(FALTRIX_METADATA_BITS_PER_SAMPLE, 16);
    NoteToneMapped(range, format, 8);
    return guard.Release();
}

Picture FromSamples(const kit::SampleView &samples, bool grey, bool alpha) {
    const bool greyIn = samples.channels < 3, alphaIn = samples.channels % 2 == 0;
    Picture p;
    p.width = samples.width;
    p.height = samples.height;
    p.channels = (greyIn && grey ? 1 : 3) + (alphaIn && alpha ? 1 : 0);
    p.samples.resize(size_t(p.width) * size_t(p.height) * size_t(p.channels));
    const std::vector<float> &decode = DecodeTable16();
    const int32_t colours = greyIn ? 1 : 3;
    for (int32_t y = 0; y < p.height; ++y) {
        const uint16_t *in = samples.Row(y);
        float *out = p.Row(y);
        for (int32_t x = 0; x < p.width; ++x, in += samples.channels) {
            const uint16_t a = alphaIn ? in[colours] : 65535;
            float colour[3];
            for (int32_t c = 0; c < colours; ++c) {
                uint32_t s = in[c];
                // Put on white in the samples' own encoding, as a DIB is put on white.
                if (!alpha && a != 65535) s = (s * a + 65535u * (65535u - a) + 32767u) / 65535u;
                colour[c] = decode[s];
            }
            const int32_t stored = p.channels - (p.HasAlpha() ? 1 : 0);
            for (int32_t c = 0; c < stored; ++c) *out++ = colour[greyIn ? 0 : c];
            if (p.HasAlpha()) *out++ = float(a) / 65535.0f;
        }
    }
    return p;
}

Picture FromSource(const kit::SourcePicture &source, bool grey, bool alpha) {
    const bool greyIn = grey && source.bitCount() <= 8 && source.IsGreyPalette();
    const bool alphaIn = alpha && source.HasAlpha();
    Picture p;
    p.width = source.width();
    p.height = source.height();
    p.channels = (greyIn ? 1 : 3) + (alphaIn ? 1 : 0);
    p.samples.resize(size_t(p.width) * size_t(p.height) * size_t(p.channels));
    float decode[256];
    for (int i = 0; i < 256; ++i) decode[i] = float(SrgbDecode(i / 255.0));
    std::vector<uint8_t> row(size_t(p.width) * 4);
    for (int32_t y = 0; y < p.height; ++y) {
        if (alphaIn) source.RowToBGRA(y, row.data());
        else source.RowToBGROnWhite(y, row.data());
        const size_t step = alphaIn ? 4 : 3;
        float *out = p.Row(y);
        for (int32_t x = 0; x < p.width; ++x) {
            const uint8_t *bgr = row.data() + step * size_t(x);
            if (greyIn) {
                *out++ = decode[bgr[2]];
            } else {
                for (int c = 2; c >= 0; --c) *out++ = decode[bgr[c]];
            }
            if (alphaIn) *out++ = float(bgr[3]) / 255.0f;
        }
    }
    return p;
}

HBITMAP PictureReader::Read(int32_t index, int32_t *delay, ProgressCallbackFn progress,
                            int32_t data, DibAllocCallbackFn alloc) {
    if (index != 0) return kit::Fail<HBITMAP>("no such frame");
    *delay = 0;
    Picture picture;
    if (!decode_(path_.c_str(), &picture, progress, data)) return nullptr;
    return ToDib(picture, format_, alloc);
}

bool PictureReader::ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress,
                                int32_t data, kit::SampleTarget &target) {
    if (index != 0) return kit::Fail("no such frame");
    *delay = 0;
    Picture picture;
    return decode_(path_.c_str(), &picture, progress, data) && ToSamples(picture, format_, target);
}

bool PictureWriter::Add(HDC dc, int32_t, ProgressCallbackFn progress, int32_t data) {
    kit::SourcePicture source;
    if (!source.Open(dc)) return kit::Fail("no picture to store");
    kit::ReportProgress(progress, 0, 100, data);
    if (!added_) picture_ = FromSource(source, grey_, alpha_);
    added_ = true;
    kit::ReportProgress(progress, 100, 100, data);
    return true;
}

bool PictureWriter::AddSamples(const kit::SampleView &samples, int32_t, ProgressCallbackFn progress,
                               int32_t data) {
    kit::ReportProgress(progress, 0, 100, data);
    if (!added_) picture_ = FromSamples(samples, grey_, alpha_);
    added_ = true;
    kit::ReportProgress(progress, 100, 100, data);
    return true;
}

bool PictureWriter::Finish() {
    if (!added_) return kit::Fail("no picture to store");
    std::string bytes;
    if (!encode_(picture_, &bytes)) return false;
    return kit::StoreBytes(target_, nullptr, 0, bytes.data(), bytes.size());
}

std::unique_ptr<kit::FrameWriter> BeginPicture(const WCHAR *path, EncodeFn encode, bool grey,
                                               bool alpha) {
    return kit::MakeWriter<PictureWriter>(path, encode, grey, alpha);
}

bool SavePicture(HDC dc, const WCHAR *path, EncodeFn encode, bool grey, bool alpha,
                 ProgressCallbackFn progress, int32_t data) {
    std::string target;
    kit::SourcePicture source;
    if (!kit::OpenSave(dc, path, &target, &source, progress, data)) return false;
    const Picture picture = FromSource(source, grey, alpha);
    std::string bytes;
    if (!encode(picture, &bytes)) return false;
    return kit::StoreBytes(target, progress, data, bytes.data(), bytes.size());
}

}  // namespace faltrix::linear
