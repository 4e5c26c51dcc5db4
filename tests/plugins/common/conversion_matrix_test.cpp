// Every bundled format converts to every other: each sample chart is decoded by its input
// plug-in, stored by every output plug-in, and read back by that format's input plug-in.
// Formats whose plug-ins are not built are skipped.
#include <gtest/gtest.h>

#include <QImage>

#include <atomic>
#include <thread>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

struct Format {
    const char *name;   // plug-in name
    const char *ext;    // sample file extension
    bool lossy;         // JPEG, WebP (lossy by default) and GIF (reduced to 256 colours)
};

const Format kFormats[] = {{"bmp", "bmp", false}, {"png", "png", false}, {"gif", "gif", true},
                           {"jpeg", "jpg", true},  {"tiff", "tif", false}, {"webp", "webp", true}};

using Pair = std::tuple<Format, Format>;
class ConversionMatrix : public ::testing::TestWithParam<Pair> {};

double MeanDifference(const QImage &a, const QImage &b) {
    double total = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            total += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    return total / (3.0 * a.width() * a.height());
}

TEST_P(ConversionMatrix, ConvertsAndReadsBack) {
    const auto &[from, to] = GetParam();
    CodecPlugin in(from.name, "input"), out(to.name, "output"), back(to.name, "input");
    if (!in.loaded() || !out.loaded() || !back.loaded()) GTEST_SKIP() << "plug-ins not built";
    const auto sample = SampleFile(std::string("chart.") + from.ext);
    HBITMAP picture = in.Decode(sample);
    ASSERT_NE(picture, nullptr) << sample;
    TempDir dir;
    const auto file = dir / (std::string("converted.") + to.ext);
    ASSERT_EQ(out.Save(picture, file), 0);
    ASSERT_NE(back.IsSupported(file), 0);
    HBITMAP again = back.Decode(file);
    ASSERT_NE(again, nullptr);
    const QImage a = DibToImage(picture), b = DibToImage(again);
    ASSERT_EQ(a.size(), b.size());
    if (to.lossy) EXPECT_LT(MeanDifference(a, b), 6.0);
    else EXPECT_EQ(MaxDifference(a, b), 0);
    DeleteObject(again);
    DeleteObject(picture);
}

INSTANTIATE_TEST_SUITE_P(Samples, ConversionMatrix,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::ValuesIn(kFormats)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) + "To" + std::get<1>(info.param).name;
                         });

// IsSupported judges by content: under a neutral name each sample is taken by its own input
// plug-in only.
TEST_P(ConversionMatrix, IsSupportedJudgesByContentNotName) {
    const auto &[file, plugin] = GetParam();
    CodecPlugin in(plugin.name, "input");
    if (!in.loaded()) GTEST_SKIP() << "plug-in not built";
    TempDir dir;
    const auto neutral = dir / "picture.dat";
    std::filesystem::copy_file(SampleFile(std::string("chart.") + file.ext), neutral);
    EXPECT_EQ(in.IsSupported(neutral) != 0, std::string(file.name) == plugin.name);
}

// The dialog's thread asks for the size while a job decodes and stores: both get what they
// would get alone.
class TwoThreads : public ::testing::TestWithParam<Format> {};

TEST_P(TwoThreads, SizeQueriesDuringAConversionAgree) {
    const Format &f = GetParam();
    CodecPlugin in(f.name, "input"), out(f.name, "output");
    if (!in.loaded() || !out.loaded()) GTEST_SKIP() << "plug-ins not built";
    const auto sample = SampleFile(std::string("chart.") + f.ext);
    TempDir dir;
    HBITMAP reference = in.Decode(sample);
    ASSERT_NE(reference, nullptr);
    const QImage expected = DibToImage(reference);
    DeleteObject(reference);
    std::atomic<bool> done{false};
    std::atomic<int> badSizes{0}, queries{0};
    std::thread dialog([&] {
        while (!done.load()) {
            int32_t w = 0, h = 0;
            if (in.PictureSize(sample, &w, &h) != 0 || w != 160 || h != 120) ++badSizes;
            ++queries;
        }
    });
    for (int i = 0; i < 10; ++i) {
        HBITMAP picture = in.Decode(sample);
        ASSERT_NE(picture, nullptr);
        EXPECT_EQ(MaxDifference(DibToImage(picture), expected), 0);
        EXPECT_EQ(out.Save(picture, dir / (std::string("job.") + f.ext)), 0);
        DeleteObject(picture);
    }
    done = true;
    dialog.join();
    EXPECT_EQ(badSizes.load(), 0);
    EXPECT_GT(queries.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, TwoThreads, ::testing::ValuesIn(kFormats),
                         [](const auto &info) { return std::string(info.param.name); });

// The samples themselves read as Qt reads them, where Qt has a reader for the format.
class SampleVsQt : public ::testing::TestWithParam<std::string> {};

TEST_P(SampleVsQt, DecodesAsQtDoes) {
    const std::string file = GetParam();
    const std::string ext = file.substr(file.rfind('.') + 1);
    const std::string format = ext == "jpg" ? "jpeg" : ext;
    CodecPlugin in(format, "input");
    if (!in.loaded()) GTEST_SKIP() << "plug-in not built";
    const QImage qt(QString::fromStdString(SampleFile(file).string()));
    if (qt.isNull()) GTEST_SKIP() << "Qt has no reader for " << ext;
    HBITMAP picture = in.Decode(SampleFile(file));
    ASSERT_NE(picture, nullptr);
    std::string where;
    // JPEG decoders may differ by rounding in the colour conversion.
    EXPECT_LE(MaxDifference(DibToImage(picture), qt.convertToFormat(QImage::Format_ARGB32), &where), ext == "jpg" ? 4 : 0)
        << where;
    DeleteObject(picture);
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleVsQt,
                         ::testing::Values("chart.bmp", "chart.png", "chart.gif", "chart.jpg", "palette.bmp",
                                           "palette.png", "palette.gif", "alpha.png", "alpha.gif"),
                         [](const auto &info) {
                             std::string n = info.param;
                             n[n.find('.')] = '_';
                             return n;
                         });

}  // namespace
}  // namespace faltrix
