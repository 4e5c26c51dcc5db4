// HEIC and AVIF through the plug-ins of the build tree: what our output plug-ins store comes
// back through our input plug-in within the stated loss (exactly when lossless), alpha too;
// and files that libheif's own tools write decode as those tools decode them.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

struct RoundTripCase {
    const char *name;
    const char *format;  // the output plug-in
    bool alpha, lossless;
    double minPsnr;  // lossy only: of the colours, at the default quality
    friend void PrintTo(const RoundTripCase &c, std::ostream *os) { *os << c.name; }
};

class HeifRoundTrips : public ::testing::TestWithParam<RoundTripCase> {};

// The chart (odd sides, which 4:2:0 pads) stored at the default quality loses less than the
// case's budget (a picture shifted by a pixel or with two channels swapped falls far below);
// lossless gives back every byte, alpha included.
TEST_P(HeifRoundTrips, GiveBackThePictureWithinTheBudget) {
    const RoundTripCase &c = GetParam();
    const CodecPlugin &out = Loaded(c.format, "output"), &in = Loaded("heif", "input");
    if (!in.loaded() || !out.loaded()) GTEST_SKIP() << "plug-ins not built";
    ASSERT_EQ(SetOption(out, u"lossless", c.lossless ? u"1" : u"0"), 0);
    const QImage chart = TestChart(160, 97, c.alpha);
    HBITMAP source = ImageToDib(chart, c.alpha ? 32 : 24, true);
    TempDir dir;
    const auto file = dir / (std::string("round.") + c.format);
    ASSERT_EQ(out.Save(source, file), 0) << out.LastFailureText().toStdString();
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    ASSERT_NE(in.IsSupported(file), 0);
    HBITMAP loaded = in.Decode(file);
    ASSERT_NE(loaded, nullptr) << in.LastFailureText().toStdString();
    EXPECT_EQ(ViewDib(loaded).bitCount, c.alpha ? 32 : 24);
    const QImage have = DibToImage(loaded), expected = DibToImage(source);
    ASSERT_EQ(have.size(), expected.size());
    if (c.lossless) {
        EXPECT_EQ(ViewDib(loaded).rows, ViewDib(source).rows);
    } else {
        EXPECT_GE(Psnr(have, expected), c.minPsnr);
        for (int y = 0; c.alpha && y < have.height(); ++y)
            for (int x = 0; x < have.width(); ++x)
                ASSERT_NEAR(qAlpha(have.pixel(x, y)), qAlpha(expected.pixel(x, y)), 8);
    }
    DeleteObject(loaded);
    DeleteObject(source);
    ASSERT_EQ(SetOption(out, u"lossless", u"0"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, HeifRoundTrips,
    ::testing::Values(RoundTripCase{"HeicLossy", "heif-heic", false, false, 32.0},
                      RoundTripCase{"HeicLossyAlpha", "heif-heic", true, false, 32.0},
                      RoundTripCase{"HeicLossless", "heif-heic", false, true, 0},
                      RoundTripCase{"AvifLossy", "heif-avif", false, false, 32.0},
                      RoundTripCase{"AvifLosslessAlpha", "heif-avif", true, true, 0}),
    kCaseName);

struct ToolCase {
    const char *name;
    QStringList arguments;  // heif-enc's, before the input and output
    const char *file;       // the output's name
    bool alpha, deep;       // the source has alpha; it is 16 bits per sample
    friend void PrintTo(const ToolCase &c, std::ostream *os) { *os << c.name; }
};

class HeifEncFiles : public ::testing::TestWithParam<ToolCase> {};

// heif-enc makes the file from a PNG of the chart; our plug-in decodes it as heif-convert
// does (16-bit sources come down to 8 bits in both, rounded perhaps differently).
TEST_P(HeifEncFiles, DecodeAsHeifConvertDoes) {
    const ToolCase &c = GetParam();
    const QString enc = QStandardPaths::findExecutable("heif-enc"),
                  convert = QStandardPaths::findExecutable("heif-convert");
    const CodecPlugin &in = Loaded("heif", "input");
    if (enc.isEmpty() || convert.isEmpty() || !in.loaded())
        GTEST_SKIP() << "heif-enc, heif-convert or the plug-in missing";
    TempDir dir;
    const QString source = QString::fromStdString(dir / "source.png"),
                  file = QString::fromStdString(dir / c.file);
    const QString reference = QString::fromStdString(dir / "reference.png");
    ASSERT_TRUE(TestChart(160, 97, c.alpha)
                    .convertToFormat(c.deep ? QImage::Format_RGBA64 : QImage::Format_ARGB32)
                    .save(source));
    ASSERT_EQ(QProcess::execute(enc, c.arguments + QStringList{source, "-o", file}), 0);
    ASSERT_EQ(QProcess::execute(convert, {file, reference}), 0);
    HBITMAP loaded = in.Decode(file.toStdString());
    ASSERT_NE(loaded, nullptr) << in.LastFailureText().toStdString();
    std::string where;
    EXPECT_LE(MaxDifference(DibToImage(loaded), QImage(reference), &where), c.deep ? 1 : 0)
        << where;
    DeleteObject(loaded);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, HeifEncFiles,
    ::testing::Values(ToolCase{"Heic", {"-q", "70"}, "x.heic", false, false},
                      ToolCase{"HeicAlpha", {"-q", "70"}, "x.heic", true, false},
                      ToolCase{"Avif", {"-q", "70"}, "x.avif", false, false},
                      ToolCase{"Heic10BitsAlpha", {"-b", "10"}, "x.heic", true, true}),
    kCaseName);

}  // namespace
}  // namespace faltrix
