// The GIF plug-ins, loaded from the build tree: reduction of true-colour pictures, files of
// every layout (written here with giflib) against Qt's reader, and hostile files. Round trips
// of palettised pictures are in the conversion matrix.
#include <gif_lib.h>

#include <QImage>

#include "codec_harness.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

const CodecPlugin In("gif", "input"), Out("gif", "output");

// Stores the section (deleting it) and reads the file back.
HBITMAP SaveAndLoad(HBITMAP source) {
    TempDir dir;
    const int32_t saved = Out.Save(source, dir / "true.gif");
    DeleteObject(source);
    return saved == 0 ? In.Decode(dir / "true.gif") : nullptr;
}

// Up to 256 colours come through exactly, as an 8-bit picture (no transparent index is spent
// on an opaque one); more are reduced close to the original, pure colours exactly.
TEST(GifTrueColour, FewColoursAreKeptExactlyAndManyReducedClosely) {
    QImage few(64, 40, QImage::Format_ARGB32);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 64; ++x) few.setPixel(x, y, qRgb((x / 4) * 16, (y / 5) * 30, 77));  // 128 colours
    for (int bits : {16, 24, 32}) {
        std::string where;
        if (bits != 16) {  // 5-bit channels would add colours of their own
            HBITMAP loaded = SaveAndLoad(ImageToDib(few, bits, bits == 32));
            EXPECT_EQ(ViewDib(loaded).bitCount, 8) << bits;
            EXPECT_EQ(MaxDifference(DibToImage(loaded), few, &where), 0) << bits << " bits: " << where;
            DeleteObject(loaded);
        }
        HBITMAP source = ImageToDib(TestChart(160, 120), bits);
        const QImage original = DibToImage(source);
        HBITMAP loaded = SaveAndLoad(source);
        const QImage have = DibToImage(loaded);
        EXPECT_LT(MeanDifference(have, original), 4.0) << bits << " bits";
        EXPECT_LE(MaxDifference(have, original), 40) << bits << " bits";
        EXPECT_EQ(have.pixel(10, 60), original.pixel(10, 60));  // a black or white line
        EXPECT_EQ(have.pixel(5, 110), original.pixel(5, 110));  // a colour block
        DeleteObject(loaded);
    }
}

TEST(GifTrueColour, TransparentPixelsStayTransparentAndHalfTransparentGoOnWhite) {
    TempDir dir;
    HBITMAP source = ImageToDib(TestChart(80, 60, true), 32, true);
    ASSERT_EQ(Out.Save(source, dir / "alpha.gif"), 0);
    HBITMAP loaded = In.Decode(dir / "alpha.gif");
    EXPECT_EQ(ViewDib(loaded).bitCount, 32);
    const QImage have = DibToImage(loaded);
    EXPECT_EQ(qAlpha(have.pixel(79, 30)), 0);             // fully transparent band
    EXPECT_EQ(have.pixel(65, 31), qRgb(255, 255, 255));  // half transparent white: white, opaque
    EXPECT_EQ(have.pixel(65, 30), qRgb(127, 127, 127));  // half transparent black: grey on white
    EXPECT_EQ(qAlpha(have.pixel(10, 30)), 255);
    EXPECT_EQ(MaxDifference(have, QImage(QString::fromStdString((dir / "alpha.gif").string()))), 0);
    DeleteObject(loaded);
    DeleteObject(source);
}

// ---- Files written with giflib, against Qt -------------------------------------------------

struct GifSpec {
    int screenW = 20, screenH = 14;
    int left = 0, top = 0, width = 20, height = 14;
    bool interlace = false, localMap = false;
    int transparent = -1, frames = 1, colours = 16, background = 0;
};

int Sink(GifFileType *gif, const GifByteType *data, int n) {
    auto *bytes = static_cast<Bytes *>(gif->UserData);
    bytes->insert(bytes->end(), data, data + n);
    return n;
}

Bytes MakeGif(const GifSpec &s) {
    Bytes bytes;
    int error;
    GifFileType *gif = EGifOpen(&bytes, Sink, &error);
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
        const int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
        for (int pass = 0; pass < (s.interlace ? 4 : 1); ++pass)
            for (int y = s.interlace ? start[pass] : 0; y < s.height; y += s.interlace ? step[pass] : 1) {
                for (int x = 0; x < s.width; ++x) line[size_t(x)] = GifPixelType((x + y * 3 + f * 5) % s.colours);
                EGifPutLine(gif, line.data(), s.width);
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
    // Test names come from the case's name rather than from its bytes.
    friend void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }
};

class GifLayoutVsQt : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(GifLayoutVsQt, FirstFrameDecodesAsQtDoes) {
    const GifSpec &s = GetParam().spec;
    TempDir dir;
    const auto file = dir / "layout.gif";
    WriteFile(file, MakeGif(s));
    int32_t w = 0, h = 0;
    ASSERT_EQ(In.PictureSize(file, &w, &h), 0);
    EXPECT_EQ(std::pair(w, h), std::pair(s.screenW, s.screenH));
    HBITMAP decoded = In.Decode(file);
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(CodecPlugin::LastProgress().monotonic);
    const QImage qt(QString::fromStdString(file.string()));
    ASSERT_FALSE(qt.isNull());
    // Readers differ on what shows where the first frame does not reach: compare the frame.
    const QRect frame = QRect(s.left, s.top, s.width, s.height).intersected(QRect(0, 0, s.screenW, s.screenH));
    std::string where;
    EXPECT_EQ(MaxDifference(DibToImage(decoded).copy(frame), qt.copy(frame), &where), 0) << where;
    DeleteObject(decoded);
}

const GifSpec kInset{.left = 3, .top = 2, .width = 10, .height = 7, .background = 5};

INSTANTIATE_TEST_SUITE_P(
    Layouts, GifLayoutVsQt,
    ::testing::Values(LayoutCase{"Plain", GifSpec{}}, LayoutCase{"TwoColours", GifSpec{.colours = 2}},
                      LayoutCase{"FullPalette", GifSpec{.colours = 256}},
                      LayoutCase{"Interlaced", GifSpec{.screenH = 19, .height = 19, .interlace = true}},
                      LayoutCase{"LocalColourTable", GifSpec{.localMap = true}},
                      LayoutCase{"Transparent", GifSpec{.transparent = 3}},
                      LayoutCase{"FrameInsideTheScreen", kInset},
                      LayoutCase{"TwoFramesFirstShown", GifSpec{.frames = 2}}),
    kCaseName);

TEST(GifLayout, UncoveredScreenGetsTheBackgroundOrTransparency) {
    TempDir dir;
    WriteFile(dir / "bg.gif", MakeGif(kInset));
    WriteFile(dir / "clear.gif", MakeGif(GifSpec{.left = 3, .width = 10, .transparent = 1}));
    HBITMAP bg = In.Decode(dir / "bg.gif"), clear = In.Decode(dir / "clear.gif");
    EXPECT_EQ(DibToImage(bg).pixel(0, 0), qRgb(16 * 5, 255 - 8 * 5, 3 * 5));
    EXPECT_EQ(qAlpha(DibToImage(clear).pixel(0, 0)), 0);
    DeleteObject(bg);
    DeleteObject(clear);
}

// ---- Hostile files -------------------------------------------------------------------------

class GifHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(GifHostile, FailsCleanly) { ExpectHostile(In, GetParam(), "gif"); }

Bytes WithScreen(uint16_t w, uint16_t h) {
    auto bytes = MakeGif(GifSpec{});
    bytes[6] = uint8_t(w), bytes[7] = uint8_t(w >> 8), bytes[8] = uint8_t(h), bytes[9] = uint8_t(h >> 8);
    return bytes;
}

constexpr Caught kSignature = Caught::kByIsSupported, kInfo = Caught::kByGetPictureInfo,
                 kDib = Caught::kByGetPictureDIB, kClipped = Caught::kClippedNotRefused;

INSTANTIATE_TEST_SUITE_P(
    Defects, GifHostile,
    ::testing::Values(
        HostileCase{"ZeroByte", [] { return Bytes{}; }, kSignature},
        HostileCase{"Garbage", [] { Bytes g(300); for (size_t i = 0; i < g.size(); ++i) g[i] = uint8_t(i * 77 + 5); return g; }, kSignature},
        HostileCase{"Truncated", [] { auto b = MakeGif(GifSpec{}); b.resize(b.size() / 2); return b; }, kDib},
        HostileCase{"ZeroWidth", [] { return WithScreen(0, 14); }, kInfo},
        HostileCase{"Bomb65535x65535", [] { return WithScreen(65535, 65535); }, kInfo},
        HostileCase{"NoImage", [] { auto b = MakeGif(GifSpec{}); b.resize(13 + 3 * 16); b.push_back(';'); return b; }, kDib},
        HostileCase{"NoColourTable", [] { auto b = MakeGif(GifSpec{}); b[10] &= 0x7F; b.erase(b.begin() + 13, b.begin() + 13 + 48); return b; }, kDib},
        HostileCase{"LzwGarbage", [] {
            auto b = MakeGif(GifSpec{.screenW = 200, .screenH = 100, .width = 200, .height = 100});
            for (size_t i = b.size() / 3; i < b.size() - 1; ++i) b[i] = uint8_t(i * 13);
            return b; }, kDib},
        // Frames reaching past the screen are clipped to it, not refused.
        HostileCase{"FrameLargerThanTheScreen", [] { return MakeGif(GifSpec{.width = 40, .height = 30}); }, kClipped},
        HostileCase{"FrameOutsideTheScreen", [] { return MakeGif(GifSpec{.left = 500, .top = 600, .width = 4, .height = 4}); }, kClipped}),
    kCaseName);

}  // namespace
}  // namespace faltrix
