// What every bundled format must do, through the plug-ins of the build tree: convert to every
// other, judge files by content, give back what it stored at every depth, answer its
// information, refuse paths that name no picture, serve two threads at once, keep its
// settings for the session and fail an output cleanly. Formats whose plug-ins are not built
// are skipped.
#include <QWidget>

#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include "codec_harness.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

struct Format {
    const char *name;  // plug-in name
    const char *ext;   // sample file extension
    bool lossy;        // JPEG, WebP (lossy by default) and GIF (reduced to 256 colours)
    const char16_t *description, *inPatterns, *outPatterns, *patternsDescription;
    FormatTraits traits;
    int32_t tooWide;  // the narrowest picture the format cannot hold; 0: none in reach
    friend void PrintTo(const Format &c, std::ostream *os) { *os << c.name; }
};

// Qt widens BMP's 5-bit channels by shifting (31 -> 248), not by scaling; Qt's TIFF and WebP
// readers are not always installed.
const Format kFormats[] = {
    {"bmp", "bmp", false, u"BMP (Faltrix's own codec ", u"*.bmp;*.dib", u"*.bmp", u"BMP pictures", {"bmp", true, 7}, 0},
    {"png", "png", false, u"PNG (libpng 1.", u"*.png", u"*.png", u"PNG pictures", {"png", true, 0}, 0},
    {"gif", "gif", true, u"GIF (giflib 5.", u"*.gif", u"*.gif", u"GIF pictures", {"gif", false, 0}, 65536},
    {"jpeg", "jpg", true, u"JPEG (libjpeg-turbo ", u"*.jpg;*.jpeg;*.jpe;*.jfif", u"*.jpg;*.jpeg", u"JPEG pictures",
     {"jpg", true, 3}, 65501},
    {"tiff", "tif", false, u"TIFF (libtiff ", u"*.tif;*.tiff", u"*.tif;*.tiff", u"TIFF pictures", {"tif", true, -1}, 0},
    {"webp", "webp", true, u"WebP (libwebp ", u"*.webp", u"*.webp", u"WebP pictures", {"webp", false, -1}, 16384}};

const Format &Named(const std::string &name) {
    return *std::find_if(std::begin(kFormats), std::end(kFormats), [&](const Format &f) { return f.name == name; });
}

// The plug-ins stay loaded for the whole run, as the program keeps its chosen pair, so that
// settings hold from one test to the next.
const CodecPlugin &Plugin(const std::string &format, const std::string &kind) {
    static std::map<std::string, std::unique_ptr<CodecPlugin>> loaded;
    auto &p = loaded[format + "/" + kind];
    if (!p) p = std::make_unique<CodecPlugin>(format, kind);
    return *p;
}

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

// ---- Round trips of every depth ---------------------------------------------------------

struct RoundTrip {
    const char *name;  // "<format>_<case>"
    RoundTripCase c;
    friend void PrintTo(const RoundTrip &r, std::ostream *os) { *os << r.name; }
};

class RoundTrips : public ::testing::TestWithParam<RoundTrip> {};

// Lossy formats' loss on the chart (colour palettes changing every few pixels lose most) stays
// below the cases' means; a picture upside down, mirrored or off by a channel goes far above.
TEST_P(RoundTrips, GiveBackWhatWasStored) {
    const std::string name = GetParam().name, format = name.substr(0, name.find('_'));
    const CodecPlugin &out = Plugin(format, "output"), &in = Plugin(format, "input");
    if (!in.loaded() || !out.loaded()) GTEST_SKIP() << "plug-ins not built";
    if (format == "webp") {
        ASSERT_EQ(AnswerSettings(out, {{"Lossless", GetParam().c.meanTolerance == 0}, {"Quality", 90}}, true), 0);
    }
    ExpectRoundTrip(out, in, GetParam().c, Named(format).traits);
}

constexpr uint32_t k565[3] = {0xF800, 0x07E0, 0x001F};

INSTANTIATE_TEST_SUITE_P(
    Depths, RoundTrips,
    ::testing::Values(
        RoundTrip{"bmp_OneBit", {1, 2, false, false, 1, 0}}, RoundTrip{"bmp_FourBit", {4, 16, false, false, 4, 0}},
        RoundTrip{"bmp_FourBitShortPaletteTopDown", {4, 5, true, false, 4, 0}},
        RoundTrip{"bmp_EightBit", {8, 256, false, false, 8, 0}},
        RoundTrip{"bmp_EightBitShortPaletteTopDown", {8, 200, true, false, 8, 0}},
        RoundTrip{"bmp_Sixteen555", {16, 0, false, false, 16, 0}},
        RoundTrip{"bmp_Sixteen565TopDown", {16, 0, true, false, 16, 0, false, k565}},
        RoundTrip{"bmp_TwentyFour", {24, 0, false, false, 24, 0}},
        RoundTrip{"bmp_ThirtyTwoOpaque", {32, 0, false, false, 32, 0}},
        RoundTrip{"bmp_ThirtyTwoAlphaTopDown", {32, 0, true, true, 32, 0}},
        RoundTrip{"png_OneBit", {1, 2, false, false, 1, 0}}, RoundTrip{"png_FourBitTopDown", {4, 16, true, false, 4, 0}},
        RoundTrip{"png_FourBitThreeColours", {4, 3, false, false, 4, 0}},
        RoundTrip{"png_EightBitPalette", {8, 256, false, false, 8, 0}},
        RoundTrip{"png_EightBitGreyRampTopDown", {8, -256, true, false, 8, 0}},
        RoundTrip{"png_Sixteen", {16, 0, false, false, 24, 0}}, RoundTrip{"png_TwentyFour", {24, 0, false, false, 24, 0}},
        RoundTrip{"png_ThirtyTwoOpaque", {32, 0, false, false, 24, 0}},
        RoundTrip{"png_ThirtyTwoAlphaTopDown", {32, 0, true, true, 32, 0}},
        // A short colour table is padded so that every index in the rows names an entry.
        RoundTrip{"png_EightBitIndicesPastATwoEntryTable", {8, 2, false, false, 8, 0, true}},
        // GIF keeps no resolution; its table is padded to a power of two.
        RoundTrip{"gif_OneBit", {1, 2, false, false, 1, 0}}, RoundTrip{"gif_FourBitTopDown", {4, 16, true, false, 4, 0}},
        RoundTrip{"gif_FourBitThreeColours", {4, 3, false, false, 4, 0}},
        RoundTrip{"gif_EightBit", {8, 256, false, false, 8, 0}},
        RoundTrip{"gif_EightBitSixteenColours", {8, 16, false, false, 4, 0}},
        RoundTrip{"tiff_Palette1", {1, 2, false, false, 1, 0}}, RoundTrip{"tiff_Palette4TopDown", {4, 16, true, false, 4, 0}},
        RoundTrip{"tiff_ShortTable4", {4, 15, false, false, 4, 0}},
        RoundTrip{"tiff_GreyRamp8", {8, -256, false, false, 8, 0}},
        RoundTrip{"tiff_Palette8TopDown", {8, 256, true, false, 8, 0}},
        RoundTrip{"tiff_Rgb16", {16, 0, false, false, 24, 0}}, RoundTrip{"tiff_Rgb24BottomUp", {24, 0, false, false, 24, 0}},
        RoundTrip{"tiff_Rgb24TopDown", {24, 0, true, false, 24, 0}},
        RoundTrip{"tiff_Rgbx32AlphaAllZero", {32, 0, false, false, 24, 0}},
        RoundTrip{"tiff_Rgba32TopDown", {32, 0, true, true, 32, 0}},
        RoundTrip{"jpeg_Grey1", {1, -2, false, false, 8, 4.0}}, RoundTrip{"jpeg_Colour1", {1, 2, false, false, 24, 22.0}},
        RoundTrip{"jpeg_Grey4", {4, -16, true, false, 8, 4.0}}, RoundTrip{"jpeg_Colour4", {4, 16, false, false, 24, 22.0}},
        RoundTrip{"jpeg_Grey8", {8, -256, false, false, 8, 4.0}}, RoundTrip{"jpeg_Colour8", {8, 256, true, false, 24, 22.0}},
        RoundTrip{"jpeg_Rgb16", {16, 0, false, false, 24, 8.0}},
        RoundTrip{"jpeg_Rgb24BottomUp", {24, 0, false, false, 24, 8.0}},
        RoundTrip{"jpeg_Rgb24TopDown", {24, 0, true, false, 24, 8.0}},
        RoundTrip{"jpeg_Rgbx32AlphaAllZero", {32, 0, false, false, 24, 8.0}},
        RoundTrip{"jpeg_Rgba32OnWhite", {32, 0, true, true, 24, 8.0}},
        RoundTrip{"webp_Palette1Lossless", {1, 2, false, false, 24, 0}},
        RoundTrip{"webp_Palette4Lossless", {4, 16, true, false, 24, 0}},
        RoundTrip{"webp_Palette8Lossless", {8, 256, false, false, 24, 0}},
        RoundTrip{"webp_Rgb16Lossless", {16, 0, false, false, 24, 0}},
        RoundTrip{"webp_Rgb24BottomUpLossless", {24, 0, false, false, 24, 0}},
        RoundTrip{"webp_Rgb24TopDownLossless", {24, 0, true, false, 24, 0}},
        RoundTrip{"webp_Rgbx32AlphaAllZeroLossless", {32, 0, false, false, 24, 0}},
        RoundTrip{"webp_Rgba32Lossless", {32, 0, true, true, 32, 0}},
        RoundTrip{"webp_Palette8Lossy", {8, 256, false, false, 24, 22.0}},
        RoundTrip{"webp_Rgb16Lossy", {16, 0, true, false, 24, 12.0}},
        RoundTrip{"webp_Rgb24BottomUpLossy", {24, 0, false, false, 24, 12.0}},
        RoundTrip{"webp_Rgb24TopDownLossy", {24, 0, true, false, 24, 12.0}},
        RoundTrip{"webp_Rgba32LossyAlphaExact", {32, 0, false, true, 32, 12.0}}),
    kCaseName);

// ---- Settings dialogs ----------------------------------------------------------------------

struct SettingsCase {
    const char *name;  // the format
    std::vector<std::pair<const char *, int>> usual, smaller;  // the second gives smaller files
    friend void PrintTo(const SettingsCase &c, std::ostream *os) { *os << c.name; }
};

class Settings : public ::testing::TestWithParam<SettingsCase> {};

// Confirmed, a choice holds for the session; cancelled, the old one stays; asked from a thread
// other than the application's, no dialog is shown.
TEST_P(Settings, HoldForTheSessionUntilConfirmedOtherwise) {
    const SettingsCase &c = GetParam();
    const CodecPlugin &out = Plugin(c.name, "output");
    if (!out.loaded()) GTEST_SKIP() << "plug-in not built";
    const std::string ext = std::string(".") + Named(c.name).ext;
    HBITMAP source = ChartDib(24, false, 0, false, 200, 150);
    TempDir dir;
    App();
    QWidget parent;
    EXPECT_EQ(AnswerSettings(out, c.usual, true, reinterpret_cast<HWND>(&parent)), 0);
    ASSERT_EQ(out.Save(source, dir / ("usual" + ext)), 0);
    EXPECT_NE(AnswerSettings(out, c.smaller, false), 0);
    int32_t fromThread = 0;
    std::thread([&] { fromThread = reinterpret_cast<ConfigurationDlgFn>(out.Symbol("ConfigurationDlg"))(nullptr, 0); }).join();
    EXPECT_NE(fromThread, 0);
    ASSERT_EQ(out.Save(source, dir / ("cancelled" + ext)), 0);
    EXPECT_EQ(AnswerSettings(out, c.smaller, true), 0);
    ASSERT_EQ(out.Save(source, dir / ("smaller" + ext)), 0);
    EXPECT_EQ(AnswerSettings(out, c.usual, true), 0);
    ASSERT_EQ(out.Save(source, dir / ("back" + ext)), 0);
    EXPECT_EQ(ReadFile(dir / ("cancelled" + ext)), ReadFile(dir / ("usual" + ext)));
    EXPECT_EQ(ReadFile(dir / ("back" + ext)), ReadFile(dir / ("usual" + ext)));
    EXPECT_LT(ReadFile(dir / ("smaller" + ext)).size(), ReadFile(dir / ("usual" + ext)).size());
    DeleteObject(source);
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, Settings,
    ::testing::Values(SettingsCase{"png", {{"Compression level (0 fastest, 9 smallest)", 0}}, {{"Compression level (0 fastest, 9 smallest)", 9}}},
                      SettingsCase{"jpeg", {{"Quality", 90}}, {{"Quality", 20}}},
                      SettingsCase{"webp", {{"Lossless", 0}, {"Quality", 90}}, {{"Lossless", 0}, {"Quality", 10}}}),
    kCaseName);

// ---- Every format alike ----------------------------------------------------------------------

class EachFormat : public ::testing::TestWithParam<Format> {};

// A folder, a missing file and an empty path name no picture; null arguments are refused.
TEST_P(EachFormat, PathsThatNameNoPictureAndNullArgumentsAreRefused) {
    const CodecPlugin &in = Plugin(GetParam().name, "input");
    if (!in.loaded()) GTEST_SKIP() << "plug-in not built";
    TempDir dir;
    for (const auto &path : {dir / ".", dir / "missing", std::filesystem::path()}) {
        int32_t w, h;
        EXPECT_EQ(in.IsSupported(path), 0) << path;
        EXPECT_NE(in.PictureSize(path, &w, &h), 0) << path;
        EXPECT_EQ(in.Decode(path), nullptr) << path;
    }
    const std::u16string chart = QString::fromStdString(Chart(GetParam()).string()).toStdU16String();
    EXPECT_EQ(reinterpret_cast<IsSupportedFn>(in.Symbol("IsSupported"))(nullptr, 0, 0), 0);
    EXPECT_NE(reinterpret_cast<GetPictureInfoFn>(in.Symbol("GetPictureInfo"))(chart.c_str(), 0, 0, nullptr), 0);
    EXPECT_NE(in.IsSupported(Chart(GetParam())), 0);
}

// A picture wider than the format's size fields hold is refused and leaves no file.
TEST(SizeLimits, APictureTooWideForTheFormatIsRefused) {
    for (const Format &f : kFormats) {
        const CodecPlugin &out = Plugin(f.name, "output");
        if (!out.loaded() || f.tooWide == 0) continue;
        TempDir dir;
        HBITMAP wide = ChartDib(8, false, -256, false, f.tooWide, 1);
        ASSERT_NE(wide, nullptr);
        EXPECT_NE(out.Save(wide, dir / (std::string("wide.") + f.ext)), 0) << f.name;
        EXPECT_TRUE(dir.Entries().empty()) << f.name;
        DeleteObject(wide);
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
