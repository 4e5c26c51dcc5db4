// The PNG plug-ins, loaded from the build tree: the PNG suite against Qt's reader, round trips
// of every depth, the compression level dialog, hostile files and output failures.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QImage>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <sys/resource.h>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

const CodecPlugin &In() {
    static CodecPlugin p("png", "input");
    return p;
}
const CodecPlugin &Out() {
    static CodecPlugin p("png", "output");
    return p;
}

TEST(PngPluginInfo, TagsDescriptionAndPatternsAnswerTheirLength) {
    ASSERT_TRUE(In().loaded()) << In().error();
    ASSERT_TRUE(Out().loaded()) << Out().error();
    int32_t n;
    EXPECT_EQ(In().Info(0, 256, &n), u"00IN_EX");
    EXPECT_EQ(Out().Info(0, 256, &n), u"00OUT_EX");
    for (const CodecPlugin *p : {&In(), &Out()}) {
        const std::u16string description = p->Info(1, 256, &n);
        EXPECT_EQ(n, int32_t(description.size()));
        EXPECT_EQ(description.rfind(u"PNG (libpng 1.", 0), 0u) << QString::fromStdU16String(description).toStdString();
        EXPECT_EQ(p->Info(2, 1024, &n), u"*.png");
        EXPECT_EQ(n, 5);
        EXPECT_EQ(p->Info(4, 1024, &n), u"");
    }
}

// ---- The PNG suite -------------------------------------------------------------------------

// The depth the decoder should choose, from the file's header and whether it has tRNS.
int ExpectedDepth(const std::vector<uint8_t> &file) {
    const int bitDepth = file[24], colorType = file[25];
    const bool trns = std::search(file.begin(), file.end(), std::begin("tRNS"), std::end("tRNS") - 1) != file.end();
    if (trns || colorType == 4 || colorType == 6) return 32;
    if (colorType == 3) return bitDepth == 2 ? 4 : bitDepth;
    if (colorType == 0) return 8;
    return 24;
}

QImage LibpngReference(const fs::path &file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, file.c_str())) return {};
    image.format = PNG_FORMAT_LINEAR_RGB_ALPHA;
    std::vector<uint16_t> samples(PNG_IMAGE_SIZE(image) / 2);
    if (!png_image_finish_read(&image, nullptr, samples.data(), 0, nullptr)) return {};
    QImage out(int(image.width), int(image.height), QImage::Format_ARGB32);
    auto to8 = [](uint16_t v) { return (v * 255 + 32767) / 65535; };
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x) {
            const uint16_t *p = &samples[(size_t(y) * image.width + size_t(x)) * 4];
            // Linear output is premultiplied; a tRNS key gives only clear or opaque pixels.
            out.setPixel(x, y, qRgba(to8(p[0]), to8(p[1]), to8(p[2]), to8(p[3])));
        }
    return out;
}

class PngSuite : public ::testing::TestWithParam<std::string> {};

TEST_P(PngSuite, DecodesAsQtDoes) {
    const fs::path suite = SharedCorpus("pngsuite");
    if (suite.empty()) GTEST_SKIP() << "../shared/corpus/pngsuite is not there";
    const fs::path file = suite / GetParam();
    if (!fs::exists(file)) GTEST_SKIP() << GetParam() << " is not in the suite";
    const std::vector<uint8_t> bytes = ReadFile(file);
    ASSERT_NE(In().IsSupported(file), 0);
    int32_t w = 0, h = 0;
    ASSERT_EQ(In().PictureSize(file, &w, &h), 0);
    HBITMAP decoded = In().Decode(file);
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(CodecPlugin::LastProgress().monotonic);
    EXPECT_EQ(CodecPlugin::LastProgress().done, CodecPlugin::LastProgress().total);
    const DibView view = ViewDib(decoded);
    EXPECT_EQ(view.width, w);
    EXPECT_EQ(view.height, h);
    EXPECT_EQ(view.bitCount, ExpectedDepth(bytes));
    if (bytes[25] == 0 && view.bitCount == 8) {  // greys carry the grey ramp
        ASSERT_EQ(view.palette.size(), 256u);
        EXPECT_EQ(view.palette[128].rgbRed, 128);
        EXPECT_EQ(view.palette[128].rgbBlue, 128);
    }
    QImage qt = QImage(QString::fromStdString(file.string())).convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(qt.isNull());
    QImage have = DibToImage(decoded);
    if (bytes[24] == 16 && bytes[25] == 2 && view.bitCount == 32) {
        // Qt mis-reads 16-bit RGB with a tRNS key (opaque pixels come out white or clear).
        // libpng's own simplified reader stands in for it there, asked for 16-bit linear
        // samples so that no gamma is applied, and reduced to 8 bits here.
        EXPECT_EQ(qAlpha(have.pixel(0, 0)), 0);  // the key is the background, in the corners
        qt = LibpngReference(file);
    }
    std::string where;
    // 16-bit samples are reduced to 8 with rounding by both, possibly differently by one.
    EXPECT_LE(MaxDifference(have, qt, &where), 1) << where;
    DeleteObject(decoded);
}

std::vector<std::string> SuiteFiles() {
    std::vector<std::string> names;
    const fs::path suite = SharedCorpus("pngsuite");
    if (!suite.empty())
        for (const auto &e : fs::directory_iterator(suite))
            if (e.path().extension() == ".png") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    if (names.empty()) names.push_back("basn0g01.png");  // reported as skipped
    return names;
}

INSTANTIATE_TEST_SUITE_P(Files, PngSuite, ::testing::ValuesIn(SuiteFiles()), [](const auto &info) {
    std::string name = info.param.substr(0, info.param.find('.'));
    return name;
});

// ---- Round trips ---------------------------------------------------------------------------

struct DepthCase {
    const char *name;
    int bitCount;
    int paletteSize;  // 0: none; -1: the 256-entry grey ramp
    bool topDown;
    bool alpha;
    int loadedBits;
};

class PngRoundTrip : public ::testing::TestWithParam<DepthCase> {};

TEST_P(PngRoundTrip, SaveThenLoadKeepsPixelsPaletteAlphaAndResolution) {
    const DepthCase &c = GetParam();
    DibParams p;
    p.width = 45;
    p.height = 13;
    p.bitCount = c.bitCount;
    p.topDown = c.topDown;
    p.xPelsPerMeter = 3780;
    p.yPelsPerMeter = 2835;
    if (c.paletteSize == -1) {
        for (int i = 0; i < 256; ++i) p.palette.push_back(RGBQUAD{uint8_t(i), uint8_t(i), uint8_t(i), 0});
    } else {
        for (int i = 0; i < c.paletteSize; ++i)
            p.palette.push_back(RGBQUAD{uint8_t(i * 17), uint8_t(255 - i * 5), uint8_t(i * 101), 0});
    }
    uint8_t *bits;
    uint32_t stride;
    HBITMAP source = MakeDib(p, &bits, &stride);
    ASSERT_NE(source, nullptr);
    for (uint32_t i = 0; i < stride * uint32_t(p.height); ++i) bits[i] = uint8_t(i * 13 + i / 7);
    if (c.bitCount == 32)
        for (uint32_t i = 3; i < stride * uint32_t(p.height); i += 4) bits[i] = c.alpha ? uint8_t(i * 3) : 0;
    if (c.bitCount == 16)
        for (uint32_t i = 1; i < stride * uint32_t(p.height); i += 2) bits[i] &= 0x7F;
    if (c.bitCount == 4 && c.paletteSize > 0 && c.paletteSize < 16)  // indices inside the table
        for (uint32_t i = 0; i < stride * uint32_t(p.height); ++i) bits[i] &= 0x11;

    TempDir dir;
    const auto file = dir / "round.png";
    ASSERT_EQ(Out().Save(source, file), 0);
    EXPECT_EQ(CodecPlugin::LastProgress().done, p.height);
    HBITMAP loaded = In().Decode(file);
    ASSERT_NE(loaded, nullptr);
    const DibView a = ViewDib(source), b = ViewDib(loaded);
    EXPECT_EQ(b.bitCount, c.loadedBits);
    EXPECT_EQ(b.xPelsPerMeter, 3780);
    EXPECT_EQ(b.yPelsPerMeter, 2835);
    if (c.bitCount == c.loadedBits) {
        EXPECT_EQ(b.rows, a.rows);
        ASSERT_EQ(b.palette.size(), a.palette.size());
        for (size_t i = 0; i < a.palette.size(); ++i) EXPECT_EQ(std::memcmp(&a.palette[i], &b.palette[i], 3), 0) << i;
    }
    std::string where;
    EXPECT_EQ(MaxDifference(DibToImage(loaded), DibToImage(source), &where), 0) << where;
    // And Qt reads our file as the same picture.
    std::string qtWhere;
    EXPECT_EQ(MaxDifference(QImage(QString::fromStdString(file.string())).convertToFormat(QImage::Format_ARGB32),
                            DibToImage(source), &qtWhere), 0) << qtWhere;
    DeleteObject(loaded);
    DeleteObject(source);
}

INSTANTIATE_TEST_SUITE_P(
    Depths, PngRoundTrip,
    ::testing::Values(DepthCase{"OneBit", 1, 2, false, false, 1}, DepthCase{"FourBit", 4, 16, true, false, 4},
                      DepthCase{"FourBitThreeColours", 4, 3, false, false, 4},
                      DepthCase{"EightBitPalette", 8, 256, false, false, 8},
                      DepthCase{"EightBitGreyRamp", 8, -1, true, false, 8},
                      DepthCase{"Sixteen", 16, 0, false, false, 24}, DepthCase{"TwentyFour", 24, 0, false, false, 24},
                      DepthCase{"TwentyFourTopDown", 24, 0, true, false, 24},
                      DepthCase{"ThirtyTwoOpaque", 32, 0, false, false, 24},
                      DepthCase{"ThirtyTwoAlpha", 32, 0, true, true, 32}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PngRoundTripShortPalette, IndicesPastATwoEntryTableStillMakeAValidFile) {
    DibParams p;
    p.width = 8;
    p.height = 2;
    p.bitCount = 8;
    p.palette = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    uint8_t *bits;
    HBITMAP source = MakeDib(p, &bits);
    bits[3] = 5;  // names an entry the table does not have
    TempDir dir;
    ASSERT_EQ(Out().Save(source, dir / "short.png"), 0);
    HBITMAP loaded = In().Decode(dir / "short.png");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(ViewDib(loaded).rows, ViewDib(source).rows);
    DeleteObject(loaded);
    DeleteObject(source);
}

// ---- The compression level dialog ----------------------------------------------------------

QApplication *App() {
    static int argc = 1;
    static char name[] = "png_plugin_test";
    static char *argv[] = {name, nullptr};
    static QApplication *app = new QApplication(argc, argv);
    return app;
}

int32_t ChooseLevel(int level, bool confirm) {
    App();
    QTimer::singleShot(0, [=] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog) return;
        dialog->findChild<QSpinBox *>()->setValue(level);
        if (confirm) dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        else dialog->reject();
    });
    auto fn = reinterpret_cast<ConfigurationDlgFn>(Out().Symbol("ConfigurationDlg"));
    return fn ? fn(nullptr, 0) : -1;
}

TEST(PngCompressionLevel, ChosenLevelHoldsForTheSessionAndChangesTheOutput) {
    HBITMAP source = ImageToDib(TestChart(300, 200), 24);
    TempDir dir;
    EXPECT_EQ(ChooseLevel(0, true), 0);
    ASSERT_EQ(Out().Save(source, dir / "level0.png"), 0);
    EXPECT_NE(ChooseLevel(3, false), 0);  // cancelled: level 0 stays
    ASSERT_EQ(Out().Save(source, dir / "still0.png"), 0);
    EXPECT_EQ(ChooseLevel(9, true), 0);
    ASSERT_EQ(Out().Save(source, dir / "level9.png"), 0);
    EXPECT_EQ(ChooseLevel(6, true), 0);
    const auto size0 = fs::file_size(dir / "level0.png"), size9 = fs::file_size(dir / "level9.png");
    EXPECT_EQ(fs::file_size(dir / "still0.png"), size0);
    EXPECT_LT(size9, size0);
    for (const char *name : {"level0.png", "level9.png"}) {
        HBITMAP b = In().Decode(dir / name);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(ViewDib(b).rows, ViewDib(source).rows);
        DeleteObject(b);
    }
    DeleteObject(source);
}

// ---- Hostile files ---------------------------------------------------------------------------

void Put32(std::vector<uint8_t> &v, uint32_t x) {
    for (int i = 3; i >= 0; --i) v.push_back(uint8_t(x >> (8 * i)));
}

void Chunk(std::vector<uint8_t> &file, const char *type, const std::vector<uint8_t> &data) {
    Put32(file, uint32_t(data.size()));
    const size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data.begin(), data.end());
    Put32(file, uint32_t(crc32(0, file.data() + start, uInt(file.size() - start))));
}

// A valid-looking PNG of the given header whose IDAT holds `rows` rows of `rowBytes` zeros.
std::vector<uint8_t> Png(uint32_t width, uint32_t height, uint8_t depth, uint8_t colour, size_t rows, size_t rowBytes,
                         const std::vector<uint8_t> &plte = {}) {
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    Put32(ihdr, width);
    Put32(ihdr, height);
    ihdr.insert(ihdr.end(), {depth, colour, 0, 0, 0});
    Chunk(file, "IHDR", ihdr);
    if (!plte.empty()) Chunk(file, "PLTE", plte);
    std::vector<uint8_t> raw(rows * (rowBytes + 1), 0);
    uLongf size = compressBound(uLong(raw.size()));
    std::vector<uint8_t> packed(size);
    compress(packed.data(), &size, raw.data(), uLong(raw.size()));
    packed.resize(size);
    Chunk(file, "IDAT", packed);
    Chunk(file, "IEND", {});
    return file;
}

struct HostileCase {
    const char *name;
    std::function<std::vector<uint8_t>()> make;
    bool headerRefused;
};

class PngHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(PngHostile, FailsCleanly) {
    TempDir dir;
    const auto file = dir / (std::string(GetParam().name) + ".png");
    WriteFile(file, GetParam().make());
    int32_t w, h;
    if (GetParam().headerRefused) {
        EXPECT_NE(In().PictureSize(file, &w, &h), 0);
    }
    HBITMAP b = In().Decode(file);
    EXPECT_EQ(b, nullptr);
    if (b) DeleteObject(b);
}

INSTANTIATE_TEST_SUITE_P(
    Defects, PngHostile,
    ::testing::Values(
        HostileCase{"ZeroByte", [] { return std::vector<uint8_t>{}; }, true},
        HostileCase{"SignatureOnly", [] { return std::vector<uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}; }, true},
        HostileCase{"Garbage", [] { std::vector<uint8_t> g(400); for (size_t i = 0; i < g.size(); ++i) g[i] = uint8_t(i * 37 + 1); return g; }, true},
        HostileCase{"TruncatedHeader", [] { auto f = Png(10, 10, 8, 2, 10, 30); f.resize(20); return f; }, true},
        HostileCase{"TruncatedData", [] { auto f = Png(300, 300, 8, 2, 300, 900); f.resize(f.size() - 40); return f; }, false},
        HostileCase{"TooFewRows", [] { return Png(30, 30, 8, 2, 3, 90); }, false},
        HostileCase{"ZeroWidth", [] { return Png(0, 10, 8, 2, 10, 0); }, true},
        HostileCase{"ZeroHeight", [] { return Png(10, 0, 8, 2, 0, 30); }, true},
        HostileCase{"Width2Pow31", [] { return Png(0x80000000u, 1, 8, 2, 1, 3); }, true},
        HostileCase{"Bomb100000x100000", [] { return Png(100000, 100000, 8, 2, 2, 300000); }, true},
        HostileCase{"BadHeaderChecksum", [] { auto f = Png(10, 10, 8, 2, 10, 30); f[29] ^= 0xFF; return f; }, true},
        HostileCase{"PaletteMissing", [] { return Png(10, 10, 8, 3, 10, 10); }, false},
        HostileCase{"PaletteClaimsMoreEntriesThanExist", [] {
            auto f = Png(4, 4, 8, 3, 4, 4, std::vector<uint8_t>(12, 7));
            // Length field says 300 entries; the chunk holds 4.
            f[33] = 0, f[34] = 0, f[35] = 0x03, f[36] = 0x84;
            return f; }, false},
        HostileCase{"BadBitDepth", [] { return Png(10, 10, 7, 2, 10, 30); }, true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Output failures -------------------------------------------------------------------------

TEST(PngOutputFailure, FullDiskLeavesThePreviousFileAndNoTemporary) {
    TempDir dir;
    const auto file = dir / "previous.png";
    const std::vector<uint8_t> previous(777, 0x5C);
    WriteFile(file, previous);
    QImage noise(400, 400, QImage::Format_ARGB32);  // incompressible enough to pass the limit
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x) noise.setPixel(x, y, qRgb((x * 7919 + y * 104729) % 251, (x * y * 31) % 253, (x ^ y) * 13 % 255));
    HBITMAP source = ImageToDib(noise, 24);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 8 * 1024;
    setrlimit(RLIMIT_FSIZE, &limit);
    const int32_t result = Out().Save(source, file);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(result, 0);
    EXPECT_EQ(ReadFile(file), previous);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"previous.png"});
    DeleteObject(source);
}

TEST(PngOutputFailure, MissingFolderFails) {
    TempDir dir;
    HBITMAP source = ImageToDib(TestChart(8, 8), 24);
    EXPECT_NE(Out().Save(source, dir / "missing" / "x.png"), 0);
    EXPECT_TRUE(dir.Entries().empty());
    DeleteObject(source);
}

}  // namespace
}  // namespace faltrix
