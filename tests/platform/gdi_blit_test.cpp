// Pixels: GetPixel through palettes and masks, BitBlt and StretchBlt (copies, scaling,
// mirroring, clipping, conversion between formats) and FillRect.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "gdi_test_util.h"

namespace faltrix::test {
namespace {

// ---- The formats the layer knows --------------------------------------------------------

struct Format {
    const char *name;
    int bits;
    DWORD masks[3];  // for BI_BITFIELDS; all 0 for BI_RGB
    int colours;     // colour table entries to set (0: none)
};

Info MakeInfo(const Format &f, int32_t w, int32_t h) {
    Info info(f.bits, w, h);
    if (f.masks[0] != 0) info.SetMasks(f.masks[0], f.masks[1], f.masks[2]);
    if (f.colours > 0) {
        info.header.biClrUsed = static_cast<DWORD>(f.colours);
        // Index 1 is white so that FillRect has an exact colour; the rest are distinct.
        for (int i = 0; i < f.colours; ++i) {
            info.colours[i] = Quad(static_cast<uint8_t>(i * 37), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 5));
        }
        info.colours[0] = Quad(0, 0, 0);
        info.colours[1] = Quad(255, 255, 255);
    }
    return info;
}

const Format kFormats[] = {
    {"OneBit", 1, {0, 0, 0}, 2},
    {"FourBits", 4, {0, 0, 0}, 16},
    {"EightBits", 8, {0, 0, 0}, 256},
    {"EightBitsTwelveColours", 8, {0, 0, 0}, 12},
    {"Sixteen555", 16, {0, 0, 0}, 0},
    {"Sixteen565", 16, {0xF800, 0x07E0, 0x001F}, 0},
    {"TwentyFour", 24, {0, 0, 0}, 0},
    {"ThirtyTwo", 32, {0, 0, 0}, 0},
    {"ThirtyTwoRgbMasks", 32, {0x0000FF, 0x00FF00, 0xFF0000}, 0},
    {"ThirtyTwoTenBitMasks", 32, {0x3FF00000, 0x000FFC00, 0x000003FF}, 0},
};

std::string FormatName(const ::testing::TestParamInfo<Format> &i) { return i.param.name; }
void PrintTo(const Format &f, std::ostream *os) { *os << f.name; }

void FillRandom(const Surface &s, unsigned seed) {
    std::mt19937 rng(seed);
    for (int32_t y = 0; y < s.height(); ++y) {
        for (uint32_t i = 0; i < s.stride(); ++i) s.Row(y)[i] = static_cast<uint8_t>(rng());
    }
}

// ---- GetPixel ----------------------------------------------------------------------------

struct PixelCase {
    const char *name;
    Info info;
    std::vector<uint8_t> row;        // the bytes of the picture's single row
    std::vector<COLORREF> expected;  // GetPixel of x = 0, 1, ...
};

void PrintTo(const PixelCase &c, std::ostream *os) { *os << c.name; }

class ReadPixel : public ::testing::TestWithParam<PixelCase> {};

TEST_P(ReadPixel, ThroughPaletteOrMasks) {
    const PixelCase &c = GetParam();
    Surface s(c.info);
    ASSERT_TRUE(s.ok());
    std::memcpy(s.Row(0), c.row.data(), c.row.size());
    for (size_t x = 0; x < c.expected.size(); ++x) {
        EXPECT_EQ(GetPixel(s.dc(), static_cast<int>(x), 0), c.expected[x]) << "x = " << x;
    }
    EXPECT_EQ(GetPixel(s.dc(), -1, 0), CLR_INVALID);
    EXPECT_EQ(GetPixel(s.dc(), s.width(), 0), CLR_INVALID);
    EXPECT_EQ(GetPixel(s.dc(), 0, 1), CLR_INVALID);
    EXPECT_EQ(GetPixel(s.dc(), 0, -1), CLR_INVALID);
}

Info PaletteInfo(int bits, int32_t width, std::vector<RGBQUAD> colours) {
    Info info(bits, width, 1);
    info.header.biClrUsed = static_cast<DWORD>(colours.size());
    for (size_t i = 0; i < colours.size(); ++i) info.colours[i] = colours[i];
    return info;
}

Info Masked(int bits, int32_t width, DWORD r, DWORD g, DWORD b) {
    Info info(bits, width, 1);
    info.SetMasks(r, g, b);
    return info;
}

INSTANTIATE_TEST_SUITE_P(
    GetPixel, ReadPixel,
    ::testing::Values(
        PixelCase{"OneBit", PaletteInfo(1, 4, {Quad(10, 20, 30), Quad(200, 100, 50)}), {0xA0},
                  {RGB(200, 100, 50), RGB(10, 20, 30), RGB(200, 100, 50), RGB(10, 20, 30)}},
        PixelCase{"FourBits",
                  PaletteInfo(4, 4, {Quad(0, 0, 0), Quad(1, 1, 1), Quad(2, 2, 2), Quad(3, 30, 33), Quad(4, 4, 4),
                                    Quad(5, 5, 5), Quad(6, 6, 6), Quad(7, 7, 7), Quad(8, 80, 88), Quad(9, 9, 9),
                                    Quad(10, 10, 10), Quad(11, 11, 11), Quad(12, 12, 12), Quad(13, 13, 13),
                                    Quad(14, 14, 14), Quad(15, 150, 155)}),
                  {0x3F, 0x08},
                  {RGB(3, 30, 33), RGB(15, 150, 155), RGB(0, 0, 0), RGB(8, 80, 88)}},
        // An index beyond a short colour table reads as black.
        PixelCase{"EightBitsShortTable",
                  PaletteInfo(8, 4, {Quad(1, 2, 3), Quad(4, 5, 6), Quad(7, 8, 9), Quad(250, 251, 252)}),
                  {2, 0, 3, 200},
                  {RGB(7, 8, 9), RGB(1, 2, 3), RGB(250, 251, 252), RGB(0, 0, 0)}},
        // Five-bit fields widen so that the largest value is 255.
        PixelCase{"Sixteen555", Info(16, 4, 1), {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0x10, 0x42},
                  {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255), RGB(132, 132, 132)}},
        PixelCase{"Sixteen565", Masked(16, 4, 0xF800, 0x07E0, 0x001F), {0x00, 0xF8, 0xE0, 0x07, 0x00, 0x04, 0x01, 0x00},
                  {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 130, 0), RGB(0, 0, 8)}},
        PixelCase{"TwentyFour", Info(24, 2, 1), {1, 2, 3, 250, 251, 252}, {RGB(3, 2, 1), RGB(252, 251, 250)}},
        PixelCase{"ThirtyTwoIgnoresFourthByte", Info(32, 2, 1), {1, 2, 3, 0xFF, 9, 8, 7, 0x80},
                  {RGB(3, 2, 1), RGB(7, 8, 9)}},
        PixelCase{"ThirtyTwoRgbMasks", Masked(32, 1, 0xFF, 0xFF00, 0xFF0000), {1, 2, 3, 4}, {RGB(1, 2, 3)}},
        PixelCase{"ThirtyTwoTenBitMasks", Masked(32, 2, 0x3FF00000, 0x000FFC00, 0x000003FF),
                  {0xFF, 0x03, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F},
                  {RGB(0, 0, 255), RGB(255, 0, 0)}}),
    [](const ::testing::TestParamInfo<PixelCase> &i) { return std::string(i.param.name); });

TEST(GetPixel, SeesAWriteIntoPixelMemoryMadeJustBefore) {
    // Reading a colour table back by writing each index into the first byte of the pixel
    // memory: for a bottom-up picture that is the bottom-left pixel.
    Info info(4, 3, 50);
    for (int i = 0; i < 16; ++i) info.colours[i] = Quad(static_cast<uint8_t>(i * 16), static_cast<uint8_t>(i), 7);
    Surface s(info);
    ASSERT_TRUE(s.ok());
    s.bits()[0] = 0x05;  // pixel 1 of the first row in memory
    for (uint8_t i = 0; i < 16; ++i) {
        s.bits()[0] = static_cast<uint8_t>((s.bits()[0] & 0x0F) | (i << 4));
        EXPECT_EQ(GetPixel(s.dc(), 0, 49), RGB(i * 16, i, 7));
        EXPECT_EQ(GetPixel(s.dc(), 1, 49), RGB(80, 5, 7));
    }
}

// ---- Same-size copies ---------------------------------------------------------------------

class SameSizeCopy : public ::testing::TestWithParam<Format> {};

TEST_P(SameSizeCopy, ReproducesEveryByteInDeviceOrder) {
    // Source bottom-up, destination top-down, an odd width so that rows have padding and
    // (at 1 and 4 bits) a partial last byte.
    const Format &f = GetParam();
    Surface src(MakeInfo(f, 13, 7));
    ASSERT_TRUE(src.ok());
    FillRandom(src, 42);
    for (bool stretch : {false, true}) {
        SCOPED_TRACE(stretch ? "StretchBlt" : "BitBlt");
        Surface dst(MakeInfo(f, 13, -7));
        ASSERT_TRUE(dst.ok());
        ASSERT_TRUE(stretch ? StretchBlt(dst.dc(), 0, 0, 13, 7, src.dc(), 0, 0, 13, 7, SRCCOPY)
                            : BitBlt(dst.dc(), 0, 0, 13, 7, src.dc(), 0, 0, SRCCOPY));
        for (int32_t y = 0; y < 7; ++y) EXPECT_EQ(dst.PixelBytes(y), src.PixelBytes(y)) << "row " << y;
    }
}

// Copies a w x 3 block from (xs, 2) of the source to (xd, 1) of the destination and checks
// that every pixel around it stays as it was (at 1 and 4 bits, also the other pixels sharing
// its bytes).
void ExpectBlockCopied(const Format &f, int xd, int xs, int w) {
    Surface src(MakeInfo(f, 19, 6)), dst(MakeInfo(f, 20, -5));
    ASSERT_TRUE(src.ok() && dst.ok());
    FillRandom(src, 1);
    FillRandom(dst, 2);
    std::vector<std::vector<COLORREF>> before(5, std::vector<COLORREF>(20));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 20; ++x) before[y][x] = GetPixel(dst.dc(), x, y);
    ASSERT_TRUE(BitBlt(dst.dc(), xd, 1, w, 3, src.dc(), xs, 2, SRCCOPY));
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 20; ++x) {
            const bool inside = x >= xd && x < xd + w && y >= 1 && y < 4;
            const COLORREF want = inside ? GetPixel(src.dc(), x - xd + xs, y + 1) : before[y][x];
            EXPECT_EQ(GetPixel(dst.dc(), x, y), want) << "(" << x << ", " << y << ")";
        }
    }
}

TEST_P(SameSizeCopy, OffsetCopyKeepsNeighbours) { ExpectBlockCopied(GetParam(), 3, 4, 5); }

// Both ends on a byte boundary at 1 and 4 bits: whole bytes move, then a partial one.
TEST_P(SameSizeCopy, ByteAlignedCopyKeepsNeighbours) { ExpectBlockCopied(GetParam(), 8, 0, 11); }

INSTANTIATE_TEST_SUITE_P(EveryDepth, SameSizeCopy, ::testing::ValuesIn(kFormats), FormatName);

TEST(SameSizeCopy, ThirtyTwoBitsKeepTheFourthByte) {
    Surface src(Info(32, 3, 2)), dst(Info(32, 3, -2));
    FillRandom(src, 9);
    ASSERT_TRUE(BitBlt(dst.dc(), 0, 0, 3, 2, src.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(dst.PixelBytes(0), src.PixelBytes(0));
    EXPECT_EQ(dst.PixelBytes(1), src.PixelBytes(1));
}

TEST(SameSizeCopy, WithinOneBitmapReadsBeforeWriting) {
    Surface s(Info(24, 4, 2));
    PaintGradient(s);
    ASSERT_TRUE(BitBlt(s.dc(), 1, 0, 3, 2, s.dc(), 0, 0, SRCCOPY));
    for (int y = 0; y < 2; ++y) {
        EXPECT_EQ(GetPixel(s.dc(), 0, y), GradientColour(0, y));
        for (int x = 1; x < 4; ++x) EXPECT_EQ(GetPixel(s.dc(), x, y), GradientColour(x - 1, y));
    }
    // And upwards, scaled, from the bottom row.
    ASSERT_TRUE(StretchBlt(s.dc(), 0, 0, 4, 1, s.dc(), 0, 1, 2, 1, SRCCOPY));
    EXPECT_EQ(GetPixel(s.dc(), 3, 0), GradientColour(0, 1));  // was (1, 1) before
}

// ---- Scaling ----------------------------------------------------------------------------

std::string Expected(int32_t w, int32_t h, COLORREF (*at)(int32_t, int32_t)) {
    std::string s;
    char buf[16];
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            std::snprintf(buf, sizeof buf, "%06x ", static_cast<unsigned>(at(x, y)));
            s += buf;
        }
        s += '\n';
    }
    return s;
}

TEST(StretchBlt, HalvingPicksThePixelUnderEachCentre) {
    Surface src(Gradient24Info(4, 4)), dst(Info(24, 2, 2));
    PaintGradient(src);
    ASSERT_TRUE(StretchBlt(dst.dc(), 0, 0, 2, 2, src.dc(), 0, 0, 4, 4, SRCCOPY));
    EXPECT_EQ(dst.Grid(), Expected(2, 2, [](int32_t x, int32_t y) { return GradientColour(2 * x + 1, 2 * y + 1); }));
}

TEST(StretchBlt, TriplingRepeatsEachPixelThreeTimes) {
    Surface src(Gradient24Info(2, 2)), dst(Info(24, 6, -6));
    PaintGradient(src);
    ASSERT_TRUE(StretchBlt(dst.dc(), 0, 0, 6, 6, src.dc(), 0, 0, 2, 2, SRCCOPY));
    EXPECT_EQ(dst.Grid(), Expected(6, 6, [](int32_t x, int32_t y) { return GradientColour(x / 3, y / 3); }));
}

TEST(StretchBlt, FiveToThree) {
    Surface src(Gradient24Info(5, 1)), dst(Info(24, 3, 1));
    PaintGradient(src);
    ASSERT_TRUE(StretchBlt(dst.dc(), 0, 0, 3, 1, src.dc(), 0, 0, 5, 1, SRCCOPY));
    EXPECT_EQ(dst.Grid(), Expected(3, 1, [](int32_t x, int32_t) { return GradientColour(2 * x, 0); }));
}

TEST(StretchBlt, BottomUpAndTopDownAgreeInDeviceCoordinates) {
    Surface up(Gradient24Info(3, 4)), down(Info(24, 3, -4)), back(Info(24, 3, 4));
    PaintGradient(up);
    ASSERT_TRUE(BitBlt(down.dc(), 0, 0, 3, 4, up.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(down.Grid(), up.Grid());
    // Memory order: the top row comes first in the top-down copy and last in the original.
    EXPECT_EQ(std::memcmp(down.bits(), up.bits() + 3 * up.stride(), 9), 0);
    ASSERT_TRUE(BitBlt(back.dc(), 0, 0, 3, 4, down.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(std::memcmp(back.bits(), up.bits(), up.stride() * 4), 0);
}

struct MirrorCase {
    const char *name;
    int xd, yd, wd, hd, xs, ys, ws, hs;
    bool flipX, flipY;
};

void PrintTo(const MirrorCase &c, std::ostream *os) { *os << c.name; }

class StretchMirror : public ::testing::TestWithParam<MirrorCase> {};

TEST_P(StretchMirror, NegativeExtents) {
    const MirrorCase &c = GetParam();
    Surface src(Gradient24Info(4, 3)), dst(Info(24, 4, 3));
    PaintGradient(src);
    ASSERT_TRUE(StretchBlt(dst.dc(), c.xd, c.yd, c.wd, c.hd, src.dc(), c.xs, c.ys, c.ws, c.hs, SRCCOPY));
    std::string want;
    char buf[16];
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) {
            std::snprintf(buf, sizeof buf, "%06x ",
                          static_cast<unsigned>(GradientColour(c.flipX ? 3 - x : x, c.flipY ? 2 - y : y)));
            want += buf;
        }
        want += '\n';
    }
    EXPECT_EQ(dst.Grid(), want);
}

// A negative extent covers the pixels from x + extent to x - 1.
INSTANTIATE_TEST_SUITE_P(
    StretchBlt, StretchMirror,
    ::testing::Values(MirrorCase{"DestinationWidth", 4, 0, -4, 3, 0, 0, 4, 3, true, false},
                      MirrorCase{"SourceWidth", 0, 0, 4, 3, 4, 0, -4, 3, true, false},
                      MirrorCase{"BothWidths", 4, 0, -4, 3, 4, 0, -4, 3, false, false},
                      MirrorCase{"DestinationHeight", 0, 3, 4, -3, 0, 0, 4, 3, false, true},
                      MirrorCase{"SourceHeight", 0, 0, 4, 3, 0, 3, 4, -3, false, true},
                      MirrorCase{"BothAxes", 4, 3, -4, -3, 0, 0, 4, 3, true, true}),
    [](const ::testing::TestParamInfo<MirrorCase> &i) { return std::string(i.param.name); });

TEST(StretchBlt, MirroredWhileScaledAndPalettised) {
    // 1 bit, 8 pixels onto 4, mirrored: index copy of pixels 7, 5, 3, 1.
    Info info(1, 8, 1);
    info.colours[1] = Quad(255, 255, 255);
    Surface src(info), dst(info);
    src.Row(0)[0] = 0x55;  // 0 1 0 1 0 1 0 1
    ASSERT_TRUE(StretchBlt(dst.dc(), 4, 0, -4, 1, src.dc(), 0, 0, 8, 1, SRCCOPY));
    EXPECT_EQ(dst.Row(0)[0], 0xF0);
}

TEST(StretchBlt, RowsWiderThanOneStripOfColumns) {
    // More than 65536 destination columns: the per-column tables are made strip by strip.
    Info grey(8, 140001, 1);
    for (int i = 0; i < 256; ++i) grey.colours[i] = Quad(static_cast<uint8_t>(i), static_cast<uint8_t>(i), 1);
    Surface src(grey), half(grey), wide(Info(24, 70000, -1));
    ASSERT_TRUE(src.ok() && half.ok() && wide.ok());
    for (int x = 0; x < 140001; ++x) src.Row(0)[x] = static_cast<uint8_t>(x % 251);
    ASSERT_TRUE(StretchBlt(half.dc(), 0, 0, 70000, 1, src.dc(), 0, 0, 140000, 1, SRCCOPY));
    ASSERT_TRUE(StretchBlt(wide.dc(), 70000, 0, -70000, 1, src.dc(), 0, 0, 70000, 1, SRCCOPY));
    for (int x = 0; x < 70000; ++x) {
        ASSERT_EQ(half.Row(0)[x], (2 * x + 1) % 251) << x;
        ASSERT_EQ(wide.Row(0)[3 * x + 2], (69999 - x) % 251) << x;
    }
}

// ---- Clipping ---------------------------------------------------------------------------

class BlitClipping : public ::testing::Test {
protected:
    void SetUp() override {
        PaintGradient(src);
        RECT all{0, 0, 4, 4};
        FillRect(dst.dc(), &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    // dst must show src shifted by (dx, dy) inside [x0, x1) x [y0, y1) and white elsewhere.
    void ExpectShifted(int dx, int dy, int x0, int x1, int y0, int y1) {
        for (int y = 0; y < 4; ++y) {
            for (int x = 0; x < 4; ++x) {
                const bool inside = x >= x0 && x < x1 && y >= y0 && y < y1;
                EXPECT_EQ(GetPixel(dst.dc(), x, y), inside ? GradientColour(x + dx, y + dy) : RGB(255, 255, 255))
                    << "(" << x << ", " << y << ")";
            }
        }
    }
    Surface src{Gradient24Info(4, 4)};
    Surface dst{Info(24, 4, -4)};
};

TEST_F(BlitClipping, DestinationPartlyOutside) {
    ASSERT_TRUE(BitBlt(dst.dc(), -1, -1, 4, 4, src.dc(), 0, 0, SRCCOPY));
    ExpectShifted(1, 1, 0, 3, 0, 3);
}

TEST_F(BlitClipping, SourcePartlyOutside) {
    ASSERT_TRUE(BitBlt(dst.dc(), 0, 0, 4, 4, src.dc(), 2, 2, SRCCOPY));
    ExpectShifted(2, 2, 0, 2, 0, 2);
}

TEST_F(BlitClipping, SourceBeforeTheFirstPixel) {
    ASSERT_TRUE(BitBlt(dst.dc(), 0, 0, 4, 4, src.dc(), -2, -1, SRCCOPY));
    ExpectShifted(-2, -1, 2, 4, 1, 4);
    // What reads only pixels before the source's first is nothing at all.
    EXPECT_FALSE(BitBlt(dst.dc(), 2, 2, 4, 4, src.dc(), -2, -2, SRCCOPY));
}

TEST_F(BlitClipping, AtTheLastPixel) {
    ASSERT_TRUE(BitBlt(dst.dc(), 3, 3, 4, 4, src.dc(), 0, 0, SRCCOPY));
    ExpectShifted(-3, -3, 3, 4, 3, 4);
}

TEST_F(BlitClipping, WhollyOutsideFailsAndTouchesNothing) {
    const int cases[][6] = {{4, 0, 4, 4, 0, 0},    {0, 4, 4, 4, 0, 0},       {-4, 0, 4, 4, 0, 0},
                            {0, 0, 4, 4, 4, 0},    {0, 0, 4, 4, 0, -4},      {INT_MAX, 0, 4, 4, 0, 0},
                            {INT_MIN, 0, 4, 4, 0, 0}, {0, 0, 4, 4, INT_MIN, INT_MIN}, {0, 0, 0, 4, 0, 0},
                            {0, 0, 4, 0, 0, 0}};
    for (const auto &c : cases) {
        EXPECT_FALSE(BitBlt(dst.dc(), c[0], c[1], c[2], c[3], src.dc(), c[4], c[5], SRCCOPY))
            << c[0] << " " << c[1] << " " << c[2] << " " << c[3] << " " << c[4] << " " << c[5];
    }
    EXPECT_FALSE(StretchBlt(dst.dc(), 0, 0, 4, 4, src.dc(), 0, 0, 0, 4, SRCCOPY));
    EXPECT_FALSE(StretchBlt(dst.dc(), 0, 0, 4, 4, src.dc(), 0, 0, 4, 4, 0x00EE0086 /* SRCPAINT */));
    ExpectShifted(0, 0, 0, 0, 0, 0);
}

TEST_F(BlitClipping, ScalingIsOverTheWholeRectangles) {
    // Destination 8 x 8 of which the bitmap shows the top-left 4 x 4: a doubled source
    // whose visible part is the source's top-left quarter.
    ASSERT_TRUE(StretchBlt(dst.dc(), 0, 0, 8, 8, src.dc(), 0, 0, 4, 4, SRCCOPY));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(GetPixel(dst.dc(), x, y), GradientColour(x / 2, y / 2));
}

TEST_F(BlitClipping, ExtremeExtentsStayInside) {
    ASSERT_TRUE(StretchBlt(dst.dc(), 0, 0, INT_MAX, INT_MAX, src.dc(), 0, 0, 1, 1, SRCCOPY));
    EXPECT_EQ(GetPixel(dst.dc(), 3, 3), GradientColour(0, 0));
    // Four pixels showing 2^31 - 1: the first one's centre already lies far beyond the source.
    EXPECT_FALSE(StretchBlt(dst.dc(), 0, 0, 4, 4, src.dc(), 0, 0, INT_MAX, INT_MAX, SRCCOPY));
    // Two pixels showing the last two of a mirrored 2^31: both fall on source pixel 0.
    ASSERT_TRUE(StretchBlt(dst.dc(), 2, 2, INT_MIN, INT_MIN, src.dc(), 0, 0, 4, 4, SRCCOPY));
    EXPECT_EQ(GetPixel(dst.dc(), 1, 1), GradientColour(0, 0));
    EXPECT_FALSE(StretchBlt(dst.dc(), INT_MAX, INT_MAX, INT_MAX, INT_MAX, src.dc(), INT_MAX, INT_MAX, INT_MIN,
                            INT_MIN, SRCCOPY));
}

// ---- Palettes and conversion ------------------------------------------------------------

TEST(BlitPalettised, EqualTablesCopyIndicesEvenWhenColoursRepeat) {
    Info info(8, 4, 1);
    info.header.biClrUsed = 4;
    info.colours[0] = Quad(0, 0, 0);
    info.colours[1] = Quad(255, 255, 255);
    info.colours[2] = Quad(255, 255, 255);  // the same colour under another index
    info.colours[3] = Quad(9, 9, 9);
    Surface src(info), dst(info);
    const uint8_t indices[4] = {2, 1, 3, 2};
    std::memcpy(src.Row(0), indices, 4);
    ASSERT_TRUE(StretchBlt(dst.dc(), 0, 0, 4, 1, src.dc(), 0, 0, 4, 1, SRCCOPY));
    EXPECT_EQ(std::memcmp(dst.Row(0), indices, 4), 0);
}

TEST(BlitPalettised, OtherTableTakesTheNearestEntry) {
    Info from(8, 3, 1), to(4, 3, 1);
    from.header.biClrUsed = 3;
    from.colours[0] = Quad(255, 0, 0);
    from.colours[1] = Quad(0, 255, 0);
    from.colours[2] = Quad(0, 0, 255);
    to.header.biClrUsed = 4;
    to.colours[0] = Quad(0, 0, 0);
    to.colours[1] = Quad(250, 0, 0);
    to.colours[2] = Quad(0, 0, 240);
    to.colours[3] = Quad(10, 240, 0);
    Surface src(from), dst(to);
    const uint8_t indices[3] = {0, 1, 2};
    std::memcpy(src.Row(0), indices, 3);
    ASSERT_TRUE(BitBlt(dst.dc(), 0, 0, 3, 1, src.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(dst.Row(0)[0], 0x13);  // 1, 3
    EXPECT_EQ(dst.Row(0)[1] & 0xF0, 0x20);
}

TEST(BlitConvert, TrueColourToPaletteAndBack) {
    Surface src(Gradient24Info(4, 2));
    PaintGradient(src);
    Info grey(1, 4, 2);
    grey.colours[1] = Quad(255, 255, 255);
    Surface bw(grey);
    FillRandom(bw, 3);
    ASSERT_TRUE(BitBlt(bw.dc(), 0, 0, 4, 2, src.dc(), 0, 0, SRCCOPY));
    // Gradient red grows with x: (1, 2, 99), (17, 2, 99), (33, ...), (49, ...) are all nearer black.
    for (int x = 0; x < 4; ++x) EXPECT_EQ(GetPixel(bw.dc(), x, 0), RGB(0, 0, 0));
}

TEST(BlitConvert, IntoSixteenBitsRoundsEachField) {
    Surface src(Info(24, 1, 1)), dst(Info(16, 1, 1));
    src.Row(0)[0] = 0;    // blue
    src.Row(0)[1] = 128;  // green
    src.Row(0)[2] = 255;  // red
    ASSERT_TRUE(BitBlt(dst.dc(), 0, 0, 1, 1, src.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(dst.Row(0)[0] | (dst.Row(0)[1] << 8), 0x7E00);  // 31, 16, 0
    EXPECT_EQ(GetPixel(dst.dc(), 0, 0), RGB(255, 132, 0));
}

TEST(BlitConvert, IntoThirtyTwoBitsClearsTheFourthByte) {
    Info info(8, 2, 1);
    info.colours[5] = Quad(10, 20, 30);
    Surface src(info), dst(Info(32, 2, -1));
    std::memset(dst.Row(0), 0xFF, 8);
    src.Row(0)[0] = 5;
    ASSERT_TRUE(BitBlt(dst.dc(), 0, 0, 2, 1, src.dc(), 0, 0, SRCCOPY));
    const uint8_t want[8] = {30, 20, 10, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(dst.Row(0), want, 8), 0);
}

class BlitConvertEvery : public ::testing::TestWithParam<Format> {};

TEST_P(BlitConvertEvery, ThroughTwentyFourBitsAndBackKeepsColours) {
    // Any format to 24 bits and back: each pixel's colour is representable in the original
    // format, so the round trip gives the same colours.
    const Format &f = GetParam();
    Surface src(MakeInfo(f, 9, 5)), mid(Info(24, 9, -5)), back(MakeInfo(f, 9, 5));
    FillRandom(src, 5);
    if (f.bits <= 8) {
        // Keep indices within the table so that every pixel has a colour of its own.
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 9; ++x) {
                uint8_t *row = src.Row(y);
                const int pos = x * f.bits;
                const int shift = 8 - f.bits - pos % 8;
                const int index = (row[pos / 8] >> shift) & ((1 << f.bits) - 1);
                row[pos / 8] = static_cast<uint8_t>((row[pos / 8] & ~(((1 << f.bits) - 1) << shift)) |
                                                    ((index % f.colours) << shift));
            }
    }
    ASSERT_TRUE(BitBlt(mid.dc(), 0, 0, 9, 5, src.dc(), 0, 0, SRCCOPY));
    ASSERT_TRUE(BitBlt(back.dc(), 0, 0, 9, 5, mid.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(back.Grid(), src.Grid());
    EXPECT_EQ(mid.Grid(), src.Grid());
}

INSTANTIATE_TEST_SUITE_P(EveryDepth, BlitConvertEvery, ::testing::ValuesIn(kFormats), FormatName);

// ---- FillRect ---------------------------------------------------------------------------

class FillRectEvery : public ::testing::TestWithParam<Format> {};

TEST_P(FillRectEvery, WhiteBrushFillsTheClippedRectangleOnly) {
    Surface s(MakeInfo(GetParam(), 6, 3));
    ASSERT_TRUE(s.ok());
    const HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    RECT r{1, 1, 4, 2};
    ASSERT_EQ(FillRect(s.dc(), &r, white), 1);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool inside = x >= 1 && x < 4 && y == 1;
            EXPECT_EQ(GetPixel(s.dc(), x, y), inside ? RGB(255, 255, 255) : RGB(0, 0, 0)) << x << "," << y;
        }
    RECT huge{INT_MIN, INT_MIN, INT_MAX, INT_MAX};
    ASSERT_EQ(FillRect(s.dc(), &huge, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))), 1);
    EXPECT_EQ(GetPixel(s.dc(), 2, 1), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(s.dc(), 5, 2), RGB(0, 0, 0));
}

INSTANTIATE_TEST_SUITE_P(EveryDepth, FillRectEvery, ::testing::ValuesIn(kFormats), FormatName);

TEST(FillRect, RefusesWhatItCannotFill) {
    Surface s(Info(24, 2, 2));
    const HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    RECT outside{2, 0, 5, 2}, empty{1, 1, 1, 2}, inverted{2, 2, 0, 0}, fine{0, 0, 2, 2};
    EXPECT_EQ(FillRect(s.dc(), &outside, white), 0);
    EXPECT_EQ(FillRect(s.dc(), &empty, white), 0);
    EXPECT_EQ(FillRect(s.dc(), &inverted, white), 0);
    EXPECT_EQ(FillRect(s.dc(), nullptr, white), 0);
    EXPECT_EQ(FillRect(s.dc(), &fine, reinterpret_cast<HBRUSH>(s.bitmap())), 0);
    EXPECT_EQ(FillRect(s.dc(), &fine, nullptr), 0);
    EXPECT_EQ(FillRect(nullptr, &fine, white), 0);
    EXPECT_EQ(GetPixel(s.dc(), 0, 0), RGB(0, 0, 0));
}

}  // namespace
}  // namespace faltrix::test
