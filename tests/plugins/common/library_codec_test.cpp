// HEIC, AVIF, JPEG XL and JPEG 2000 through the plug-ins of the build tree: what our output
// plug-ins store, set through their settings dialogs, comes back through our input plug-ins within
// the stated loss (exactly when lossless), alpha too. (Files the libraries' own tools write,
// heif-enc's and cjxl's, decode as those tools decode them: layouts of tests/data.)
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libheif/heif.h>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

using Answers = std::vector<std::pair<const char *, int>>;

struct RoundTripCase {
    const char *name;
    const char *output, *input, *extension;
    bool alpha;
    Answers settings;    // by the dialog's labels
    double minPsnr = 0;  // of the colours; 0: lossless, every byte back
    // Compared as shown: colours under full transparency are the codec's to change.
    bool premultiplied = false;
    friend void PrintTo(const RoundTripCase &c, std::ostream *os) { *os << c.name; }
};

class RoundTrips : public KeepsSettings, public ::testing::WithParamInterface<RoundTripCase> {};

// The chart (odd sides, which 4:2:0 pads) loses less than the case's budget; a picture shifted
// by a pixel or with two channels swapped falls far below. JPEG XL's default quality keeps
// 30.2 dB on samples/chart.png (the JPEG plug-in's default of 90: 28.7 dB) and 28.0 dB on
// this chart, hence its budget of 27.
TEST_P(RoundTrips, GiveBackThePictureWithinTheBudget) {
    const RoundTripCase &c = GetParam();
    const CodecPlugin &out = Loaded(c.output, "output"), &in = Loaded(c.input, "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    Keep(out);
    ASSERT_EQ(AnswerSettings(out, c.settings, true), 0);
    const QImage chart = TestChart(160, 97, c.alpha);
    const OwnedDib source = ImageToDib(chart, c.alpha ? 32 : 24, true);
    TempDir dir;
    const auto file = dir / (std::string("round.") + c.extension);
    ASSERT_EQ(out.Save(source, file), 0) << out.LastFailure();
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    ASSERT_NE(in.IsSupported(file), 0);
    const OwnedDib loaded = in.Decode(file);
    ASSERT_NE(loaded, nullptr) << in.LastFailure();
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    EXPECT_EQ(ViewDib(loaded).bitCount, c.alpha ? 32 : 24);
    QImage have = DibToImage(loaded), expected = DibToImage(source);
    ASSERT_EQ(have.size(), expected.size());
    if (c.minPsnr == 0) {
        EXPECT_EQ(ViewDib(loaded).rows, ViewDib(source).rows);
    } else {
        for (int y = 0; c.alpha && y < have.height(); ++y)
            for (int x = 0; x < have.width(); ++x)
                ASSERT_NEAR(qAlpha(have.pixel(x, y)), qAlpha(expected.pixel(x, y)), 8);
        if (c.premultiplied) {
            have.convertTo(QImage::Format_ARGB32_Premultiplied);
            expected.convertTo(QImage::Format_ARGB32_Premultiplied);
        }
        EXPECT_GE(Psnr(have, expected), c.minPsnr);
    }
}

const char *const kEffort = "Effort (1 fastest, 9 smallest)";
const Answers kLossy{{"Lossless", 0}}, kLossless{{"Lossless", 1}};
const Answers kJxlDefault{{"Lossless", 0}, {"Quality", 90}, {kEffort, 5}};

INSTANTIATE_TEST_SUITE_P(
    Formats, RoundTrips,
    ::testing::Values(
        RoundTripCase{"HeicLossy", "heif-heic", "heif", "heic", false, kLossy, 32.0},
        RoundTripCase{"HeicLossyAlpha", "heif-heic", "heif", "heic", true, kLossy, 32},
        RoundTripCase{"HeicLossless", "heif-heic", "heif", "heic", false, kLossless, 0},
        RoundTripCase{"AvifLossy", "heif-avif", "heif", "avif", false, kLossy, 32.0},
        RoundTripCase{"AvifLosslessAlpha", "heif-avif", "heif", "avif", true, kLossless},
        RoundTripCase{"JxlDefaultQuality", "jxl", "jxl", "jxl", false, kJxlDefault, 27.0, true},
        RoundTripCase{"JxlDefaultQualityAlpha", "jxl", "jxl", "jxl", true, kJxlDefault, 27.0, true},
        RoundTripCase{"JxlQuality30", "jxl", "jxl", "jxl", false,
                      Answers{{"Lossless", 0}, {"Quality", 30}, {kEffort, 9}}, 23.0, true},
        RoundTripCase{"JxlLosslessAlpha", "jxl", "jxl", "jxl", true,
                      Answers{{"Lossless", 1}, {kEffort, 7}}},
        RoundTripCase{"JxlLosslessFastest", "jxl", "jxl", "jxl", false,
                      Answers{{"Lossless", 1}, {kEffort, 1}}},
        RoundTripCase{"Jp2CodestreamQuality50", "jp2", "jp2", "j2k", false,
                      Answers{{"Quality (100 lossless)", 50}}, 32.0},
        RoundTripCase{"Jp2Quality90Alpha", "jp2", "jp2", "jp2", true,
                      Answers{{"Quality (100 lossless)", 90}}, 40.0}),
    kCaseName);

// Once the input plug-in has opened a HEIC, libheif decodes HEVC with the plug-in's decoder (a
// libde265 worker per core) ahead of its own, which decodes on one core. The heif-enc files of
// tests/data/heif/layouts show that the pixels are the same as libheif's own decoder gives.
TEST(HevcDecoder, TakesOverFromLibheifsOwn) {
    const CodecPlugin &in = Loaded("heif", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    const OwnedDib loaded =
        in.Decode((DataDir() / "heif" / "layouts" / "turned-quarter-clockwise.heic").string());
    ASSERT_NE(loaded, nullptr) << in.LastFailure();
    void *library = dlopen("libheif.so.1", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr) << "the plug-in does not use the system's libheif";
    const auto list = reinterpret_cast<decltype(&heif_get_decoder_descriptors)>(
        dlsym(library, "heif_get_decoder_descriptors"));
    const auto id = reinterpret_cast<decltype(&heif_decoder_descriptor_get_id_name)>(
        dlsym(library, "heif_decoder_descriptor_get_id_name"));
    ASSERT_TRUE(list && id);
    const heif_decoder_descriptor *first = nullptr;
    ASSERT_EQ(list(heif_compression_HEVC, &first, 1), 1);
    EXPECT_STREQ(id(first), "faltrix-libde265");
    dlclose(library);
}

}  // namespace
}  // namespace faltrix
