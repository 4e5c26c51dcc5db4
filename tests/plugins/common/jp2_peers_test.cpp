// JPEG 2000 files of our output plug-in as OpenJPEG's own decoder and ImageMagick read them:
// every layout back to the pixel (grey, a palette made RGB, alpha named by the channel
// definition, a bare codestream chosen by the name), the colour profile in the colour box, and
// of a sequence the first frame alone.
#include <gtest/gtest.h>

#include <QColorSpace>
#include <QImage>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

struct PeerCase {
    const char *name;
    int bits, palette;  // of the chart stored (ChartDib)
    bool alpha;
    const char *extension;
    friend void PrintTo(const PeerCase &c, std::ostream *os) { *os << c.name; }
};

class Jp2Peers : public ::testing::TestWithParam<PeerCase> {};

TEST_P(Jp2Peers, DecodeOurFilesToThePixel) {
    const PeerCase &c = GetParam();
    const CodecPlugin &out = Loaded("jp2", "output");
    FALTRIX_SKIP_UNLESS_LOADED(&out);
    if (!Have("opj_decompress")) GTEST_SKIP() << "opj_decompress is not installed";
    const OwnedDib source = ChartDib(c.bits, false, c.palette, c.alpha, 61, 43);
    TempDir dir;
    const auto file = dir / (std::string("a.") + c.extension), decoded = dir / "b.png";
    ASSERT_EQ(out.Save(source, file), 0) << out.LastFailure();
    const Bytes bytes = ReadFile(file);
    ASSERT_GE(bytes.size(), 12u);
    EXPECT_EQ(bytes[0] == 0xFF && bytes[1] == 0x4F, c.extension != std::string("jp2"));
    ASSERT_EQ(RunQuietly("opj_decompress", {"-i", Q(file), "-o", Q(decoded)}), 0);
    const QImage have(Q(decoded));
    EXPECT_EQ(have.hasAlphaChannel(), c.alpha);
    std::string where;
    EXPECT_EQ(MaxDifference(have, DibToImage(source), &where), 0) << where;
}

INSTANTIATE_TEST_SUITE_P(Layouts, Jp2Peers,
                         ::testing::Values(PeerCase{"GreyRamp", 8, -256, false, "jp2"},
                                           PeerCase{"Palette", 4, 16, false, "jp2"},
                                           PeerCase{"Rgba", 32, 0, true, "jp2"},
                                           PeerCase{"RgbCodestream", 24, 0, false, "j2k"},
                                           PeerCase{"RgbaCodestream", 32, 0, true, "jpc"}),
                         kCaseName);

// The profile the host sets is the one ImageMagick takes out of the file and the one our
// reader hands over; a sequence of two frames stores the first.
TEST(Jp2Files, KeepTheProfileAndTheFirstFrame) {
    const CodecPlugin &out = Loaded("jp2", "output"), &in = Loaded("jp2", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&out, &in);
    const QByteArray profile = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
    ASSERT_FALSE(profile.isEmpty());
    const auto set = reinterpret_cast<SetPictureMetadataFn>(out.Symbol("SetPictureMetadata"));
    ASSERT_EQ(set(FALTRIX_METADATA_ICC, profile.data(), int32_t(profile.size())), 0);
    const OwnedDib first = ChartDib(24, false, 0, false, 61, 43), second = ChartDib(8, true, 256);
    TempDir dir;
    ASSERT_EQ(out.SaveFrames({first, second}, {0, 0}, 1, dir / "a.jp2"), 0);
    const QImage back = DibToImage(OwnedDib(in.Decode(dir / "a.jp2")));
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(MaxDifference(back, DibToImage(first)), 0);
    EXPECT_EQ(MetadataItem(in, dir / "a.jp2", FALTRIX_METADATA_ICC), profile.toStdString());
    if (Have("convert")) {
        ASSERT_EQ(RunQuietly("convert", {Q(dir / "a.jp2"), Q(dir / "a.icc")}), 0);
        const Bytes extracted = ReadFile(dir / "a.icc");
        EXPECT_EQ(std::string(extracted.begin(), extracted.end()), profile.toStdString());
    }
}

}  // namespace
}  // namespace faltrix
