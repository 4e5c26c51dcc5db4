// Deep samples through the frame calls of the JPEG XL and HEIF/AVIF plug-ins and through
// faltrix-convert, read back by our readers and by libjxl's, libavif's and libheif's own tools:
// lossless JPEG XL keeps the source's depth to the sample, AVIF and HEIC keep 10 bits or come
// down to 12 from 16. (Hostile deep files: deep.txt of tests/data, read by codec_files_test.)
#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QStandardPaths>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

uint16_t Widen(uint32_t v, int bits) {
    return uint16_t((v * 65535ull + ((1u << bits) - 1) / 2) / ((1u << bits) - 1));
}

// Values of `bits` bits that differ from pixel to pixel, channel to channel and frame to frame.
DeepPicture Pattern(int channels, int bits, int frames) {
    DeepPicture d{bits, channels, 48, 32, {}, {}};
    for (int k = 0; k < frames; ++k) {
        d.frames.emplace_back(size_t(d.width * d.height * channels));
        for (size_t i = 0; i < d.frames[k].size(); ++i)
            d.frames[k][i] = Widen(uint32_t((i + 7) * 2654435761u >> (k + 9)) % (1u << bits), bits);
    }
    return d;
}

// The colour samples of a picture Qt read (a 16-bit PNG in 16 bits).
DeepPicture FromImage(const QImage &read) {
    const QImage image = read.convertToFormat(QImage::Format_RGBX64);
    DeepPicture d{16, 3, image.width(), image.height(), {{}}, {}};
    for (int y = 0; y < d.height; ++y)
        for (int x = 0; x < d.width; ++x) {
            const QRgba64 p = reinterpret_cast<const QRgba64 *>(image.constScanLine(y))[x];
            d.frames[0].insert(d.frames[0].end(), {p.red(), p.green(), p.blue()});
        }
    return d;
}

// The tool's standard output, with a space after it; empty when it is missing or fails.
QByteArray Tool(const QString &tool, const QStringList &args) {
    QProcess p;
    if (QStandardPaths::findExecutable(tool).isEmpty()) return {};
    p.start(tool, args);
    return p.waitForFinished() && p.exitCode() == 0 ? p.readAllStandardOutput() + " " : "";
}

// Every sample of `have` within `tolerance` of `expected`'s, with as many frames and channels.
void ExpectSamples(const DeepPicture &have, const DeepPicture &expected, int tolerance,
                   const std::string &who) {
    ASSERT_EQ(have.frames.size(), expected.frames.size()) << who << ": " << have.failure;
    ASSERT_EQ(have.channels, expected.channels) << who;
    for (size_t k = 0; k < have.frames.size(); ++k)
        for (size_t i = 0; i < have.frames[k].size(); ++i)
            ASSERT_LE(std::abs(have.frames[k][i] - expected.frames[k][i]), tolerance)
                << who << ": frame " << k << " sample " << i;
}

// The source as a file of `bits` bits gives it back: each sample narrowed and widened again;
// grey as three channels alike where the file holds colour only.
DeepPicture AtDepth(DeepPicture d, int bits, bool colour) {
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

// Lossless: our reader gives the samples back at the depth stored, exact.
TEST_P(DeepFormats, LosslessRoundTrips) {
    const DeepCase &c = GetParam();
    const bool jxl = c.format == std::string("jxl"), avif = c.format == std::string("heif-avif");
    const bool jp2 = c.format == std::string("jp2");  // lossless by default, grey kept
    const CodecPlugin &in = Loaded(jxl || jp2 ? c.format : "heif", "input"),
                      &out = Loaded(c.format, "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    if (!out.Symbol("AddFrameSamples")) GTEST_SKIP() << "built without deep frames (libavif)";
    Keep(out);
    ASSERT_EQ(jp2 ? 0 : SetOption(out, u"lossless", u"1"), 0);
    TempDir dir;
    const fs::path file = dir / (std::string("a.") + (jxl || jp2 ? c.format
                                                      : avif     ? "avif"
                                                                 : "heic"));
    const DeepPicture source = Pattern(c.channels, c.bits, c.frames);
    ASSERT_EQ(WriteDeep(out, source, file), "");
    const DeepPicture ours = ReadDeep(in, file),
                      expected = AtDepth(source, c.storedBits, !jxl && !jp2);
    EXPECT_EQ(ours.bits, c.storedBits);
    ExpectSamples(ours, expected, 0, "our reader");
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
                                           DeepCase{"HeicPages10", "heif-heic", 3, 10, 2, 10},
                                           DeepCase{"Jp2Rgba16", "jp2", 4, 16, 1, 16},
                                           DeepCase{"Jp2GreyAlpha12", "jp2", 2, 12, 1, 12},
                                           DeepCase{"Jp2Rgb10", "jp2", 3, 10, 1, 10}),
                         kCaseName);

struct Conversion {
    const char *name, *source;  // cjxl's lossless 16 bits ("jxl") or avifenc's 10 ("avif")
    const char *output, *option;
    int bits;       // what the output keeps
    int tolerance;  // of its samples as its library's tool decodes them
};

class DeepConvert : public ::testing::TestWithParam<Conversion> {};

// faltrix-convert from files of libjxl's and libavif's tools (tests/data/*/layouts: cjxl's
// lossless JPEG XL and avifenc's lossless 10-bit AVIF of the 16-bit noise below): the output has
// the depth its tool reports (jxlinfo, avifdec --info), no notice of reduction, and as that
// tool decodes it the source's samples at that depth.
TEST_P(DeepConvert, KeepsTheDepth) {
    const Conversion &c = GetParam();
    FALTRIX_SKIP_UNLESS_BUILT("output", "jxl", "heif-avif", "heif-heic");
    // cjxl keeps 8 bits of a 16-bit PNG's alpha: the source is opaque.
    QImage image(48, 32, QImage::Format_RGBX64);
    for (uint32_t i = 0; i < 48 * 32 * 4; ++i)
        reinterpret_cast<uint16_t *>(image.bits())[i] =
            i % 4 == 3 ? 65535 : (i * 2654435761u) >> 16;
    const DeepPicture source = FromImage(image);
    TempDir dir;
    const auto path = [&](const char *name, const char *ext) { return dir.filePath(name) + ext; };
    const QString in = c.source == QString("jxl")
                           ? Q(DataDir() / "jxl" / "layouts" / "cjxl-lossless-16-bit-noise.jxl")
                           : Q(DataDir() / "heif" / "layouts" / "avifenc-10-bit-noise.avif");
    const QString out = path("o.", c.output);
    QProcess convert;  // the build's converter, with the build's plug-ins beside it
    convert.start(FALTRIX_CONVERT, {in, "-o", out, "--option", c.option});
    const QByteArray errors = convert.waitForFinished() ? convert.readAllStandardError() : "";
    ASSERT_EQ(convert.exitCode(), 0) << errors.toStdString();
    EXPECT_FALSE(errors.contains("bits")) << errors.toStdString();
    const QString png = path("o.", "png");
    const bool jxl = c.output == QString("jxl"), avif = c.output == QString("avif");
    if (Tool(jxl    ? "djxl"
             : avif ? "avifdec"
                    : "heif-convert",
             jxl    ? QStringList{out, png, "--bits_per_sample=16"}
             : avif ? QStringList{"--depth", "16", out, png}
                    : QStringList{out, png})
            .isEmpty())
        GTEST_SKIP() << "djxl, avifdec or heif-convert is not installed";
    ExpectSamples(FromImage(QImage(png)), AtDepth(source, c.bits, false), c.tolerance, c.name);
    const QByteArray info = jxl ? Tool("jxlinfo", {out}) : Tool("avifdec", {"--info", out});
    EXPECT_TRUE((!jxl && !avif) || info.contains(QByteArray::number(c.bits) + "-bit") ||
                info.contains("Bit Depth      : " + QByteArray::number(c.bits)))
        << info.toStdString();
}

// cli.Deep (tests/cli/deep_test.py) takes PNG into 12-bit AVIF. avifenc narrows 16 bits to 10
// by its own rounding; heif-convert widens 12 bits by a shift, up to 15 short of the scaling.
INSTANTIATE_TEST_SUITE_P(
    Cases, DeepConvert,
    ::testing::Values(Conversion{"JxlToLosslessJxl", "jxl", "jxl", "lossless=1", 16, 0},
                      Conversion{"TenBitAvifToLosslessJxl", "avif", "jxl", "lossless=1", 10, 65},
                      Conversion{"TenBitAvifToAvif", "avif", "avif", "lossless=1", 10, 65},
                      Conversion{"JxlToHeicAtTwelveBits", "jxl", "heic", "lossless=1", 12, 24}),
    kCaseName);

// ---- Linear light: OpenEXR and Radiance HDR -------------------------------------------------

struct LinearCase {
    const char *name, *format;
    int channels;
    int tolerance;  // of the samples, from the file's precision
};

class LinearFormats : public ::testing::TestWithParam<LinearCase> {};

// 16-bit samples stored as linear light come back at 16 bits, within what the file keeps: half
// floats hold 11 significant bits (14 steps of the samples near white; premultiplied colour
// and alpha twice that), RGBE's shared exponent leaves the channels 8 bits of the brightest.
// Of a sequence, the first frame is stored.
TEST_P(LinearFormats, DeepSamplesComeBackWithinTheFilesPrecision) {
    const LinearCase &c = GetParam();
    const CodecPlugin &in = Loaded(c.format, "input"), &out = Loaded(c.format, "output");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    DeepPicture source = Pattern(c.channels, 16, 2);
    for (size_t i = 3; c.channels == 4 && i < source.frames[0].size(); i += 4)
        source.frames[0][i] |= 0x8000;  // below half opacity, premultiplying loses colour bits
    TempDir dir;
    const fs::path file = dir / (std::string("a.") + c.format);
    ASSERT_EQ(WriteDeep(out, source, file), "");
    const DeepPicture read = ReadDeep(in, file);
    EXPECT_EQ(read.bits, 16);
    source.frames.pop_back();
    ExpectSamples(read, AtDepth(source, 16, c.format == std::string("hdr")), c.tolerance, c.name);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinearFormats,
                         ::testing::Values(LinearCase{"ExrRgb", "exr", 3, 14},
                                           LinearCase{"ExrRgba", "exr", 4, 28},
                                           LinearCase{"ExrGrey", "exr", 1, 14},
                                           LinearCase{"HdrGreyAsRgb", "hdr", 1, 110}),
                         kCaseName);

// Radiance pixels of 4.0, 1.0 and 0.25 (RGBE exponents 131, 129, 127; mantissas 128 with the
// half the format adds) are tone-mapped: the brightest becomes white and the others keep their
// order, and both the samples and the 8-bit picture tell what was dropped. A white stored as RGBE
// stores it (1.0039, the middle of the mantissa's step) is white, and pixels of 0.5 beside it are
// not touched: their samples are the sRGB curve's, and nothing is said.
TEST(LinearHighlights, AreToneMappedWithANotice) {
    const CodecPlugin &in = Loaded("hdr", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    TempDir dir;
    for (const bool bright : {true, false}) {
        const fs::path file = dir / (bright ? "bright.hdr" : "dim.hdr");
        const uint8_t e0 = bright ? 131 : 129, e1 = bright ? 129 : 128, e2 = bright ? 127 : 128;
        const std::string header = "#?RADIANCE\n\n-Y 1 +X 3\n";
        Bytes bytes(header.begin(), header.end());
        for (const uint8_t exponent : {e0, e1, e2})
            bytes.insert(bytes.end(), {128, 128, 128, exponent});
        WriteFile(file, bytes);
        const DeepPicture deep = ReadDeep(in, file);
        ASSERT_EQ(deep.frames.size(), 1u) << deep.failure;
        const std::string saidDeep = MetadataItem(in, file, FALTRIX_METADATA_DROPPED);
        const Samples &s = deep.frames[0];
        const QImage eight = DibToImage(OwnedDib(in.Decode(file)));
        const std::string said = MetadataItem(in, file, FALTRIX_METADATA_DROPPED);
        if (bright) {
            EXPECT_EQ(s[0], 65535);
            EXPECT_GT(s[0], s[3]);
            EXPECT_GT(s[3], s[6]);
            EXPECT_EQ(qRed(eight.pixel(0, 0)), 255);
            EXPECT_NE(said.find("tone-mapped into the 8-bit range"), std::string::npos) << said;
            EXPECT_NE(saidDeep.find("tone-mapped into the 16-bit range"), std::string::npos)
                << saidDeep;
        } else {
            const double v = 128.5 / 256, srgb = 1.055 * std::pow(v, 1 / 2.4) - 0.055;
            Samples want(9, uint16_t(std::lround(srgb * 65535)));
            std::fill_n(want.begin(), 3, 65535);
            EXPECT_EQ(s, want);
            EXPECT_EQ(qRed(eight.pixel(2, 0)), std::lround(srgb * 255));
            EXPECT_EQ(said + saidDeep, "");
        }
    }
}

// Our files as libvips decodes them (linear light to sRGB) match our own reading of them.
TEST(LinearFormats, OurFilesAreReadByLibvips) {
    if (!Have("vips")) GTEST_SKIP() << "vips is not installed";
    const OwnedDib chart = ImageToDib(TestChart(64, 48), 24);
    TempDir dir;
    for (const char *format : {"exr", "hdr"}) {
        const CodecPlugin &in = Loaded(format, "input"), &out = Loaded(format, "output");
        if (!in.loaded() || !out.loaded()) continue;
        const fs::path file = dir / (std::string("ours.") + format), png = dir / "vips.png";
        ASSERT_EQ(out.Save(chart, file), 0);
        ASSERT_EQ(RunQuietly("vips", {"colourspace", Q(file), Q(png), "srgb"}), 0);
        const QImage ours = DibToImage(OwnedDib(in.Decode(file)));
        std::string where;
        EXPECT_LE(MaxDifference(QImage(Q(png)), ours, &where), 1) << format << " " << where;
    }
}

}  // namespace
}  // namespace faltrix
