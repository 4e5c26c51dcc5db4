// What every bundled format must do, through the plug-ins of the build tree: judge files by
// content, give back what it stored at every depth, refuse paths that
// name no picture, serve two threads at once, keep its settings for the session and fail an
// output cleanly; and what TIFF's compressions and GIF's
// colour reduction store. Formats whose plug-ins are not built are skipped.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <QPainter>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

struct Format {
    const char *name;  // plug-in name
    const char *ext;   // sample file extension
    bool lossy;        // JPEG, WebP, JPEG XL (lossy by default) and GIF (reduced to 256 colours)
    bool keepsResolution;
    int qtTolerance;  // how far Qt's reading of our file may be from ours; -1: not compared
    int32_t tooWide;  // the narrowest picture the format cannot hold; 0: none in reach
    const char *input = nullptr;  // the input plug-in, where one reads several outputs' formats
    bool written = true;          // false: read only, no output plug-in (RAW, SVG, PDF)
    std::string In() const { return input != nullptr ? input : name; }
    friend void PrintTo(const Format &c, std::ostream *os) { *os << c.name; }
};

// Qt widens BMP's 5-bit channels by shifting (31 -> 248), not by scaling; Qt's TIFF and WebP
// readers are not always installed, and it has none for JPEG XL.
const Format kFormats[] = {{"bmp", "bmp", false, true, 7, 0},
                           {"png", "png", false, true, 0, 0},
                           {"gif", "gif", true, false, 0, 65536},
                           {"jpeg", "jpg", true, true, 3, 65501},
                           {"tiff", "tif", false, true, -1, 0},
                           {"webp", "webp", true, false, -1, 16384},
                           {"heif-heic", "heic", true, false, -1, 0, "heif"},
                           {"heif-avif", "avif", true, false, -1, 0, "heif"},
                           {"jxl", "jxl", true, false, -1, 0},
                           {"ico", "ico", false, false, -1, 0},
                           {"cur", "cur", false, false, -1, 0, "ico"},
                           {"pnm", "ppm", false, false, -1, 0},
                           {"tga", "tga", false, false, -1, 65536},
                           {"jp2", "jp2", false, false, -1, 0},
                           {"raw", "dng", false, false, -1, 0, nullptr, false},
                           {"svg", "svg", false, false, -1, 0, nullptr, false},
                           {"pdf", "pdf", false, false, -1, 0, nullptr, false},
                           {"exr", "exr", false, false, -1, 0},
                           {"hdr", "hdr", true, false, -1, 0}};

const Format &Named(const std::string &name) {
    return *std::find_if(std::begin(kFormats), std::end(kFormats),
                         [&](const Format &f) { return f.name == name; });
}

// "heif_heic" for "heif-heic": test names take no dashes.
std::string TestName(const Format &f) {
    std::string name = f.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

std::filesystem::path Chart(const Format &f) { return SampleFile(std::string("chart.") + f.ext); }

// Stores `picture` as `file`, which `back` then takes as its own and reads: the same size, and
// the same pixels (within a mean of 6 where the format loses).
void ExpectStoredAndReadBack(HBITMAP picture, const CodecPlugin &out, const CodecPlugin &back,
                             const std::filesystem::path &file, bool lossy) {
    ASSERT_EQ(out.Save(picture, file), 0) << out.LastFailureText().toStdString();
    ASSERT_NE(back.IsSupported(file), 0);
    const OwnedDib again = back.Decode(file);
    ASSERT_NE(again, nullptr);
    const QImage a = DibToImage(picture), b = DibToImage(again);
    ASSERT_EQ(a.size(), b.size());
    if (lossy) EXPECT_LT(MeanDifference(a, b), 6.0);
    else EXPECT_EQ(MaxDifference(a, b), 0);
}

// Every file of tests/data and samples/ is claimed by no input plug-in but its own format's (by
// its extension), also under a TGA name, as TGA judges by a consistent header and the name.
// Under a neutral name each sample is claimed by its own input only: files are judged by
// content, not by name. (What each input gives, every output stores: the round trips of every
// depth below, and each format's own sample read and stored again under EachFormat.)
TEST(Claims, EachFileByItsOwnInputOnly) {
    const std::map<std::string, std::string> owners = {
        {".bmp", "bmp"},   {".png", "png"},   {".gif", "gif"},   {".jpg", "jpeg"}, {".tif", "tiff"},
        {".webp", "webp"}, {".heic", "heif"}, {".avif", "heif"}, {".jxl", "jxl"},  {".ico", "ico"},
        {".cur", "ico"},   {".ppm", "pnm"},   {".pgm", "pnm"},   {".pbm", "pnm"},  {".pam", "pnm"},
        {".pnm", "pnm"},   {".tga", "tga"},   {".jp2", "jp2"},   {".j2k", "jp2"},  {".dng", "raw"},
        {".svg", "svg"},   {".svgz", "svg"},  {".pdf", "pdf"},   {".exr", "exr"},  {".hdr", "hdr"}};
    std::set<std::string> inputs;
    for (const Format &f : kFormats) inputs.insert(f.In());
    TempDir dir;
    int tried = 0;
    for (const std::filesystem::path &root : {DataDir(), SampleFile("")})
        for (const auto &e : std::filesystem::recursive_directory_iterator(root)) {
            const auto owner = owners.find(e.path().extension().string());
            if (!e.is_regular_file() || owner == owners.end()) continue;
            const std::filesystem::path neutral = dir / std::to_string(++tried),
                                        tga = neutral.string() + ".tga";
            std::filesystem::create_symlink(e.path(), neutral);
            std::filesystem::create_symlink(e.path(), tga);
            for (const std::string &input : inputs) {
                const CodecPlugin &in = Loaded(input, "input");
                if (!in.loaded() || input == owner->second) continue;
                for (const auto &name : {e.path(), neutral, tga})
                    EXPECT_EQ(in.IsSupported(name), 0)
                        << input << ": " << e.path() << " as " << name;
            }
            const CodecPlugin &own = Loaded(owner->second, "input");
            EXPECT_TRUE(root == DataDir() || !own.loaded() || own.IsSupported(neutral) != 0)
                << e.path();
        }
    EXPECT_GT(tried, 500);
}

// ---- Round trips of every depth ---------------------------------------------------------

// The picture put on white and made opaque, as a format without alpha stores it.
QImage OnWhite(const QImage &image) {
    QImage out(image.size(), QImage::Format_RGB32);
    out.fill(Qt::white);
    QPainter(&out).drawImage(0, 0, image);
    return out;
}

struct RoundTripCase {
    int bits;
    int palette;  // see TestPalette
    bool topDown, alpha;
    int loadedBits;               // the depth the input plug-in gives back
    double meanTolerance;         // 0: the picture comes back exactly
    bool indexPastTable = false;  // one pixel names an entry past a short table
    const uint32_t *masks = nullptr;
};

// Saves the chart of the case's layout as `file`, loads it back and checks the size, the depth,
// the progress both ways, the resolution (when kept), the palette and the rows byte for byte
// when the depth is kept exactly, the picture (exactly, or on white within the tolerance with
// the alpha exact) and Qt's reading of the file.
void ExpectRoundTrip(const CodecPlugin &out, const CodecPlugin &in, const RoundTripCase &c,
                     const Format &f, const std::filesystem::path &file) {
    const OwnedDib source = ChartDib(c.bits, c.topDown, c.palette, c.alpha, 61, 43, c.masks);
    ASSERT_NE(source, nullptr);
    DIBSECTION ds;
    if (c.indexPastTable && GetObjectW(source, sizeof ds, &ds))
        static_cast<uint8_t *>(ds.dsBm.bmBits)[3] = uint8_t(c.palette + 3);
    ASSERT_EQ(out.Save(source, file), 0);
    EXPECT_GT(CodecPlugin::LastProgress().total, 0);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    int32_t w = 0, h = 0;
    EXPECT_EQ(in.PictureSize(file, &w, &h), 0);
    EXPECT_EQ(std::pair(w, h), std::pair(61, 43));
    const OwnedDib loaded = in.Decode(file);
    ASSERT_NE(loaded, nullptr);
    EXPECT_TRUE(CodecPlugin::LastProgress().monotonic);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    const DibView a = ViewDib(source), b = ViewDib(loaded);
    EXPECT_EQ(b.bitCount, c.loadedBits);
    if (f.keepsResolution) {
        EXPECT_EQ(std::pair(b.xPelsPerMeter, b.yPelsPerMeter), std::pair(3937, 2835));
    }
    if (a.bitCount == b.bitCount && c.meanTolerance == 0) {
        EXPECT_GE(b.palette.size(), a.palette.size());
        for (size_t i = 0; i < std::min(a.palette.size(), b.palette.size()); ++i)
            EXPECT_EQ(std::memcmp(&a.palette[i], &b.palette[i], 3), 0) << "entry " << i;
        EXPECT_EQ(b.rows, a.rows);
    }
    const QImage expected = DibToImage(source), have = DibToImage(loaded);
    std::string where;
    if (c.meanTolerance == 0) {
        EXPECT_EQ(MaxDifference(have, expected, &where), 0) << where;
    } else {
        EXPECT_LE(MeanDifference(OnWhite(have), OnWhite(expected)), c.meanTolerance);
    }
    for (int y = 0; c.loadedBits == 32 && y < 43; ++y)
        for (int x = 0; x < 61; ++x)
            ASSERT_EQ(qAlpha(have.pixel(x, y)), qAlpha(expected.pixel(x, y))) << x << "," << y;
    if (f.qtTolerance >= 0) {
        EXPECT_LE(MaxDifference(QImage(Q(file)), have, &where), f.qtTolerance) << "Qt: " << where;
    }
}

struct RoundTrip {
    const char *name;  // "<format>_<case>"
    RoundTripCase c;
    friend void PrintTo(const RoundTrip &r, std::ostream *os) { *os << r.name; }
};

class RoundTrips : public KeepsSettings, public ::testing::WithParamInterface<RoundTrip> {};

// Lossy formats' loss on the chart (colour palettes changing every few pixels lose most) stays
// below the cases' means; a picture upside down, mirrored or off by a channel goes far above.
TEST_P(RoundTrips, GiveBackWhatWasStored) {
    const std::string name = GetParam().name, format = name.substr(0, name.find('_'));
    const CodecPlugin &out = Loaded(format, "output"), &in = Loaded(format, "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    if (format == "webp") {
        Keep(out);
        ASSERT_EQ(AnswerSettings(
                      out, {{"Lossless", GetParam().c.meanTolerance == 0}, {"Quality", 90}}, true),
                  0);
    }
    TempDir dir;
    ExpectRoundTrip(out, in, GetParam().c, Named(format),
                    dir / (std::string("round.") + Named(format).ext));
}

constexpr uint32_t k565[3] = {0xF800, 0x07E0, 0x001F};

INSTANTIATE_TEST_SUITE_P(
    Depths, RoundTrips,
    ::testing::Values(
        RoundTrip{"bmp_OneBit", {1, 2, false, false, 1, 0}},
        RoundTrip{"bmp_FourBit", {4, 16, false, false, 4, 0}},
        RoundTrip{"bmp_FourBitShortPaletteTopDown", {4, 5, true, false, 4, 0}},
        RoundTrip{"bmp_EightBit", {8, 256, false, false, 8, 0}},
        RoundTrip{"bmp_EightBitShortPaletteTopDown", {8, 200, true, false, 8, 0}},
        RoundTrip{"bmp_Sixteen555", {16, 0, false, false, 16, 0}},
        RoundTrip{"bmp_Sixteen565TopDown", {16, 0, true, false, 16, 0, false, k565}},
        RoundTrip{"bmp_TwentyFour", {24, 0, false, false, 24, 0}},
        RoundTrip{"bmp_ThirtyTwoOpaque", {32, 0, false, false, 32, 0}},
        RoundTrip{"bmp_ThirtyTwoAlphaTopDown", {32, 0, true, true, 32, 0}},
        RoundTrip{"png_OneBit", {1, 2, false, false, 1, 0}},
        RoundTrip{"png_FourBitTopDown", {4, 16, true, false, 4, 0}},
        RoundTrip{"png_FourBitThreeColours", {4, 3, false, false, 4, 0}},
        RoundTrip{"png_EightBitPalette", {8, 256, false, false, 8, 0}},
        RoundTrip{"png_EightBitGreyRampTopDown", {8, -256, true, false, 8, 0}},
        RoundTrip{"png_Sixteen", {16, 0, false, false, 24, 0}},
        RoundTrip{"png_TwentyFour", {24, 0, false, false, 24, 0}},
        RoundTrip{"png_ThirtyTwoOpaque", {32, 0, false, false, 24, 0}},
        RoundTrip{"png_ThirtyTwoAlphaTopDown", {32, 0, true, true, 32, 0}},
        // A short colour table is padded so that every index in the rows names an entry.
        RoundTrip{"png_EightBitIndicesPastATwoEntryTable", {8, 2, false, false, 8, 0, true}},
        // GIF keeps no resolution; its table is padded to a power of two.
        RoundTrip{"gif_OneBit", {1, 2, false, false, 1, 0}},
        RoundTrip{"gif_FourBitTopDown", {4, 16, true, false, 4, 0}},
        RoundTrip{"gif_FourBitThreeColours", {4, 3, false, false, 4, 0}},
        RoundTrip{"gif_EightBit", {8, 256, false, false, 8, 0}},
        RoundTrip{"gif_EightBitSixteenColours", {8, 16, false, false, 4, 0}},
        RoundTrip{"tiff_Palette1", {1, 2, false, false, 1, 0}},
        RoundTrip{"tiff_Palette4TopDown", {4, 16, true, false, 4, 0}},
        RoundTrip{"tiff_ShortTable4", {4, 15, false, false, 4, 0}},
        RoundTrip{"tiff_BilevelGreyTopDown", {1, -2, true, false, 1, 0}},
        RoundTrip{"tiff_GreyRamp8", {8, -256, false, false, 8, 0}},
        RoundTrip{"tiff_Palette8TopDown", {8, 256, true, false, 8, 0}},
        RoundTrip{"tiff_Rgb16", {16, 0, false, false, 24, 0}},
        RoundTrip{"tiff_Rgb24BottomUp", {24, 0, false, false, 24, 0}},
        RoundTrip{"tiff_Rgbx32AlphaAllZero", {32, 0, false, false, 24, 0}},
        RoundTrip{"tiff_Rgba32TopDown", {32, 0, true, true, 32, 0}},
        // Encoders that read every depth as the kit gives it (BGRA rows, top first) try the
        // depths whose handling is their own: grey ramps, and what has alpha.
        RoundTrip{"jpeg_Grey1", {1, -2, false, false, 8, 4.0}},
        RoundTrip{"jpeg_Grey4", {4, -16, true, false, 8, 4.0}},
        RoundTrip{"jpeg_Grey8", {8, -256, false, false, 8, 4.0}},
        RoundTrip{"jpeg_Colour8", {8, 256, true, false, 24, 22.0}},
        RoundTrip{"jpeg_Rgb24BottomUp", {24, 0, false, false, 24, 8.0}},
        RoundTrip{"jpeg_Rgbx32AlphaAllZero", {32, 0, false, false, 24, 8.0}},
        RoundTrip{"jpeg_Rgba32OnWhite", {32, 0, true, true, 24, 8.0}},
        RoundTrip{"webp_Palette1Lossless", {1, 2, false, false, 24, 0}},
        RoundTrip{"webp_Palette4Lossless", {4, 16, true, false, 24, 0}},
        RoundTrip{"webp_Palette8Lossless", {8, 256, false, false, 24, 0}},
        RoundTrip{"webp_Rgb16Lossless", {16, 0, false, false, 24, 0}},
        RoundTrip{"webp_Rgb24BottomUpLossless", {24, 0, false, false, 24, 0}},
        RoundTrip{"webp_Rgb24TopDownLossless",
                  {24, 0, true, false, 24, 0}},  // rows walked in memory order
        RoundTrip{"webp_Rgbx32AlphaAllZeroLossless", {32, 0, false, false, 24, 0}},
        RoundTrip{"webp_Rgba32Lossless", {32, 0, true, true, 32, 0}},
        RoundTrip{"webp_Rgb24BottomUpLossy", {24, 0, false, false, 24, 12.0}},
        RoundTrip{"webp_Rgba32LossyAlphaExact", {32, 0, false, true, 32, 12.0}},
        // Icons hold every picture at 32 bits, in its own size when not square.
        RoundTrip{"ico_Palette4", {4, 16, false, false, 32, 0}},
        RoundTrip{"ico_Rgb16TopDown", {16, 0, true, false, 32, 0}},
        RoundTrip{"ico_Rgba32", {32, 0, false, true, 32, 0}},
        // PNM and TGA: black and white stays 1 bit, grey ramps 8-bit grey, alpha 32 bits.
        RoundTrip{"pnm_BlackAndWhite", {1, -2, false, false, 1, 0}},
        RoundTrip{"pnm_GreyRamp8TopDown", {8, -256, true, false, 8, 0}},
        RoundTrip{"pnm_Palette4", {4, 16, false, false, 24, 0}},
        RoundTrip{"pnm_Rgb16", {16, 0, false, false, 24, 0}},
        RoundTrip{"pnm_Rgba32TopDown", {32, 0, true, true, 32, 0}},
        RoundTrip{"tga_GreyRamp8", {8, -256, false, false, 8, 0}},
        RoundTrip{"tga_Palette8TopDown", {8, 256, true, false, 24, 0}},
        RoundTrip{"tga_Rgbx32AlphaAllZero", {32, 0, false, false, 24, 0}},
        RoundTrip{"tga_Rgba32", {32, 0, false, true, 32, 0}},
        RoundTrip{"jp2_GreyRamp8", {8, -256, false, false, 8, 0}},
        RoundTrip{"jp2_Palette4TopDown", {4, 16, true, false, 24, 0}},
        RoundTrip{"jp2_Rgb16", {16, 0, false, false, 24, 0}},
        RoundTrip{"jp2_Rgba32", {32, 0, true, true, 32, 0}},
        RoundTrip{"exr_Palette4", {4, 16, false, false, 24, 0}},
        RoundTrip{"exr_GreyRamp8TopDown", {8, -256, true, false, 8, 0}},
        RoundTrip{"exr_Rgb24", {24, 0, false, false, 24, 0}},
        RoundTrip{"exr_Rgba32Premultiplied", {32, 0, false, true, 32, 0.5}},
        RoundTrip{"hdr_Rgb24", {24, 0, false, false, 24, 2.0}},
        RoundTrip{"hdr_Rgba32OnWhite", {32, 0, true, true, 24, 2.0}}),
    kCaseName);

// ---- Settings dialogs ----------------------------------------------------------------------

struct SettingsCase {
    const char *name;                                          // the format
    std::vector<std::pair<const char *, int>> usual, smaller;  // the second gives smaller files
    friend void PrintTo(const SettingsCase &c, std::ostream *os) { *os << c.name; }
};

class Settings : public KeepsSettings, public ::testing::WithParamInterface<SettingsCase> {};

// Confirmed, a choice holds for the session; cancelled, the old one stays; asked from a thread
// other than the application's, no dialog is shown. Two saves with the same choice are alike.
TEST_P(Settings, HoldForTheSessionUntilConfirmedOtherwise) {
    const SettingsCase &c = GetParam();
    const CodecPlugin &out = Loaded(c.name, "output");
    FALTRIX_SKIP_UNLESS_LOADED(&out);
    Keep(out);
    const std::string ext = std::string(".") + Named(c.name).ext;
    const OwnedDib source = ChartDib(24, false, 0, false, 200, 150);
    TempDir dir;
    App();
    QWidget parent;
    EXPECT_EQ(AnswerSettings(out, c.usual, true, reinterpret_cast<HWND>(&parent)), 0);
    ASSERT_EQ(out.Save(source, dir / ("usual" + ext)), 0);
    EXPECT_NE(AnswerSettings(out, c.smaller, false), 0);
    const auto dialog = reinterpret_cast<ConfigurationDlgFn>(out.Symbol("ConfigurationDlg"));
    int32_t fromThread = 0;
    std::thread([&] { fromThread = dialog(nullptr, 0); }).join();
    EXPECT_NE(fromThread, 0);
    ASSERT_EQ(out.Save(source, dir / ("cancelled" + ext)), 0);
    EXPECT_EQ(AnswerSettings(out, c.smaller, true), 0);
    ASSERT_EQ(out.Save(source, dir / ("smaller" + ext)), 0);
    EXPECT_EQ(ReadFile(dir / ("cancelled" + ext)), ReadFile(dir / ("usual" + ext)));
    EXPECT_LT(ReadFile(dir / ("smaller" + ext)).size(), ReadFile(dir / ("usual" + ext)).size());
}

const char *const kLevel = "Compression level (0 fastest, 9 smallest)";
const char *const kJp2Quality = "Quality (100 lossless)";
using Answers = std::vector<std::pair<const char *, int>>;

INSTANTIATE_TEST_SUITE_P(
    Dialogs, Settings,
    ::testing::Values(
        SettingsCase{"png", Answers{{kLevel, 0}}, Answers{{kLevel, 9}}},
        SettingsCase{"jpeg", Answers{{"Quality", 90}}, Answers{{"Quality", 20}}},
        SettingsCase{"webp", Answers{{"Lossless", 0}, {"Quality", 90}},
                     Answers{{"Lossless", 0}, {"Quality", 10}}},
        SettingsCase{"tiff", Answers{{"Compression", 0}}, Answers{{"Compression", 1}}},
        SettingsCase{"jxl", Answers{{"Quality", 90}}, Answers{{"Quality", 50}}},
        SettingsCase{"pnm", Answers{{"Format", 1}}, Answers{{"Format", 0}}},
        SettingsCase{"tga", Answers{{"Run-length encoding", 0}},
                     Answers{{"Run-length encoding", 1}}},
        SettingsCase{"jp2", Answers{{kJp2Quality, 100}}, Answers{{kJp2Quality, 40}}},
        SettingsCase{"exr", Answers{{"Compression", 0}}, Answers{{"Compression", 3}}}),
    kCaseName);

// Every compression the TIFF dialog offers is what the file says, and gives back exactly a
// colour picture.
class TiffSettings : public KeepsSettings {};

TEST_F(TiffSettings, EveryCompressionOfTheDialogIsUsedAndReadsBackExactly) {
    const CodecPlugin &out = Loaded("tiff", "output"), &in = Loaded("tiff", "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in, &out);
    Keep(out);
    const uint16_t schemes[] = {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE,
                                COMPRESSION_PACKBITS};
    TempDir dir;
    for (int choice = 0; choice < 4; ++choice) {
        ASSERT_EQ(AnswerSettings(out, {{"Compression", choice}}, true), 0);
        ExpectRoundTrip(out, in, {24, 0, false, false, 24, 0}, Named("tiff"), dir / "c.tif");
        TIFF *tif = TIFFOpen((dir / "c.tif").c_str(), "r");
        ASSERT_NE(tif, nullptr);
        uint16_t scheme = 0;
        TIFFGetField(tif, TIFFTAG_COMPRESSION, &scheme);
        TIFFClose(tif);
        EXPECT_EQ(scheme, schemes[choice]) << choice;
    }
}

// ---- PNG: pictures of several parts at every level --------------------------------------------

struct PngLevelCase {
    const char *name;
    const char16_t *level;  // the option's value
    int bits;               // 8: palette, 24, 32 with alpha
    int kind;  // 0 the chart; 1 noise, incompressible: libdeflate stores its blocks as they are;
               // 2 bands of grain (a photo's noise) and of text, parts of both kinds
    friend void PrintTo(const PngLevelCase &c, std::ostream *os) { *os << c.name; }
};

// The picture of a case of kind 1 or 2.
QImage PngParts(int kind, bool alpha) {
    QImage picture(1000, kind == 1 ? 800 : 1100, QImage::Format_ARGB32);
    const auto hash = [](uint32_t n) { return (n * 2654435761u) >> 16; };
    for (uint32_t y = 0, v = 7; y < uint32_t(picture.height()); ++y)
        for (uint32_t x = 0; x < 1000; ++x, v = v * 1664525 + 1013904223) {
            // Grain: small noise on gradients, in runs of 3 pixels as a lens blurs it. Text:
            // lines of glyphs of 5 x 8 dots in cells of 6 x 10 out of 20.
            const int grain = int(hash(x / 3 + 1000 * y) & 3);
            const uint32_t glyph = hash(x / 6 + 1000 * (y / 10)) % 20;
            const bool dot = x % 6 < 5 && y % 10 < 8 && (hash(glyph * 64 + x % 6 * 8 + y % 10) & 1);
            const QRgb text = dot && y % 20 < 10 ? qRgb(20, 20, 40) : qRgb(250, 250, 245);
            picture.setPixel(int(x), int(y),
                             kind == 1 ? (alpha ? v : v | 0xFF000000)
                             : y >= 370 && y < 740
                                 ? text
                                 : qRgb(int(x / 4) + grain, int(y / 5) + grain, 100 + grain));
        }
    return picture;
}

class PngLevels : public ::testing::TestWithParam<PngLevelCase> {};

// The writer compresses 1 MiB of rows at a time, on several threads, and joins the parts into
// one stream: pictures of three parts come back exactly through libpng and Qt at every
// level. At the default level each part keeps the smallest of several streams, and a flat
// part is also tried unfiltered. The option takes the dialog's levels only.
TEST_P(PngLevels, PicturesOfSeveralPartsComeBackExactly) {
    const PngLevelCase &c = GetParam();
    const CodecPlugin &out = Loaded("png", "output"), &in = Loaded("png", "input");
    const auto option = reinterpret_cast<SetPluginOptionFn>(out.Symbol("SetPluginOption"));
    ASSERT_NE(option, nullptr);
    EXPECT_NE(option(u"compression", u"10"), 0);
    EXPECT_NE(option(u"quality", c.level), 0);
    ASSERT_EQ(option(u"compression", c.level), 0);
    const QImage picture =
        c.kind ? PngParts(c.kind, c.bits == 32) : TestChart(1000, 800, c.bits == 32);
    const OwnedDib source =
        c.bits == 8 ? ChartDib(8, true, 256, false, 2400, 1000) : ImageToDib(picture, c.bits, true);
    TempDir dir;
    ASSERT_EQ(out.Save(source, dir / "parts.png"), 0);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    const OwnedDib loaded = in.Decode(dir / "parts.png");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(ViewDib(loaded).rows, ViewDib(source).rows);
    std::string where;
    EXPECT_EQ(MaxDifference(QImage(Q(dir / "parts.png")), DibToImage(source), &where), 0)
        << "Qt: " << where;
    ASSERT_EQ(option(u"compression", u"4"), 0);  // the default, for the tests after
}

INSTANTIATE_TEST_SUITE_P(
    Levels, PngLevels,
    ::testing::Values(
        PngLevelCase{"StoredRgb", u"0", 24, 0}, PngLevelCase{"FastestRgb", u"1", 24, 0},
        PngLevelCase{"Level2Rgb", u"2", 24, 0}, PngLevelCase{"Level3Rgb", u"3", 24, 0},
        PngLevelCase{"DefaultRgba", u"4", 32, 0}, PngLevelCase{"Level5Palette", u"5", 8, 0},
        PngLevelCase{"Level6Rgb", u"6", 24, 0}, PngLevelCase{"Level7Rgb", u"7", 24, 0},
        PngLevelCase{"Level8Rgba", u"8", 32, 0}, PngLevelCase{"SmallestRgb", u"9", 24, 0},
        PngLevelCase{"FastestNoiseRgba", u"1", 32, 1}, PngLevelCase{"Level6NoiseRgb", u"6", 24, 1},
        PngLevelCase{"DefaultGrainAndText", u"4", 24, 2}),
    kCaseName);

// ---- GIF: more than 256 colours, and alpha ---------------------------------------------------

// Stores the section (deleting it) as GIF and reads the file back: its depth and picture.
std::pair<int, QImage> ThroughGif(HBITMAP source, const std::filesystem::path &file) {
    const OwnedDib stored = source, back = Loaded("gif", "output").Save(source, file) == 0
                                               ? Loaded("gif", "input").Decode(file)
                                               : nullptr;
    return {ViewDib(back).bitCount, DibToImage(back)};
}

// Up to 256 colours come through exactly, as an 8-bit picture (no transparent index is spent
// on an opaque one, though it has alpha bytes); more are reduced close to the original, pure
// colours exactly. Transparent pixels stay transparent, half transparent ones go on white. (The
// plug-in sees every depth as the kit reads it, in rows of BGRA.)
TEST(GifTrueColour, FewColoursKeptManyReducedCloselyTransparencyKept) {
    FALTRIX_SKIP_UNLESS_LOADED(&Loaded("gif", "output"));
    TempDir dir;
    QImage few(64, 40, QImage::Format_ARGB32);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x)
            few.setPixel(x, y, qRgb((x / 4) * 16, (y / 5) * 30, 77));  // 128 colours
    std::string where;
    auto [bits, have] = ThroughGif(ImageToDib(few, 32, true), dir / "few.gif");
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(MaxDifference(have, few, &where), 0) << where;
    const QImage chart = TestChart(160, 120);
    have = ThroughGif(ImageToDib(chart, 24), dir / "many.gif").second;
    EXPECT_LT(MeanDifference(have, chart), 4.0);
    EXPECT_LE(MaxDifference(have, chart), 40);
    EXPECT_EQ(have.pixel(10, 60), chart.pixel(10, 60));  // a black or white line
    EXPECT_EQ(have.pixel(5, 110), chart.pixel(5, 110));  // a colour block
    std::tie(bits, have) =
        ThroughGif(ImageToDib(TestChart(80, 60, true), 32, true), dir / "alpha.gif");
    EXPECT_EQ(bits, 32);
    EXPECT_EQ(qAlpha(have.pixel(79, 30)), 0);            // fully transparent band
    EXPECT_EQ(have.pixel(65, 31), qRgb(255, 255, 255));  // half transparent white: white, opaque
    EXPECT_EQ(have.pixel(65, 30), qRgb(127, 127, 127));  // half transparent black: grey on white
    EXPECT_EQ(qAlpha(have.pixel(10, 30)), 255);
    EXPECT_EQ(MaxDifference(have, QImage(Q(dir / "alpha.gif"))), 0);
}

// ---- Every format alike ----------------------------------------------------------------------

class EachFormat : public ::testing::TestWithParam<Format> {};

// A folder, a missing file and an empty path name no picture; null arguments are refused, and
// so is a path with a lone surrogate, which must not be taken for the file whose name has a
// replacement character in its place.
TEST_P(EachFormat, PathsThatNameNoPictureAndNullArgumentsAreRefused) {
    const CodecPlugin &in = Loaded(GetParam().In(), "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    TempDir dir;
    for (const auto &path : {dir / ".", dir / "missing", std::filesystem::path()}) {
        int32_t w, h;
        EXPECT_EQ(in.IsSupported(path), 0) << path;
        EXPECT_NE(in.PictureSize(path, &w, &h), 0) << path;
        EXPECT_EQ(in.Decode(path), nullptr) << path;
    }
    const std::u16string chart = Q(Chart(GetParam())).toStdU16String();
    const auto isSupported = reinterpret_cast<IsSupportedFn>(in.Symbol("IsSupported"));
    EXPECT_EQ(isSupported(nullptr, 0, 0), 0);
    EXPECT_NE(reinterpret_cast<GetPictureInfoFn>(in.Symbol("GetPictureInfo"))(chart.c_str(), 0, 0,
                                                                              nullptr),
              0);
    std::filesystem::copy_file(Chart(GetParam()), dir / "a\uFFFD");
    EXPECT_EQ(isSupported((U16(dir / "a") + char16_t(0xD800)).c_str(), 0, 0), 0);
    // U+DC41 would be the escape of 'A', which is never escaped: "aA" is not its file.
    std::filesystem::copy_file(Chart(GetParam()), dir / "aA");
    EXPECT_EQ(isSupported((U16(dir / "a") + char16_t(0xDC41)).c_str(), 0, 0), 0);
}

// Names whose bytes are not UTF-8 (a Latin-1 letter, an encoded surrogate, a byte that starts
// no UTF-8) and hold control characters are read and written by every plug-in, through the
// escapes U+DC80..U+DCFF, in a folder of such a name too; the files are the ones named, not
// others whose names have U+FFFD in those places.
TEST_P(EachFormat, NamesThatAreNotUtf8AreReadAndWritten) {
    const Format &f = GetParam();
    const CodecPlugin &in = Loaded(f.In(), "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    TempDir dir;
    const std::string folder = "dossier\xE8\x1B";
    std::filesystem::create_directory(dir / folder);
    const auto source = dir / (folder + "/caf\xE9\x01." + f.ext);
    const auto target = dir / (folder + "/sortie\xFF\xED\xA0\x80\n." + f.ext);
    std::filesystem::copy_file(Chart(f), source);
    ASSERT_NE(U16(source).find(char16_t(0xDCE9)),
              std::u16string::npos);  // the escapes are what is tested

    ASSERT_NE(in.IsSupported(source), 0);
    int32_t w = 0, h = 0;
    ASSERT_EQ(in.PictureSize(source, &w, &h), 0);
    EXPECT_EQ(std::pair(w, h), std::pair(160, 120));
    const OwnedDib picture = in.Decode(source);
    ASSERT_NE(picture, nullptr);
    if (!f.written) return;  // read only: the name was read
    const CodecPlugin &out = Loaded(f.name, "output");
    FALTRIX_SKIP_UNLESS_LOADED(&out);
    ExpectStoredAndReadBack(picture, out, in, target, f.lossy);
    // Exactly the two files, under the bytes given.
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir / folder))
        names.push_back(entry.path().filename().native());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{source.filename().native(), target.filename().native()}));
}

// The dialog's thread asks for the size while a job decodes: both get what they would get
// alone. (The output plug-in is a library of its own, with a kit of its own.)
TEST_P(EachFormat, SizeQueriesFromASecondThreadDuringADecodeAgree) {
    const Format &f = GetParam();
    CodecPlugin in(f.In(), "input");
    FALTRIX_SKIP_UNLESS_LOADED(&in);
    const QImage expected = DibToImage(OwnedDib(in.Decode(Chart(f))));
    ASSERT_FALSE(expected.isNull());
    std::atomic<bool> done{false};
    std::atomic<int> badSizes{0};
    std::thread dialog([&] {  // asks at least once, and on until the job is over
        do {
            int32_t w = 0, h = 0;
            if (in.PictureSize(Chart(f), &w, &h) != 0 || w != 160 || h != 120) ++badSizes;
        } while (!done.load());
    });
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(MaxDifference(DibToImage(OwnedDib(in.Decode(Chart(f)))), expected), 0);
    done = true;
    dialog.join();
    EXPECT_EQ(badSizes.load(), 0);
}

// A full disk (a file-size limit), a missing folder, a DC without a picture and a picture wider
// than the format's size fields hold all answer failure, the first two with the system's words
// as the cause, whichever codec library wrote the bytes. (The file at the path is the host's
// temporary, which the host removes after a failure.)
TEST_P(EachFormat, OutputFailureGivesItsCause) {
    const Format &f = GetParam();
    if (!f.written) GTEST_SKIP() << f.name << " is read only";
    CodecPlugin out(f.name, "output");
    FALTRIX_SKIP_UNLESS_LOADED(&out);
    TempDir dir;
    const std::string name = std::string("previous.") + f.ext;
    const OwnedDib chart = ImageToDib(TestChart(400, 300), 24);
    int32_t result = 0;
    UnderFileSizeLimit(512, [&] { result = out.Save(chart, dir / name); });
    EXPECT_NE(result, 0);
    EXPECT_EQ(out.LastFailureText(), QStringLiteral("File too large"));
    EXPECT_NE(out.Save(chart, dir / "missing" / name), 0);
    EXPECT_EQ(out.LastFailureText(), QStringLiteral("No such file or directory"));
    EXPECT_NE(out.Save(nullptr, dir / (std::string("empty.") + f.ext)), 0);
    if (f.tooWide > 0) {
        const OwnedDib wide = ChartDib(8, false, -256, false, f.tooWide, 1);
        EXPECT_NE(out.Save(wide, dir / (std::string("wide.") + f.ext)), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, EachFormat, ::testing::ValuesIn(kFormats),
                         [](const auto &info) { return TestName(info.param); });

}  // namespace
}  // namespace faltrix
