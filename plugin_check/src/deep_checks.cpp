// The checks of deep samples (more than 8 bits): an input's GetFrameSamples gives every frame of
// a deep sample with the colours of its 8-bit frames, and an output's AddFrameSamples stores
// each of the four layouts.
#include <cmath>

#include "child.h"
#include "subject.h"

namespace faltrix::check {
namespace {

// The host's allocation of a deep frame, as plugin.h describes it, for one call on this thread.
struct SampleBlock {
    std::vector<uint16_t> samples;
    int calls = 0;
    std::string problem;
};
thread_local SampleBlock *t_block = nullptr;

void *AllocSamples(SamplePicture *picture) {
    SampleBlock &block = *t_block;
    if (++block.calls > 1) {
        block.problem = "GetFrameSamples asked for memory more than once";
        return nullptr;
    }
    if (picture == nullptr || picture->channels < 1 || picture->channels > 4 ||
        picture->bits != 16 || picture->significantBits < 9 ||
        picture->significantBits > FALTRIX_SAMPLES_MAX_BITS) {
        block.problem = "GetFrameSamples asked for a layout of " +
                        (picture ? std::to_string(picture->channels) + " channels of " +
                                       std::to_string(picture->bits) + " bits (" +
                                       std::to_string(picture->significantBits) + " significant)"
                                 : std::string("no record"));
        return nullptr;
    }
    const size_t row = static_cast<size_t>(picture->width) * picture->channels;
    block.samples.assign(row * static_cast<size_t>(picture->height), 0);
    picture->stride = static_cast<int64_t>(row * 2);
    picture->data = block.samples.data();
    return picture->data;
}

void *Open(const EntryPoints &plugin, const std::u16string &path, FrameSequenceInfo *info) {
    *info = FrameSequenceInfo{};
    info->size = sizeof *info;
    void *reader = nullptr;
    if (Traced("OpenFrames(sample)",
               [&] { return plugin.openFrames(path.c_str(), info, &reader); }) != 0)
        Fail("OpenFrames failed on the sample");
    return reader;
}

// Where the deep frame's colours differ by more than rounding from the 8-bit frame's (both
// where the deep frame is opaque); empty when nowhere.
std::string Difference(const SamplePicture &deep, const std::vector<uint16_t> &samples,
                       const std::vector<uint8_t> &rgb32) {
    const int channels = deep.channels, colours = channels >= 3 ? 3 : 1;
    for (int32_t y = 0; y < deep.height; ++y) {
        for (int32_t x = 0; x < deep.width; ++x) {
            const uint16_t *pixel = &samples[(static_cast<size_t>(y) * deep.width + x) * channels];
            if (channels % 2 == 0 && pixel[channels - 1] != 65535) continue;  // not opaque
            const uint8_t *bgr = &rgb32[(static_cast<size_t>(y) * deep.width + x) * 4];
            for (int c = 0; c < 3; ++c) {
                const long deep8 = std::lround(pixel[colours == 3 ? c : 0] * 255.0 / 65535.0);
                if (std::abs(deep8 - bgr[2 - c]) > 2)
                    return "at (" + std::to_string(x) + ", " + std::to_string(y) +
                           ") the samples say " + std::to_string(deep8) +
                           " in 8 bits, GetFrameDIB " + std::to_string(bgr[2 - c]);
            }
        }
    }
    return {};
}

// Every frame through GetFrameSamples on one reader and through GetFrameDIB on another.
void DeepFramesRead(const Subject &subject) {
    const EntryPoints &plugin = Load(subject);
    const std::u16string path = Units(subject.sample);
    FrameSequenceInfo info, again;
    void *reader = Open(plugin, path, &info);
    if (info.sampleBits == 0) {
        Traced("CloseFrames", [&] { plugin.closeFrames(reader); });
        Skip("the sample has no more than 8 bits per sample: give a deeper one");
    }
    if (info.sampleBits < 9 || info.sampleBits > FALTRIX_SAMPLES_MAX_BITS)
        Fail("OpenFrames gave sampleBits " + std::to_string(info.sampleBits));
    void *eightBits = Open(plugin, path, &again);
    int channels = 0;
    for (int32_t index = 0; index < info.frameCount; ++index) {
        const std::string which = "frame " + std::to_string(index + 1);
        SamplePicture picture{};
        picture.size = sizeof picture;
        picture.width = info.width;
        picture.height = info.height;
        FrameInfo frame{};
        frame.size = sizeof frame;
        SampleBlock block;
        t_block = &block;
        ProgressLog log{29, {}, false};
        RecordOn(&log);
        const int32_t answer = Traced("GetFrameSamples(" + std::to_string(index) + ")", [&] {
            return plugin.getFrameSamples(reader, index, &frame, &picture, RecordProgress, log.data,
                                          AllocSamples);
        });
        RecordOn(nullptr);
        if (!block.problem.empty()) Fail(block.problem + " (" + which + ")");
        if (answer != 0) Fail("GetFrameSamples failed on " + which + ": " + FailureText(plugin));
        if (block.calls == 0)
            Fail("GetFrameSamples answered 0 for " + which + " but asked for no memory");
        if (channels != 0 && picture.channels != channels)
            Fail(which + " has other channels than frame 1");
        channels = picture.channels;
        if (const std::string why = ProgressProblem(log); !why.empty())
            Fail(why + " (" + which + ")");
        FrameInfo frame8{};
        frame8.size = sizeof frame8;
        HBITMAP bitmap = Traced("GetFrameDIB(" + std::to_string(index) + ")", [&] {
            return plugin.getFrameDIB(eightBits, index, &frame8, RecordProgress, 0, HostAlloc);
        });
        if (bitmap == nullptr) Fail("GetFrameDIB gave no " + which);
        const std::string why = Difference(picture, block.samples, Rgb32(bitmap));
        DeleteObject(bitmap);
        if (!why.empty()) Fail(which + ": " + why);
    }
    Traced("CloseFrames", [&] { plugin.closeFrames(reader); });
    Traced("CloseFrames", [&] { plugin.closeFrames(eightBits); });
}

// A sequence of `frames` deep frames of `channels` channels, `bits` significant, stored whole.
void DeepStored(const Subject &subject, int channels, int bits, int frames) {
    const EntryPoints &plugin = Load(subject);
    constexpr int32_t kWidth = 19, kHeight = 7;
    const Target target = MakeTarget(subject, plugin, "deep" + std::to_string(channels));
    const std::u16string &path = target.units;
    FrameSequenceInfo info{sizeof info, kWidth, kHeight, frames, 0, FALTRIX_FRAMES_ANIMATION,
                           bits,        {}};
    void *writer = nullptr;
    if (Traced("BeginFrames(" + std::to_string(bits) + " bits)",
               [&] { return plugin.beginFrames(path.c_str(), &info, &writer); }) != 0)
        Fail("BeginFrames failed: " + FailureText(plugin));
    const double top = std::ldexp(1.0, bits) - 1;
    for (int k = 0; k < frames; ++k) {
        std::vector<uint16_t> samples(static_cast<size_t>(kWidth) * kHeight * channels);
        for (size_t i = 0; i < samples.size(); ++i) {  // n-bit values, scaled to 16 bits
            const bool alpha =
                channels % 2 == 0 && i % channels == static_cast<size_t>(channels - 1);
            const double value = alpha ? top : std::fmod(i * 37.0 + k * 101.0, top + 1);
            samples[i] = static_cast<uint16_t>(std::lround(value * 65535.0 / top));
        }
        const std::vector<uint16_t> before = samples;
        const SamplePicture picture{sizeof picture,
                                    kWidth,
                                    kHeight,
                                    channels,
                                    16,
                                    bits,
                                    static_cast<int64_t>(kWidth) * channels * 2,
                                    samples.data(),
                                    nullptr,
                                    {}};
        const FrameInfo frame{sizeof frame, 100, {}};
        const int32_t answer = Traced("AddFrameSamples(" + std::to_string(k) + ")", [&] {
            return plugin.addFrameSamples(writer, &picture, &frame, RecordProgress, 0);
        });
        if (answer != 0)
            Fail("AddFrameSamples failed on frame " + std::to_string(k + 1) + ": " +
                 FailureText(plugin));
        if (samples != before) Fail("AddFrameSamples changed the host's samples");
    }
    if (Traced("EndFrames(1)", [&] { return plugin.endFrames(writer, 1); }) != 0)
        Fail("EndFrames(1) failed: " + FailureText(plugin));
    const std::vector<std::string> names = Listing(target.folder);
    if (names != std::vector<std::string>{target.name})
        Fail("the folder holds more than the temporary");
    if (ReadFile(target.path).empty()) Fail("EndFrames(1) answered 0 but left the temporary empty");
}

}  // namespace

std::vector<Check> DeepInputChecks() {
    return {{"GetFrameSamples gives every frame of a deep sample in its 8-bit colours",
             {"OpenFrames", "GetFrameDIB", "CloseFrames", "GetFrameSamples"},
             true,
             DeepFramesRead}};
}

std::vector<Check> DeepOutputChecks() {
    const std::vector<std::string> needs{"BeginFrames", "AddFrameSamples", "EndFrames"};
    return {
        {"AddFrameSamples stores a 16-bit grey picture", needs, false,
         [](const Subject &s) { DeepStored(s, 1, 16, 1); }},
        {"AddFrameSamples stores a 12-bit grey and alpha picture", needs, false,
         [](const Subject &s) { DeepStored(s, 2, 12, 1); }},
        {"AddFrameSamples stores three 16-bit RGB frames", needs, false,
         [](const Subject &s) { DeepStored(s, 3, 16, 3); }},
        {"AddFrameSamples stores a 10-bit RGBA picture", needs, false,
         [](const Subject &s) { DeepStored(s, 4, 10, 1); }},
    };
}

}  // namespace faltrix::check
