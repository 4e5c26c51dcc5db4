// Deep samples through the frame calls of the JPEG XL and HEIF/AVIF plug-ins, read back through
// libjxl's, libheif's and libavif's own tools: lossless JPEG XL keeps the source's depth to
// the sample, AVIF and HEIC keep 10 bits or come down to 12 from 16, and hostile deep files
// fail with a cause.
#include <gtest/gtest.h>
#include <png.h>

#include <QProcess>
#include <QStandardPaths>

#include <csetjmp>
#include <fstream>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;
using Samples = std::vector<uint16_t>;

// Frames of 16-bit samples, rows packed; bits: the depth they were scaled from.
struct Deep {
    int32_t bits = 0, channels = 0, width = 48, height = 32;
    std::vector<Samples> frames;
    std::string failure;  // of the call that stopped reading
};

uint16_t Widen(uint32_t v, int bits) {
    return uint16_t((v * 65535ull + ((1u << bits) - 1) / 2) / ((1u << bits) - 1));
}

// Values of `bits` bits that differ from pixel to pixel, channel to channel and frame to frame.
Deep Pattern(int channels, int bits, int frames) {
    Deep d{bits, channels, 48, 32, {}, {}};
    for (int k = 0; k < frames; ++k) {
        d.frames.emplace_back(size_t(d.width * d.height * channels));
        for (size_t i = 0; i < d.frames[k].size(); ++i)
            d.frames[k][i] = Widen(uint32_t((i + 7) * 2654435761u >> (k + 9)) % (1u << bits), bits);
    }
    return d;
}

// The host's memory for a frame, rows padded past their samples as a host may pad them.
void *Allocate(SamplePicture *p) {
    p->stride = int64_t(p->width) * p->channels * 2 + 6;
    p->owner = new Samples(size_t(p->stride / 2 * p->height));
    return p->data = static_cast<Samples *>(p->owner)->data();
}

Deep ReadDeep(const CodecPlugin &in, const fs::path &file) {
    FrameSequenceInfo info{sizeof info, 0, 0, 0, 0, 0, 0, {}};
    void *reader = nullptr;
    Deep d;
    if (reinterpret_cast<OpenFramesFn>(in.Symbol("OpenFrames"))(U16(file).c_str(), &info, &reader))
        return d.failure = in.LastFailureText().toStdString(), d;
    d = {info.sampleBits, 0, info.width, info.height, {}, {}};
    for (int32_t k = 0; k < info.frameCount; ++k) {
        FrameInfo frame{sizeof frame, 0, {}};
        SamplePicture p{sizeof p, info.width, info.height, 0, 0, 0, 0, nullptr, nullptr, {}};
        const int32_t answer = reinterpret_cast<GetFrameSamplesFn>(in.Symbol("GetFrameSamples"))(
            reader, k, &frame, &p, nullptr, 0, Allocate);
        const std::unique_ptr<Samples> owned(static_cast<Samples *>(p.owner));
        if (answer != 0) {
            d.failure = in.LastFailureText().toStdString();
            break;
        }
        EXPECT_EQ(p.significantBits, info.sampleBits);
        d.channels = p.channels;
        Samples &to = d.frames.emplace_back();
        for (int32_t y = 0; y < p.height; ++y)
            to.insert(to.end(), &(*owned)[p.stride / 2 * y],
                      &(*owned)[p.stride / 2 * y + p.width * p.channels]);
    }
    reinterpret_cast<CloseFramesFn>(in.Symbol("CloseFrames"))(reader);
    return d;
}

// Through BeginFrames, AddFrameSamples (rows padded) and EndFrames; the cause when one fails.
std::string WriteDeep(const CodecPlugin &out, const Deep &d, const fs::path &file) {
    const int32_t count = int32_t(d.frames.size()), row = d.width * d.channels, stride = row + 5;
    FrameSequenceInfo info{sizeof info, d.width, d.height, count, 0, 0, d.bits, {}};
    void *writer = nullptr;
    const auto end = reinterpret_cast<EndFramesFn>(out.Symbol("EndFrames"));
    if (reinterpret_cast<BeginFramesFn>(out.Symbol("BeginFrames"))(U16(file).c_str(), &info,
                                                                   &writer))
        return out.LastFailureText().toStdString();
    for (const Samples &frame : d.frames) {
        Samples padded(size_t(stride * d.height));
        for (int32_t y = 0; y < d.height; ++y)
            std::copy_n(&frame[size_t(row * y)], row, &padded[size_t(stride * y)]);
        SamplePicture p{sizeof p, d.width,    d.height,      d.channels, 16,
                        d.bits,   stride * 2, padded.data(), nullptr,    {}};
        FrameInfo delay{sizeof delay, 40, {}};
        if (reinterpret_cast<AddFrameSamplesFn>(out.Symbol("AddFrameSamples"))(writer, &p, &delay,
                                                                               nullptr, 0))
            return end(writer, 0), out.LastFailureText().toStdString();
    }
    return end(writer, 1) == 0 ? "" : out.LastFailureText().toStdString();
}

// The first picture of a PNG as libpng reads it, in 16-bit samples; no frame when it cannot.
Deep ReadPng(const fs::path &file) {
    Deep d;
    FILE *f = fopen(file.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (f && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, f);
        png_read_png(png, info, PNG_TRANSFORM_SWAP_ENDIAN | PNG_TRANSFORM_EXPAND_16, nullptr);
        d = {16,
             png_get_channels(png, info),
             int32_t(png_get_image_width(png, info)),
             int32_t(png_get_image_height(png, info)),
             {{}},
             {}};
        for (int32_t y = 0; y < d.height; ++y) {
            const auto *row = reinterpret_cast<const uint16_t *>(png_get_rows(png, info)[y]);
            d.frames[0].insert(d.frames[0].end(), row, row + d.width * d.channels);
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (f) fclose(f);
    return d;
}

bool Tool(const QString &tool, const QStringList &args) {
    return !QStandardPaths::findExecutable(tool).isEmpty() &&
           QProcess::execute(
               "/bin/sh", QStringList{"-c", R"(exec "$0" "$@" >/dev/null 2>&1)", tool} + args) == 0;
}

// Every sample of `have` within `tolerance` of `expected`'s, with as many frames and channels.
void ExpectSamples(const Deep &have, const Deep &expected, int tolerance, const std::string &who) {
    ASSERT_EQ(have.frames.size(), expected.frames.size()) << who << ": " << have.failure;
    ASSERT_EQ(have.channels, expected.channels) << who;
    for (size_t k = 0; k < have.frames.size(); ++k)
        for (size_t i = 0; i < have.frames[k].size(); ++i)
            ASSERT_LE(std::abs(have.frames[k][i] - expected.frames[k][i]), tolerance)
                << who << ": frame " << k << " sample " << i;
}

// The source as a file of `bits` bits gives it back: each sample narrowed and widened again;
// grey as three channels alike where the file holds colour only.
Deep AtDepth(Deep d, int bits, bool colour) {
    const int grey = colour && d.channels < 3 ? 2 : 0;
    for (Samples &frame : d.frames) {
        Samples to;
        for (size_t i = 0; i < frame.size(); ++i)
            to.insert(to.end(), i % d.channels == 0 ? 1 + grey : 1,
                      Widen(uint32_t((frame[i] * ((1ull << bits) - 1) + 32767) / 65535), bits));
        frame = to;
    }
    d.channels += grey;
    return d;
}

struct DeepCase {
    const char *name, *format;  // the output plug-in
    int channels, bits, frames;
    int storedBits;  // what the file keeps
};

class DeepFormats : public KeepsSettings, public ::testing::WithParamInterface<DeepCase> {};

// Lossless: our reader gives the samples back at the depth stored, exact; djxl, avifdec and
// heif-convert (16-bit PNG) agree on the first frame, within a step of the stored depth, and
// jxlinfo tells the depth of a JPEG XL file.
TEST_P(DeepFormats, LosslessRoundTrips) {
    const DeepCase &c = GetParam();
    const bool jxl = c.format == std::string("jxl"), avif = c.format == std::string("heif-avif");
    const CodecPlugin &in = Loaded(jxl ? "jxl" : "heif", "input"),
                      &out = Loaded(c.format, "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    if (!out.Symbol("AddFrameSamples")) GTEST_SKIP() << "built without deep frames (libavif)";
    Keep(out);
    ASSERT_EQ(SetOption(out, u"lossless", u"1"), 0);
    TempDir dir;
    const fs::path file = dir / (jxl    ? "a.jxl"
                                 : avif ? "a.avif"
                                        : "a.heic"),
                   peer = dir / "peer.png";
    const Deep source = Pattern(c.channels, c.bits, c.frames);
    ASSERT_EQ(WriteDeep(out, source, file), "");
    const Deep ours = ReadDeep(in, file), expected = AtDepth(source, c.storedBits, !jxl);
    EXPECT_EQ(ours.bits, c.storedBits);
    ExpectSamples(ours, expected, 0, "our reader");

    const QString name = QString::fromStdString(file), to = QString::fromStdString(peer);
    if (!(jxl    ? Tool("djxl", {name, to, "--bits_per_sample=16"})
          : avif ? Tool("avifdec", {"--depth", "16", name, to})
                 : Tool("heif-convert", {name, to})))
        GTEST_SKIP() << "djxl, avifdec or heif-convert is not installed";
    // heif-convert numbers the pictures of a file of several.
    const Deep tool = ReadPng(fs::exists(peer) ? peer : dir / "peer-1.png");
    Deep first = expected;
    first.frames.resize(1);
    // djxl widens through floating point, one off at most.
    ExpectSamples(tool, first, jxl ? 1 : 65535 / ((1 << c.storedBits) - 1), "the library's tool");
    QProcess info;
    info.start("jxlinfo", {name});
    if (jxl && info.waitForFinished()) {
        EXPECT_TRUE(info.readAll().contains(QByteArray::number(c.storedBits) + "-bit"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DeepFormats,
                         ::testing::Values(DeepCase{"JxlRgb16", "jxl", 3, 16, 1, 16},
                                           DeepCase{"JxlGrey16", "jxl", 1, 16, 1, 16},
                                           DeepCase{"JxlGreyAlpha16", "jxl", 2, 16, 1, 16},
                                           DeepCase{"JxlRgb10", "jxl", 3, 10, 1, 10},
                                           DeepCase{"JxlGrey12", "jxl", 1, 12, 1, 12},
                                           DeepCase{"JxlRgbaAnimation16", "jxl", 4, 16, 3, 16},
                                           DeepCase{"JxlRgbAnimation12", "jxl", 3, 12, 2, 12},
                                           DeepCase{"AvifRgba16At12", "heif-avif", 4, 16, 1, 12},
                                           DeepCase{"AvifRgb10", "heif-avif", 3, 10, 1, 10},
                                           DeepCase{"AvifGreyAlpha16At12", "heif-avif", 2, 16, 1,
                                                    12},
                                           DeepCase{"AvifSequence10", "heif-avif", 3, 10, 3, 10},
                                           DeepCase{"HeicRgba16At12", "heif-heic", 4, 16, 1, 12},
                                           DeepCase{"HeicPages10", "heif-heic", 3, 10, 2, 10}),
                         kCaseName);

// libheif's decoding of a 10-bit HEIC of tests/data, and of a lossless 10-bit AVIF avifenc made
// of it: ours within a 10-bit step, at the depth the file has.
TEST(DeepFiles, TenBitHeicAndAvifAsLibheifDecodesThem) {
    const CodecPlugin &in = Loaded("heif", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    TempDir dir;
    const fs::path heic = DataDir() / "heif/layouts/deep-10-bits-alpha.heic", avif = dir / "x.avif";
    const auto png = [&](const fs::path &file) { return dir / (file.stem().string() + ".png"); };
    const auto q = [](const fs::path &file) { return QString::fromStdString(file); };
    if (!Tool("heif-convert", {q(heic), q(png(heic))}) ||
        !Tool("avifenc", {"-d", "10", "-l", q(png(heic)), q(avif)}) ||
        !Tool("heif-convert", {q(avif), q(png(avif))}))
        GTEST_SKIP() << "heif-convert or avifenc is not installed";
    for (const fs::path &file : {heic, avif}) {
        const Deep ours = ReadDeep(in, file);
        EXPECT_EQ(ours.bits, 10) << file;
        ExpectSamples(ours, ReadPng(png(file)), 65535 / 1023, file.filename());
    }
}

// A deep file cut short fails at the frame whose data is gone, with the library's cause, and so
// does an AVIF whose av1C claims another depth than its AV1 stream has (8 or 12 bits of 10).
TEST(DeepFiles, HostileFilesFailCleanly) {
    const CodecPlugin &jxlIn = Loaded("jxl", "input"), &jxlOut = Loaded("jxl", "output");
    const CodecPlugin &heifIn = Loaded("heif", "input"), &avifOut = Loaded("heif-avif", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&jxlIn, &jxlOut, &heifIn, &avifOut);
    TempDir dir;
    ASSERT_EQ(WriteDeep(jxlOut, Pattern(4, 16, 3), dir / "a.jxl"), "");
    ASSERT_EQ(WriteDeep(avifOut, Pattern(3, 10, 1), dir / "a.avif"), "");
    struct Hostile {
        const char *from;
        int cutTo, av1cFlags, claimedBits, framesRead;
        const char *failure;
    };
    for (const Hostile &h :
         {Hostile{"a.jxl", 60, -1, 16, 1, "JPEG XL: the file is cut short"},
          Hostile{"a.avif", 60, -1, 0, 0, "HEIF: "},
          Hostile{"a.avif", 100, 0x00, 0, 0, "does not have the bit depth signaled"},
          Hostile{"a.avif", 100, 0x60, 12, 0, "does not have the bit depth signaled"}}) {
        Bytes bytes = ReadFile(dir / h.from);
        bytes.resize(bytes.size() * size_t(h.cutTo) / 100);
        const auto av1c =
            std::search(bytes.begin(), bytes.end(), std::begin("av1C"), std::end("av1C") - 1);
        if (h.av1cFlags >= 0 && av1c != bytes.end())  // high_bitdepth and twelve_bit
            av1c[6] = uint8_t((av1c[6] & 0x9f) | h.av1cFlags);
        std::ofstream(dir / "h", std::ios::binary)
            .write(reinterpret_cast<char *>(bytes.data()), std::streamsize(bytes.size()));
        const Deep read = ReadDeep(h.from == std::string("a.jxl") ? jxlIn : heifIn, dir / "h");
        EXPECT_EQ(std::pair(read.bits, read.frames.size()),
                  std::pair(h.claimedBits, size_t(h.framesRead)))
            << h.failure;
        EXPECT_NE(read.failure.find(h.failure), std::string::npos) << read.failure;
    }
}

}  // namespace
}  // namespace faltrix
