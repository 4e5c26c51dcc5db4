// What every bundled format must do, through the plug-ins of the build tree: convert to every
// other, judge files by content, answer its information, serve two threads at once and fail an
// output cleanly. Formats whose plug-ins are not built are skipped.
#include <gtest/gtest.h>

#include <QImage>

#include <atomic>
#include <thread>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

struct Format {
    const char *name;  // plug-in name
    const char *ext;   // sample file extension
    bool lossy;        // JPEG, WebP (lossy by default) and GIF (reduced to 256 colours)
    const char16_t *description, *inPatterns, *outPatterns, *patternsDescription;
    // Test names come from the case's name rather than from its bytes.
    friend void PrintTo(const Format &c, std::ostream *os) { *os << c.name; }
};

const Format kFormats[] = {
    {"bmp", "bmp", false, u"BMP (Faltrix's own codec ", u"*.bmp;*.dib", u"*.bmp", u"BMP pictures"},
    {"png", "png", false, u"PNG (libpng 1.", u"*.png", u"*.png", u"PNG pictures"},
    {"gif", "gif", true, u"GIF (giflib 5.", u"*.gif", u"*.gif", u"GIF pictures"},
    {"jpeg", "jpg", true, u"JPEG (libjpeg-turbo ", u"*.jpg;*.jpeg;*.jpe;*.jfif", u"*.jpg;*.jpeg", u"JPEG pictures"},
    {"tiff", "tif", false, u"TIFF (libtiff ", u"*.tif;*.tiff", u"*.tif;*.tiff", u"TIFF pictures"},
    {"webp", "webp", true, u"WebP (libwebp ", u"*.webp", u"*.webp", u"WebP pictures"}};

std::filesystem::path Chart(const Format &f) { return SampleFile(std::string("chart.") + f.ext); }

class ConversionMatrix : public ::testing::TestWithParam<std::tuple<Format, Format>> {};

TEST_P(ConversionMatrix, ConvertsAndReadsBack) {
    const auto &[from, to] = GetParam();
    CodecPlugin in(from.name, "input"), out(to.name, "output"), back(to.name, "input");
    if (!in.loaded() || !out.loaded() || !back.loaded()) GTEST_SKIP() << "plug-ins not built";
    HBITMAP picture = in.Decode(Chart(from));
    ASSERT_NE(picture, nullptr);
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

// Under a neutral name each sample is taken by its own input plug-in only.
TEST_P(ConversionMatrix, IsSupportedJudgesByContentNotName) {
    const auto &[file, plugin] = GetParam();
    CodecPlugin in(plugin.name, "input");
    if (!in.loaded()) GTEST_SKIP() << "plug-in not built";
    TempDir dir;
    std::filesystem::copy_file(Chart(file), dir / "picture.dat");
    EXPECT_EQ(in.IsSupported(dir / "picture.dat") != 0, std::string(file.name) == plugin.name);
}

INSTANTIATE_TEST_SUITE_P(Samples, ConversionMatrix,
                         ::testing::Combine(::testing::ValuesIn(kFormats), ::testing::ValuesIn(kFormats)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) + "To" + std::get<1>(info.param).name;
                         });

class EachFormat : public ::testing::TestWithParam<Format> {};

// Each answer's length is the length of the text written; past the patterns comes 0.
TEST_P(EachFormat, AnswersItsTagDescriptionAndPatterns) {
    const Format &f = GetParam();
    CodecPlugin in(f.name, "input"), out(f.name, "output");
    if (!in.loaded() || !out.loaded()) GTEST_SKIP() << "plug-ins not built";
    for (const auto &[p, tag, patterns] : {std::tuple{&in, u"00IN_EX", f.inPatterns}, std::tuple{&out, u"00OUT_EX", f.outPatterns}}) {
        const std::u16string expected[] = {tag, u"", patterns, f.patternsDescription, u""};
        for (int number = 0; number <= 4; ++number) {
            int32_t n = -1;
            const std::u16string text = p->Info(number, 1024, &n);
            EXPECT_EQ(n, int32_t(text.size())) << number;
            if (number == 1) EXPECT_EQ(text.rfind(f.description, 0), 0u) << QString::fromStdU16String(text).toStdString();
            else EXPECT_EQ(text, expected[number]) << number;
        }
    }
}

// The dialog's thread asks for the size while a job decodes and stores: both get what they
// would get alone.
TEST_P(EachFormat, SizeQueriesFromASecondThreadDuringAConversionAgree) {
    const Format &f = GetParam();
    CodecPlugin in(f.name, "input"), out(f.name, "output");
    if (!in.loaded() || !out.loaded()) GTEST_SKIP() << "plug-ins not built";
    TempDir dir;
    HBITMAP reference = in.Decode(Chart(f));
    ASSERT_NE(reference, nullptr);
    const QImage expected = DibToImage(reference);
    DeleteObject(reference);
    std::atomic<bool> done{false};
    std::atomic<int> badSizes{0}, queries{0};
    std::thread dialog([&] {
        while (!done.load()) {
            int32_t w = 0, h = 0;
            if (in.PictureSize(Chart(f), &w, &h) != 0 || w != 160 || h != 120) ++badSizes;
            ++queries;
        }
    });
    for (int i = 0; i < 10; ++i) {
        HBITMAP picture = in.Decode(Chart(f));
        EXPECT_EQ(MaxDifference(DibToImage(picture), expected), 0);
        EXPECT_EQ(out.Save(picture, dir / (std::string("job.") + f.ext)), 0);
        DeleteObject(picture);
    }
    done = true;
    dialog.join();
    EXPECT_EQ(badSizes.load(), 0);
    EXPECT_GT(queries.load(), 0);
}

// A full disk (a file-size limit), a missing folder and a DC without a picture all answer
// failure; the previous output stays byte for byte and no temporary file is left.
TEST_P(EachFormat, OutputFailureLeavesThePreviousFileAndNoTemporary) {
    const Format &f = GetParam();
    CodecPlugin out(f.name, "output");
    if (!out.loaded()) GTEST_SKIP() << "plug-in not built";
    TempDir dir;
    const std::string name = std::string("previous.") + f.ext;
    const std::vector<uint8_t> previous(777, 0x5C);
    WriteFile(dir / name, previous);
    HBITMAP noise = ImageToDib(Noise(400, 300), 24);
    int32_t result = 0;
    UnderFileSizeLimit(4096, [&] { result = out.Save(noise, dir / name); });
    EXPECT_NE(result, 0);
    EXPECT_EQ(ReadFile(dir / name), previous);
    EXPECT_NE(out.Save(noise, dir / "missing" / name), 0);
    EXPECT_NE(out.Save(nullptr, dir / (std::string("empty.") + f.ext)), 0);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{name});
    DeleteObject(noise);
}

INSTANTIATE_TEST_SUITE_P(Formats, EachFormat, ::testing::ValuesIn(kFormats),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faltrix
