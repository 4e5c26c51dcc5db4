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
void PrintTo(const Format &f, std::ostream *os) { *os << f.name; }

// Index 0 is black and 1 white, so that FillRect has exact colours; the rest are distinct.
Info MakeInfo(const Format &f, int32_t w, int32_t h) {
    Info info(f.bits, w, h);
    if (f.masks[0] != 0) info.Masks(f.masks[0], f.masks[1], f.masks[2]);
    std::vector<RGBQUAD> table{Quad(0, 0, 0), Quad(255, 255, 255)};
    for (int i = 2; i < f.colours; ++i) table.push_back(Quad(uint8_t(i * 37), uint8_t(255 - i), uint8_t(i * 5)));
    if (f.colours > 0) info.Colours(table);
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

void FillRandom(const Surface &s, unsigned seed) {
    std::mt19937 rng(seed);
    for (int32_t y = 0; y < s.height(); ++y)
        for (uint32_t i = 0; i < s.stride(); ++i) s.Row(y)[i] = static_cast<uint8_t>(rng());
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
    EXPECT_EQ(s.Pixels(), c.expected);
    for (auto [x, y] : std::initializer_list<std::pair<int, int>>{{-1, 0}, {s.width(), 0}, {0, 1}, {0, -1}}) EXPECT_EQ(GetPixel(s.dc(), x, y), CLR_INVALID);
}

INSTANTIATE_TEST_SUITE_P(
    GetPixel, ReadPixel,
    ::testing::Values(
        PixelCase{"OneBit", Info(1, 4, 1).Colours({Quad(10, 20, 30), Quad(200, 100, 50)}), {0xA0},
                  {RGB(200, 100, 50), RGB(10, 20, 30), RGB(200, 100, 50), RGB(10, 20, 30)}},
        PixelCase{"FourBits", Info(4, 4, 1).Colours({Quad(0, 0, 0), Quad(3, 30, 33), Quad(8, 80, 88), Quad(15, 150, 155)}),
                  {0x13, 0x02}, {RGB(3, 30, 33), RGB(15, 150, 155), RGB(0, 0, 0), RGB(8, 80, 88)}},
        // An index beyond a short colour table reads as black.
        PixelCase{"EightBitsShortTable", Info(8, 4, 1).Colours({Quad(1, 2, 3), Quad(4, 5, 6), Quad(7, 8, 9), Quad(250, 251, 252)}),
                  {2, 0, 3, 200}, {RGB(7, 8, 9), RGB(1, 2, 3), RGB(250, 251, 252), RGB(0, 0, 0)}},
        // Five-bit fields widen so that the largest value is 255.
        PixelCase{"Sixteen555", Info(16, 4, 1), {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0x10, 0x42},
                  {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255), RGB(132, 132, 132)}},
        PixelCase{"Sixteen565", Info(16, 4, 1).Masks(0xF800, 0x07E0, 0x001F), {0x00, 0xF8, 0xE0, 0x07, 0x00, 0x04, 0x01, 0x00},
                  {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 130, 0), RGB(0, 0, 8)}},
        PixelCase{"TwentyFour", Info(24, 2, 1), {1, 2, 3, 250, 251, 252}, {RGB(3, 2, 1), RGB(252, 251, 250)}},
        PixelCase{"ThirtyTwoIgnoresFourthByte", Info(32, 2, 1), {1, 2, 3, 0xFF, 9, 8, 7, 0x80}, {RGB(3, 2, 1), RGB(7, 8, 9)}},
        PixelCase{"ThirtyTwoRgbMasks", Info(32, 1, 1).Masks(0xFF, 0xFF00, 0xFF0000), {1, 2, 3, 4}, {RGB(1, 2, 3)}},
        PixelCase{"ThirtyTwoTenBitMasks", Info(32, 2, 1).Masks(0x3FF00000, 0x000FFC00, 0x000003FF),
                  {0xFF, 0x03, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F}, {RGB(0, 0, 255), RGB(255, 0, 0)}}),
    [](const ::testing::TestParamInfo<PixelCase> &i) { return std::string(i.param.name); });

TEST(GetPixel, SeesEveryWriteIntoPixelMemory) {
    // The first byte of a bottom-up picture's memory holds its bottom-left pixels.
    Info info(4, 3, 50);
    for (int i = 0; i < 16; ++i) info.colours[i] = Quad(uint8_t(i * 16), uint8_t(i), 7);
    Surface s(info);
    for (uint8_t i = 0; i < 16; ++i) {
        s.bits()[0] = static_cast<uint8_t>(i << 4 | 5);
        EXPECT_EQ(GetPixel(s.dc(), 0, 49), RGB(i * 16, i, 7));
        EXPECT_EQ(GetPixel(s.dc(), 1, 49), RGB(80, 5, 7));
    }
}

// ---- Same-size copies ---------------------------------------------------------------------

class EveryDepth : public ::testing::TestWithParam<Format> {};

TEST_P(EveryDepth, SameSizeCopyReproducesEveryByteInDeviceOrder) {
    // Source bottom-up, destination top-down (so bottom-up and top-down rows must agree in device
    // coordinates), an odd width so that rows have padding and (at 1 and 4 bits) a partial last byte.
    Surface src(MakeInfo(GetParam(), 13, 7));
    ASSERT_TRUE(src.ok());
    FillRandom(src, 42);
    for (bool stretch : {false, true}) {
        Surface dst(MakeInfo(GetParam(), 13, -7));
        ASSERT_TRUE(stretch ? StretchBlt(dst.dc(), 0, 0, 13, 7, src.dc(), 0, 0, 13, 7, SRCCOPY)
                            : BitBlt(dst.dc(), 0, 0, 13, 7, src.dc(), 0, 0, SRCCOPY));
        for (int32_t y = 0; y < 7; ++y) EXPECT_EQ(dst.PixelBytes(y), src.PixelBytes(y)) << "row " << y << " " << stretch;
    }
}

// A w x 3 block from (xs, 2) of the source to (xd, 1) of the destination: every pixel around
// it stays as it was (at 1 and 4 bits, also the other pixels sharing its bytes). The second
// block starts and ends on byte boundaries at 1 and 4 bits: whole bytes move, then a partial one.
TEST_P(EveryDepth, BlockCopyKeepsNeighbours) {
    for (auto [xd, xs, w] : std::initializer_list<std::tuple<int, int, int>>{{3, 4, 5}, {8, 0, 11}}) {
        Surface src(MakeInfo(GetParam(), 19, 6)), dst(MakeInfo(GetParam(), 20, -5));
        ASSERT_TRUE(src.ok() && dst.ok());
        FillRandom(src, 1);
        FillRandom(dst, 2);
        std::vector<COLORREF> want = dst.Pixels();
        for (int y = 1; y < 4; ++y)
            for (int x = xd; x < xd + w; ++x) want[y * 20 + x] = GetPixel(src.dc(), x - xd + xs, y + 1);
        ASSERT_TRUE(BitBlt(dst.dc(), xd, 1, w, 3, src.dc(), xs, 2, SRCCOPY));
        EXPECT_EQ(dst.Pixels(), want) << xd;
    }
}

// Any format to 24 bits and back: each pixel's colour is representable in the original
// format, so the round trip gives the same colours.
TEST_P(EveryDepth, ConversionThroughTwentyFourBitsAndBackKeepsColours) {
    const Format &f = GetParam();
    Surface src(MakeInfo(f, 9, 5)), mid(Info(24, 9, -5)), back(MakeInfo(f, 9, 5));
    FillRandom(src, 5);
    if (f.bits == 8)  // keep indices within a short table so that every pixel has a colour of its own
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 9; ++x) src.Row(y)[x] %= f.colours;
    ASSERT_TRUE(BitBlt(mid.dc(), 0, 0, 9, 5, src.dc(), 0, 0, SRCCOPY));
    ASSERT_TRUE(BitBlt(back.dc(), 0, 0, 9, 5, mid.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(mid.Pixels(), src.Pixels());
    EXPECT_EQ(back.Pixels(), src.Pixels());
}

TEST_P(EveryDepth, FillRectFillsTheClippedRectangleOnly) {
    Surface s(MakeInfo(GetParam(), 6, 3));
    ASSERT_TRUE(s.ok());
    RECT r{1, 1, 4, 2};
    ASSERT_EQ(FillRect(s.dc(), &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))), 1);
    std::vector<COLORREF> want(18, RGB(0, 0, 0));
    std::fill_n(want.begin() + 7, 3, RGB(255, 255, 255));
    EXPECT_EQ(s.Pixels(), want);
    RECT huge{INT_MIN, INT_MIN, INT_MAX, INT_MAX};
    ASSERT_EQ(FillRect(s.dc(), &huge, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))), 1);
    EXPECT_EQ(s.Pixels(), std::vector<COLORREF>(18, RGB(0, 0, 0)));
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryDepth, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format> &i) { return std::string(i.param.name); });

TEST(BitBlt, WithinOneBitmapReadsBeforeWriting) {
    Surface s(Info(24, 4, 2));
    PaintGradient(s);
    ASSERT_TRUE(BitBlt(s.dc(), 1, 0, 3, 2, s.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(s.Pixels(), GradientOf(4, 2, [](int x) { return x == 0 ? 0 : x - 1; }, [](int y) { return y; }));
    // And upwards, scaled, from the bottom row.
    ASSERT_TRUE(StretchBlt(s.dc(), 0, 0, 4, 1, s.dc(), 0, 1, 2, 1, SRCCOPY));
    EXPECT_EQ(GetPixel(s.dc(), 3, 0), GradientColour(0, 1));  // was (1, 1) before
}

// ---- Scaling and mirroring --------------------------------------------------------------

struct StretchCase {
    const char *name;
    int32_t srcW, srcH, dstW, dstH;  // a negative dstH makes a top-down destination
    int xd, yd, wd, hd, xs, ys, ws, hs;
    std::vector<int> columns, rows;  // the source column and row each destination pixel shows
};
void PrintTo(const StretchCase &c, std::ostream *os) { *os << c.name; }

class Stretch : public ::testing::TestWithParam<StretchCase> {};

TEST_P(Stretch, NearestNeighbourGrid) {
    const StretchCase &c = GetParam();
    Surface src(Info(24, c.srcW, c.srcH)), dst(Info(24, c.dstW, c.dstH));
    PaintGradient(src);
    ASSERT_TRUE(StretchBlt(dst.dc(), c.xd, c.yd, c.wd, c.hd, src.dc(), c.xs, c.ys, c.ws, c.hs, SRCCOPY));
    EXPECT_EQ(dst.Pixels(), GradientOf(c.dstW, std::abs(c.dstH), [&](int x) { return c.columns[x]; },
                                       [&](int y) { return c.rows[y]; }));
}

// A negative extent covers the pixels from x + extent to x - 1.
INSTANTIATE_TEST_SUITE_P(
    StretchBlt, Stretch,
    ::testing::Values(StretchCase{"HalvingPicksThePixelUnderEachCentre", 4, 4, 2, 2, 0, 0, 2, 2, 0, 0, 4, 4, {1, 3}, {1, 3}},
                      StretchCase{"Tripling", 2, 2, 6, -6, 0, 0, 6, 6, 0, 0, 2, 2, {0, 0, 0, 1, 1, 1}, {0, 0, 0, 1, 1, 1}},
                      StretchCase{"FiveToThree", 5, 1, 3, 1, 0, 0, 3, 1, 0, 0, 5, 1, {0, 2, 4}, {0}},
                      StretchCase{"MirroredDestinationWidth", 4, 3, 4, 3, 4, 0, -4, 3, 0, 0, 4, 3, {3, 2, 1, 0}, {0, 1, 2}},
                      StretchCase{"MirroredSourceWidth", 4, 3, 4, 3, 0, 0, 4, 3, 4, 0, -4, 3, {3, 2, 1, 0}, {0, 1, 2}},
                      StretchCase{"BothWidthsMirrored", 4, 3, 4, 3, 4, 0, -4, 3, 4, 0, -4, 3, {0, 1, 2, 3}, {0, 1, 2}},
                      StretchCase{"MirroredDestinationHeight", 4, 3, 4, 3, 0, 3, 4, -3, 0, 0, 4, 3, {0, 1, 2, 3}, {2, 1, 0}},
                      StretchCase{"MirroredSourceHeight", 4, 3, 4, 3, 0, 0, 4, 3, 0, 3, 4, -3, {0, 1, 2, 3}, {2, 1, 0}},
                      StretchCase{"MirroredBothAxes", 4, 3, 4, 3, 4, 3, -4, -3, 0, 0, 4, 3, {3, 2, 1, 0}, {2, 1, 0}}),
    [](const ::testing::TestParamInfo<StretchCase> &i) { return std::string(i.param.name); });

TEST(StretchBlt, MirroredWhileScaledAndPalettised) {
    // 1 bit, 8 pixels onto 4, mirrored: index copy of pixels 7, 5, 3, 1.
    const Info info = Info(1, 8, 1).Colours({Quad(0, 0, 0), Quad(255, 255, 255)});
    Surface src(info), dst(info);
    src.Row(0)[0] = 0x55;  // 0 1 0 1 0 1 0 1
    ASSERT_TRUE(StretchBlt(dst.dc(), 4, 0, -4, 1, src.dc(), 0, 0, 8, 1, SRCCOPY));
    EXPECT_EQ(dst.Row(0)[0], 0xF0);
}

TEST(StretchBlt, RowsWiderThanOneStripOfColumns) {
    // More than 65536 destination columns: the per-column tables are made strip by strip.
    Info grey(8, 140001, 1);
    for (int i = 0; i < 256; ++i) grey.colours[i] = Quad(uint8_t(i), uint8_t(i), 1);
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
    std::vector<COLORREF> Shifted(int dx, int dy, int x0, int x1, int y0, int y1) {
        std::vector<COLORREF> want;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                want.push_back(x >= x0 && x < x1 && y >= y0 && y < y1 ? GradientColour(x + dx, y + dy) : RGB(255, 255, 255));
        return want;
    }
    Surface src{Info(24, 4, 4)};
    Surface dst{Info(24, 4, -4)};
};

TEST_F(BlitClipping, PartlyOutsideCopiesTheOverlapOnly) {
    // {xd, yd, xs, ys} of a 4 x 4 copy, then the shift and the rectangle it shows in.
    const int cases[][10] = {{-1, -1, 0, 0, 1, 1, 0, 3, 0, 3}, {0, 0, 2, 2, 2, 2, 0, 2, 0, 2},
                            {0, 0, -2, -1, -2, -1, 2, 4, 1, 4}, {3, 3, 0, 0, -3, -3, 3, 4, 3, 4}};
    for (const auto &c : cases) {
        SetUp();
        ASSERT_TRUE(BitBlt(dst.dc(), c[0], c[1], 4, 4, src.dc(), c[2], c[3], SRCCOPY));
        EXPECT_EQ(dst.Pixels(), Shifted(c[4], c[5], c[6], c[7], c[8], c[9])) << c[0] << " " << c[1] << " " << c[2] << " " << c[3];
    }
}

TEST_F(BlitClipping, WhollyOutsideFailsAndTouchesNothing) {
    const int cases[][6] = {{4, 0, 4, 4, 0, 0},       {0, 4, 4, 4, 0, 0},    {-4, 0, 4, 4, 0, 0},
                            {0, 0, 4, 4, 4, 0},       {0, 0, 4, 4, 0, -4},   {INT_MAX, 0, 4, 4, 0, 0},
                            {INT_MIN, 0, 4, 4, 0, 0}, {0, 0, 4, 4, INT_MIN, INT_MIN}, {0, 0, 0, 4, 0, 0},
                            {0, 0, 4, 0, 0, 0},       {2, 2, 4, 4, -2, -2} /* reads only before the first pixel */};
    for (const auto &c : cases)
        EXPECT_FALSE(BitBlt(dst.dc(), c[0], c[1], c[2], c[3], src.dc(), c[4], c[5], SRCCOPY))
            << c[0] << " " << c[1] << " " << c[2] << " " << c[3] << " " << c[4] << " " << c[5];
    EXPECT_FALSE(StretchBlt(dst.dc(), 0, 0, 4, 4, src.dc(), 0, 0, 0, 4, SRCCOPY));
    EXPECT_FALSE(StretchBlt(dst.dc(), 0, 0, 4, 4, src.dc(), 0, 0, 4, 4, 0x00EE0086 /* SRCPAINT */));
    EXPECT_EQ(dst.Pixels(), std::vector<COLORREF>(16, RGB(255, 255, 255)));
}

TEST_F(BlitClipping, ScalingIsOverTheWholeRectanglesEvenWhenExtreme) {
    // Destination 8 x 8 of which the bitmap shows the top-left 4 x 4: a doubled source
    // whose visible part is the source's top-left quarter.
    ASSERT_TRUE(StretchBlt(dst.dc(), 0, 0, 8, 8, src.dc(), 0, 0, 4, 4, SRCCOPY));
    auto half = [](int v) { return v / 2; };
    EXPECT_EQ(dst.Pixels(), GradientOf(4, 4, half, half));
    ASSERT_TRUE(StretchBlt(dst.dc(), 0, 0, INT_MAX, INT_MAX, src.dc(), 0, 0, 1, 1, SRCCOPY));
    EXPECT_EQ(GetPixel(dst.dc(), 3, 3), GradientColour(0, 0));
    // Four pixels showing 2^31 - 1: the first one's centre already lies far beyond the source.
    EXPECT_FALSE(StretchBlt(dst.dc(), 0, 0, 4, 4, src.dc(), 0, 0, INT_MAX, INT_MAX, SRCCOPY));
    // Two pixels showing the last two of a mirrored 2^31: both fall on source pixel 0.
    SetUp();
    ASSERT_TRUE(StretchBlt(dst.dc(), 2, 2, INT_MIN, INT_MIN, src.dc(), 0, 0, 4, 4, SRCCOPY));
    EXPECT_EQ(GetPixel(dst.dc(), 1, 1), GradientColour(0, 0));
    EXPECT_FALSE(StretchBlt(dst.dc(), INT_MAX, INT_MAX, INT_MAX, INT_MAX, src.dc(), INT_MAX, INT_MAX, INT_MIN, INT_MIN, SRCCOPY));
}

// ---- Palettes and conversion ------------------------------------------------------------

TEST(BlitPalettised, EqualTablesCopyIndicesEvenWhenColoursRepeat) {
    // The same colour under two indices.
    const Info info = Info(8, 4, 1).Colours({Quad(0, 0, 0), Quad(255, 255, 255), Quad(255, 255, 255), Quad(9, 9, 9)});
    Surface src(info), dst(info);
    const uint8_t indices[4] = {2, 1, 3, 2};
    std::memcpy(src.Row(0), indices, 4);
    ASSERT_TRUE(StretchBlt(dst.dc(), 0, 0, 4, 1, src.dc(), 0, 0, 4, 1, SRCCOPY));
    EXPECT_EQ(std::memcmp(dst.Row(0), indices, 4), 0);
}

TEST(BlitPalettised, OtherTableTakesTheNearestEntry) {
    Surface src(Info(8, 3, 1).Colours({Quad(255, 0, 0), Quad(0, 255, 0), Quad(0, 0, 255)}));
    Surface dst(Info(4, 3, 1).Colours({Quad(0, 0, 0), Quad(250, 0, 0), Quad(0, 0, 240), Quad(10, 240, 0)}));
    const uint8_t indices[3] = {0, 1, 2};
    std::memcpy(src.Row(0), indices, 3);
    ASSERT_TRUE(BitBlt(dst.dc(), 0, 0, 3, 1, src.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(dst.Row(0)[0], 0x13);  // 1, 3
    EXPECT_EQ(dst.Row(0)[1] & 0xF0, 0x20);
}

TEST(BlitConvert, IntoSixteenBitsRoundsEachFieldAndThirtyTwoClearsTheFourthByte) {
    Surface src(Info(24, 1, 1)), dst(Info(16, 1, 1));
    const uint8_t bgr[3] = {0, 128, 255};
    std::memcpy(src.Row(0), bgr, 3);
    ASSERT_TRUE(BitBlt(dst.dc(), 0, 0, 1, 1, src.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(dst.Row(0)[0] | (dst.Row(0)[1] << 8), 0x7E00);  // 31, 16, 0
    EXPECT_EQ(GetPixel(dst.dc(), 0, 0), RGB(255, 132, 0));
    Info info(8, 2, 1);
    info.colours[5] = Quad(10, 20, 30);
    Surface indexed(info), wide(Info(32, 2, -1));
    std::memset(wide.Row(0), 0xFF, 8);
    indexed.Row(0)[0] = 5;
    ASSERT_TRUE(BitBlt(wide.dc(), 0, 0, 2, 1, indexed.dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(wide.PixelBytes(0), (std::vector<uint8_t>{30, 20, 10, 0, 0, 0, 0, 0}));
}

TEST(FillRect, RefusesWhatItCannotFill) {
    Surface s(Info(24, 2, 2));
    const HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    RECT outside{2, 0, 5, 2}, empty{1, 1, 1, 2}, inverted{2, 2, 0, 0}, fine{0, 0, 2, 2};
    for (const RECT *r : {&outside, &empty, &inverted, static_cast<RECT *>(nullptr)}) EXPECT_EQ(FillRect(s.dc(), r, white), 0);
    EXPECT_EQ(FillRect(s.dc(), &fine, reinterpret_cast<HBRUSH>(s.bitmap())), 0);
    EXPECT_EQ(FillRect(s.dc(), &fine, nullptr), 0);
    EXPECT_EQ(FillRect(nullptr, &fine, white), 0);
    EXPECT_EQ(s.Pixels(), std::vector<COLORREF>(4, RGB(0, 0, 0)));
}

}  // namespace
}  // namespace faltrix::test
