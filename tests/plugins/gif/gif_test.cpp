// The GIF plug-ins, loaded from the build tree: round trips of palettised pictures, reduction
// of true-colour ones, files of every layout (written here with giflib) against Qt's reader,
// hostile files and output failures.
#include <gtest/gtest.h>
#include <gif_lib.h>

#include <QImage>

#include <csignal>
#include <cstring>
#include <functional>
#include <sys/resource.h>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
namespace fs = std::filesystem;

const CodecPlugin &In() {
    static CodecPlugin p("gif", "input");
    return p;
}
const CodecPlugin &Out() {
    static CodecPlugin p("gif", "output");
    return p;
}

TEST(GifPluginInfo, TagsDescriptionAndPatternsAnswerTheirLength) {
    ASSERT_TRUE(In().loaded()) << In().error();
    ASSERT_TRUE(Out().loaded()) << Out().error();
    int32_t n;
    EXPECT_EQ(In().Info(0, 256, &n), u"00IN_EX");
    EXPECT_EQ(Out().Info(0, 256, &n), u"00OUT_EX");
    for (const CodecPlugin *p : {&In(), &Out()}) {
        const std::u16string d = p->Info(1, 256, &n);
        EXPECT_EQ(n, int32_t(d.size()));
        EXPECT_EQ(d.rfind(u"GIF (giflib 5.", 0), 0u);
        EXPECT_EQ(p->Info(2, 1024, &n), u"*.gif");
        EXPECT_EQ(n, 5);
        EXPECT_EQ(p->Info(3, 1024, &n), u"GIF pictures");
        EXPECT_EQ(p->Info(4, 1024, &n), u"");
    }
}

// ---- Round trips of palettised pictures ---------------------------------------------------

struct PaletteCase {
    const char *name;
    int bitCount;
    int paletteSize;
    int loadedBits;
};

class GifPaletteRoundTrip : public ::testing::TestWithParam<PaletteCase> {};

TEST_P(GifPaletteRoundTrip, KeepsIndicesAndPaletteEntries) {
    const PaletteCase &c = GetParam();
    DibParams p;
    p.width = 29;
    p.height = 17;
    p.bitCount = c.bitCount;
    p.topDown = c.bitCount == 4;
    for (int i = 0; i < c.paletteSize; ++i) p.palette.push_back(RGBQUAD{uint8_t(i * 9), uint8_t(i * 5 + 3), uint8_t(255 - i), 0});
    uint8_t *bits;
    uint32_t stride;
    HBITMAP source = MakeDib(p, &bits, &stride);
    ASSERT_NE(source, nullptr);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const int v = (x * 7 + y * 3) % c.paletteSize;
            uint8_t *row = bits + size_t(y) * stride;
            if (c.bitCount == 8) row[x] = uint8_t(v);
            else if (c.bitCount == 4) row[x / 2] |= uint8_t(v << ((x & 1) ? 0 : 4));
            else row[x / 8] |= uint8_t(v << (7 - x % 8));
        }
    TempDir dir;
    ASSERT_EQ(Out().Save(source, dir / "round.gif"), 0);
    EXPECT_EQ(CodecPlugin::LastProgress().done, p.height);
    HBITMAP loaded = In().Decode(dir / "round.gif");
    ASSERT_NE(loaded, nullptr);
    const DibView a = ViewDib(source), b = ViewDib(loaded);
    EXPECT_EQ(b.bitCount, c.loadedBits);
    ASSERT_GE(b.palette.size(), a.palette.size());
    for (size_t i = 0; i < a.palette.size(); ++i) EXPECT_EQ(std::memcmp(&a.palette[i], &b.palette[i], 3), 0) << i;
    if (a.bitCount == b.bitCount) {
        EXPECT_EQ(b.rows, a.rows);
    }
    std::string where;
    EXPECT_EQ(MaxDifference(DibToImage(loaded), DibToImage(source), &where), 0) << where;
    EXPECT_EQ(MaxDifference(QImage(QString::fromStdString((dir / "round.gif").string())), DibToImage(source), &where), 0)
        << "Qt: " << where;
    DeleteObject(loaded);
    DeleteObject(source);
}

INSTANTIATE_TEST_SUITE_P(Depths, GifPaletteRoundTrip,
                         ::testing::Values(PaletteCase{"OneBit", 1, 2, 1}, PaletteCase{"FourBit", 4, 16, 4},
                                           PaletteCase{"FourBitThreeColours", 4, 3, 4},
                                           PaletteCase{"EightBit", 8, 256, 8},
                                           PaletteCase{"EightBitSixteenColours", 8, 16, 4}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- True colour -------------------------------------------------------------------------

TEST(GifTrueColour, FewColoursAreKeptExactly) {
    QImage image(64, 40, QImage::Format_ARGB32);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x) image.setPixel(x, y, qRgb((x / 4) * 16, (y / 5) * 30, 77));  // 128 colours
    for (int bits : {16, 24, 32}) {
        if (bits == 16) continue;  // 5-bit channels would add colours of their own
        HBITMAP source = ImageToDib(image, bits, bits == 32);
        TempDir dir;
        ASSERT_EQ(Out().Save(source, dir / "few.gif"), 0);
        HBITMAP loaded = In().Decode(dir / "few.gif");
        ASSERT_NE(loaded, nullptr);
        EXPECT_EQ(ViewDib(loaded).bitCount, 8);
        std::string where;
        EXPECT_EQ(MaxDifference(DibToImage(loaded), image, &where), 0) << bits << " bits: " << where;
        DeleteObject(loaded);
        DeleteObject(source);
    }
}

TEST(GifTrueColour, ManyColoursAreReducedCloseToTheOriginal) {
    for (int bits : {16, 24, 32}) {
        const QImage chart = TestChart(160, 120);
        HBITMAP source = ImageToDib(chart, bits);
        const QImage original = DibToImage(source);
        TempDir dir;
        ASSERT_EQ(Out().Save(source, dir / "chart.gif"), 0);
        HBITMAP loaded = In().Decode(dir / "chart.gif");
        ASSERT_NE(loaded, nullptr);
        const QImage have = DibToImage(loaded);
        double total = 0;
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 160; ++x) {
                const QRgb a = have.pixel(x, y), b = original.pixel(x, y);
                total += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
            }
        EXPECT_LT(total / (160 * 120 * 3), 4.0) << bits << " bits";
        EXPECT_LE(MaxDifference(have, original), 40) << bits << " bits";
        // Pure black and white lines and colour blocks come through exactly.
        EXPECT_EQ(have.pixel(10, 60), original.pixel(10, 60));
        EXPECT_EQ(have.pixel(5, 110), original.pixel(5, 110));
        DeleteObject(loaded);
        DeleteObject(source);
    }
}

TEST(GifTrueColour, TransparentPixelsStayTransparentAndHalfTransparentGoOnWhite) {
    const QImage chart = TestChart(80, 60, true);
    HBITMAP source = ImageToDib(chart, 32, true);
    TempDir dir;
    ASSERT_EQ(Out().Save(source, dir / "alpha.gif"), 0);
    HBITMAP loaded = In().Decode(dir / "alpha.gif");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(ViewDib(loaded).bitCount, 32);
    const QImage have = DibToImage(loaded);
    EXPECT_EQ(qAlpha(have.pixel(79, 30)), 0);    // fully transparent band
    EXPECT_EQ(have.pixel(65, 31), qRgb(255, 255, 255));  // half transparent white: white, opaque
    EXPECT_EQ(have.pixel(65, 30), qRgb(127, 127, 127));  // half transparent black: grey on white
    EXPECT_EQ(qAlpha(have.pixel(10, 30)), 255);
    const QImage qt(QString::fromStdString((dir / "alpha.gif").string()));
    EXPECT_EQ(MaxDifference(have, qt.convertToFormat(QImage::Format_ARGB32)), 0);
    DeleteObject(loaded);
    DeleteObject(source);
}

// ---- Files written with giflib, against Qt -------------------------------------------------

std::vector<uint8_t> *g_sink = nullptr;
int Sink(GifFileType *, const GifByteType *data, int n) {
    g_sink->insert(g_sink->end(), data, data + n);
    return n;
}

struct GifSpec {
    int screenW = 20, screenH = 14;
    int left = 0, top = 0, width = 20, height = 14;
    bool interlace = false;
    bool localMap = false;
    int transparent = -1;
    int frames = 1;
    int colours = 16;
    int background = 0;
};

std::vector<uint8_t> MakeGif(const GifSpec &s) {
    std::vector<uint8_t> bytes;
    g_sink = &bytes;
    int error;
    GifFileType *gif = EGifOpen(nullptr, Sink, &error);
    std::vector<GifColorType> colours;
    for (int i = 0; i < s.colours; ++i) colours.push_back(GifColorType{uint8_t(i * 16), uint8_t(255 - i * 8), uint8_t(i * 3)});
    ColorMapObject *global = GifMakeMapObject(s.colours, colours.data());
    for (auto &c : colours) std::swap(c.Red, c.Blue);
    ColorMapObject *local = GifMakeMapObject(s.colours, colours.data());
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, s.screenW, s.screenH, 8, s.background, s.localMap ? nullptr : global);
    for (int f = 0; f < s.frames; ++f) {
        if (s.transparent >= 0) {
            GraphicsControlBlock gcb{};
            gcb.TransparentColor = s.transparent;
            GifByteType ext[4];
            EGifGCBToExtension(&gcb, ext);
            EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
        }
        EGifPutImageDesc(gif, s.left, s.top, s.width, s.height, s.interlace, s.localMap ? local : nullptr);
        std::vector<GifPixelType> line(size_t(s.width));
        auto put = [&](int y) {
            for (int x = 0; x < s.width; ++x) line[size_t(x)] = GifPixelType((x + y * 3 + f * 5) % s.colours);
            EGifPutLine(gif, line.data(), s.width);
        };
        if (s.interlace) {
            const int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
            for (int pass = 0; pass < 4; ++pass)
                for (int y = start[pass]; y < s.height; y += step[pass]) put(y);
        } else {
            for (int y = 0; y < s.height; ++y) put(y);
        }
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(global);
    GifFreeMapObject(local);
    return bytes;
}

struct LayoutCase {
    const char *name;
    GifSpec spec;
};

class GifLayoutVsQt : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(GifLayoutVsQt, FirstFrameDecodesAsQtDoes) {
    TempDir dir;
    const auto file = dir / "layout.gif";
    WriteFile(file, MakeGif(GetParam().spec));
    int32_t w = 0, h = 0;
    ASSERT_EQ(In().PictureSize(file, &w, &h), 0);
    EXPECT_EQ(w, GetParam().spec.screenW);
    EXPECT_EQ(h, GetParam().spec.screenH);
    HBITMAP decoded = In().Decode(file);
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(CodecPlugin::LastProgress().monotonic);
    const QImage qt = QImage(QString::fromStdString(file.string())).convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(qt.isNull());
    QImage have = DibToImage(decoded);
    // Readers differ on what shows where the first frame does not reach: compare the frame.
    const GifSpec &s = GetParam().spec;
    const QRect frame = QRect(s.left, s.top, s.width, s.height).intersected(QRect(0, 0, s.screenW, s.screenH));
    std::string where;
    EXPECT_EQ(MaxDifference(have.copy(frame), qt.copy(frame), &where), 0) << where;
    DeleteObject(decoded);
}

GifSpec Spec(std::function<void(GifSpec &)> change) {
    GifSpec s;
    change(s);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, GifLayoutVsQt,
    ::testing::Values(LayoutCase{"Plain", GifSpec{}},
                      LayoutCase{"TwoColours", Spec([](GifSpec &s) { s.colours = 2; })},
                      LayoutCase{"FullPalette", Spec([](GifSpec &s) { s.colours = 256; })},
                      LayoutCase{"Interlaced", Spec([](GifSpec &s) { s.interlace = true; s.height = s.screenH = 19; })},
                      LayoutCase{"LocalColourTable", Spec([](GifSpec &s) { s.localMap = true; })},
                      LayoutCase{"Transparent", Spec([](GifSpec &s) { s.transparent = 3; })},
                      LayoutCase{"FrameInsideTheScreen", Spec([](GifSpec &s) { s.left = 3, s.top = 2, s.width = 10, s.height = 7; s.background = 5; })},
                      LayoutCase{"TwoFramesFirstShown", Spec([](GifSpec &s) { s.frames = 2; })}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(GifLayout, UncoveredScreenGetsTheBackgroundOrTransparency) {
    TempDir dir;
    WriteFile(dir / "bg.gif", MakeGif(Spec([](GifSpec &s) { s.left = 3, s.top = 2, s.width = 10, s.height = 7; s.background = 5; })));
    HBITMAP b = In().Decode(dir / "bg.gif");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(DibToImage(b).pixel(0, 0), qRgb(16 * 5, 255 - 8 * 5, 3 * 5));
    DeleteObject(b);
    WriteFile(dir / "clear.gif", MakeGif(Spec([](GifSpec &s) { s.left = 3, s.width = 10; s.transparent = 1; })));
    b = In().Decode(dir / "clear.gif");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(qAlpha(DibToImage(b).pixel(0, 0)), 0);
    DeleteObject(b);
}

// ---- Hostile files -------------------------------------------------------------------------

struct HostileCase {
    const char *name;
    std::function<std::vector<uint8_t>()> make;
    bool headerRefused;
    bool decodes;  // a defect the decoder survives by clipping, not by refusing
};

class GifHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(GifHostile, FailsCleanly) {
    TempDir dir;
    const auto file = dir / (std::string(GetParam().name) + ".gif");
    WriteFile(file, GetParam().make());
    int32_t w, h;
    if (GetParam().headerRefused) {
        EXPECT_NE(In().PictureSize(file, &w, &h), 0);
    }
    HBITMAP b = In().Decode(file);
    EXPECT_EQ(b != nullptr, GetParam().decodes);
    if (b) DeleteObject(b);
}

std::vector<uint8_t> WithScreen(uint16_t w, uint16_t h) {
    auto bytes = MakeGif(GifSpec{});
    bytes[6] = uint8_t(w), bytes[7] = uint8_t(w >> 8), bytes[8] = uint8_t(h), bytes[9] = uint8_t(h >> 8);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Defects, GifHostile,
    ::testing::Values(
        HostileCase{"ZeroByte", [] { return std::vector<uint8_t>{}; }, true, false},
        HostileCase{"SignatureOnly", [] { return std::vector<uint8_t>{'G', 'I', 'F', '8', '9', 'a'}; }, true, false},
        HostileCase{"Garbage", [] { std::vector<uint8_t> g(300); for (size_t i = 0; i < g.size(); ++i) g[i] = uint8_t(i * 77 + 5); return g; }, true, false},
        HostileCase{"GarbageAfterTheSignature", [] { std::vector<uint8_t> g = {'G', 'I', 'F', '8', '9', 'a'}; for (int i = 0; i < 300; ++i) g.push_back(uint8_t(i * 91)); return g; }, false, false},
        HostileCase{"Truncated", [] { auto b = MakeGif(GifSpec{}); b.resize(b.size() / 2); return b; }, false, false},
        HostileCase{"ZeroWidth", [] { return WithScreen(0, 14); }, true, false},
        HostileCase{"ZeroHeight", [] { return WithScreen(20, 0); }, true, false},
        HostileCase{"Bomb65535x65535", [] { return WithScreen(65535, 65535); }, true, false},
        HostileCase{"NoImage", [] { auto b = MakeGif(GifSpec{}); const size_t header = 13 + 3 * 16; b.resize(header); b.push_back(';'); return b; }, false, false},
        HostileCase{"NoColourTable", [] { auto b = MakeGif(GifSpec{}); b[10] &= 0x7F; b.erase(b.begin() + 13, b.begin() + 13 + 48); return b; }, false, false},
        HostileCase{"LzwGarbage", [] { auto b = MakeGif(Spec([](GifSpec &s) { s.width = s.screenW = 200; s.height = s.screenH = 100; })); for (size_t i = b.size() / 3; i < b.size() - 1; ++i) b[i] = uint8_t(i * 13); return b; }, false, false},
        HostileCase{"FrameLargerThanTheScreen", [] { return MakeGif(Spec([](GifSpec &s) { s.width = 40; s.height = 30; })); }, false, true},
        HostileCase{"FrameOutsideTheScreen", [] { return MakeGif(Spec([](GifSpec &s) { s.left = 500; s.top = 600; s.width = 4; s.height = 4; })); }, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Output failures -----------------------------------------------------------------------

TEST(GifOutputFailure, FullDiskLeavesThePreviousFileAndNoTemporary) {
    TempDir dir;
    const auto file = dir / "previous.gif";
    const std::vector<uint8_t> previous(321, 0x47);
    WriteFile(file, previous);
    HBITMAP source = ImageToDib(TestChart(400, 300), 24);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 4 * 1024;
    setrlimit(RLIMIT_FSIZE, &limit);
    const int32_t result = Out().Save(source, file);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(result, 0);
    EXPECT_EQ(ReadFile(file), previous);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"previous.gif"});
    DeleteObject(source);
}

TEST(GifOutputFailure, TooWideForGifAndMissingFolderFail) {
    TempDir dir;
    HBITMAP wide = ImageToDib(QImage(70000, 1, QImage::Format_ARGB32), 24);
    ASSERT_NE(wide, nullptr);
    EXPECT_NE(Out().Save(wide, dir / "wide.gif"), 0);
    HBITMAP small = ImageToDib(TestChart(8, 8), 24);
    EXPECT_NE(Out().Save(small, dir / "missing" / "x.gif"), 0);
    EXPECT_TRUE(dir.Entries().empty());
    DeleteObject(wide);
    DeleteObject(small);
}

}  // namespace
}  // namespace faltrix
