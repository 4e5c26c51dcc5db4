// Pixels: GetPixel through palettes and masks, BitBlt and StretchBlt (copies, scaling,
// mirroring, clipping, conversion between formats) and FillRect.
#include <climits>
#include <tuple>

#include "gdi_test_util.h"

namespace faltrix::test {
namespace {

// ---- Every format the layer knows ---------------------------------------------------------

struct Format {
    const char *name;
    int bits;
    DWORD compression;
    DWORD masks[3];  // as GetObjectW reports them; a BI_BITFIELDS section is made with them
    int colours;     // colour table entries (0: none)
    LONG stride;     // bytes of a row of 13 pixels
};
void PrintTo(const Format &f, std::ostream *os) { *os << f.name; }

const Format kFormats[] = {
    {"OneBit", 1, BI_RGB, {0, 0, 0}, 2, 4},
    {"FourBits", 4, BI_RGB, {0, 0, 0}, 16, 8},
    {"EightBits", 8, BI_RGB, {0, 0, 0}, 256, 16},
    {"EightBitsTwelveColours", 8, BI_RGB, {0, 0, 0}, 12, 16},
    {"Sixteen555", 16, BI_RGB, {0x7C00, 0x03E0, 0x001F}, 0, 28},
    {"Sixteen565", 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}, 0, 28},
    {"TwentyFour", 24, BI_RGB, {0, 0, 0}, 0, 40},
    {"ThirtyTwo", 32, BI_RGB, {0xFF0000, 0x00FF00, 0x0000FF}, 0, 52},
    {"ThirtyTwoRgbMasks", 32, BI_BITFIELDS, {0x0000FF, 0x00FF00, 0xFF0000}, 0, 52},
    {"ThirtyTwoTenBitMasks", 32, BI_BITFIELDS, {0x3FF00000, 0x000FFC00, 0x000003FF}, 0, 52},
};

// Index 0 is black and 1 white, so that FillRect has exact colours; the rest are distinct.
// The caller's biSizeImage is to be replaced by the real figure, the rest of the header kept.
Info MakeInfo(const Format &f, int32_t w, int32_t h) {
    Info info = Info(f.bits, w, h)
                    .Set(&BITMAPINFOHEADER::biXPelsPerMeter, 3780)
                    .Set(&BITMAPINFOHEADER::biSizeImage, 12345);
    if (f.compression == BI_BITFIELDS) info.Masks(f.masks[0], f.masks[1], f.masks[2]);
    std::vector<RGBQUAD> table{Quad(0, 0, 0), Quad(255, 255, 255)};
    for (int i = 2; i < f.colours; ++i)
        table.push_back(Quad(uint8_t(i * 37), uint8_t(255 - i), uint8_t(i * 5)));
    return f.colours > 0 ? info.Colours(table) : info;
}

class EveryDepth : public ::testing::TestWithParam<Format> {};

// A whole picture of odd width (padded rows, a partial last byte) copies byte for byte into
// either row order, indices beyond a short table included, into a section that GetObjectW
// describes as made; then blocks within it, a trip through 24 bits and back, and FillRect.
TEST_P(EveryDepth, CopiesDescribesAndFills) {
    const Format &f = GetParam();
    Surface src(MakeInfo(f, 13, 7)), mid(Info(24, 13, -7));
    src.FillRandom(42);
    for (int32_t height : {7, -7}) {
        Surface dst(MakeInfo(f, 13, height));
        ASSERT_TRUE(height > 0 ? BitBlt(dst.dc, 0, 0, 13, 7, src.dc, 0, 0, SRCCOPY)
                               : StretchBlt(dst.dc, 0, 0, 13, 7, src.dc, 0, 0, 13, 7, SRCCOPY));
        for (int32_t y = 0; y < 7; ++y)
            EXPECT_EQ(dst.PixelBytes(y), src.PixelBytes(y)) << "row " << y << " " << height;
        // The caller's header comes back with the real image size.
        DIBSECTION ds;
        ASSERT_EQ(GetObjectW(dst.bitmap, sizeof ds, &ds), static_cast<int>(sizeof ds));
        const BITMAP &bm = ds.dsBm;
        EXPECT_EQ(std::tuple(bm.bmType, bm.bmWidth, bm.bmHeight, bm.bmWidthBytes, bm.bmPlanes,
                             bm.bmBitsPixel, bm.bmBits),
                  std::tuple(0, 13, 7, f.stride, 1, f.bits, dst.bits));
        BITMAPINFOHEADER header = dst.header;
        header.biSizeImage = static_cast<DWORD>(f.stride * 7);
        EXPECT_EQ(std::memcmp(&ds.dsBmih, &header, sizeof header), 0);
        EXPECT_EQ(std::tuple(ds.dsBitfields[0], ds.dsBitfields[1], ds.dsBitfields[2], ds.dshSection,
                             ds.dsOffset),
                  std::tuple(f.masks[0], f.masks[1], f.masks[2], nullptr, 0u));
        // w x 3 blocks from (xs, 2) of the source to (xd, 1) of the copy: every pixel around
        // each stays as it was (at 1 and 4 bits, also the other pixels sharing its bytes). At
        // 1 and 4 bits the first block starts on a byte boundary in neither bitmap (4 bits: in
        // the source only), the second in the copy only, the third in both, so that whole
        // bytes move, then a partial one.
        for (auto [xd, xs, w] :
             std::initializer_list<std::tuple<int, int, int>>{{3, 4, 5}, {8, 3, 4}, {0, 0, 11}}) {
            std::vector<COLORREF> want = dst.Pixels();
            for (int y = 1; y < 4; ++y)
                for (int x = xd; x < xd + w; ++x)
                    want[y * 13 + x] = GetPixel(src.dc, x - xd + xs, y + 1);
            ASSERT_TRUE(BitBlt(dst.dc, xd, 1, w, 3, src.dc, xs, 2, SRCCOPY));
            EXPECT_EQ(dst.Pixels(), want) << xd << " " << height;
        }
    }
    // Through 24 bits and back: with indices kept within the table, every colour is one the
    // format holds, so the colours come back.
    if (f.bits == 8)
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 13; ++x) src.Row(y)[x] %= f.colours;
    Surface back(MakeInfo(f, 13, 7));
    ASSERT_TRUE(BitBlt(mid.dc, 0, 0, 13, 7, src.dc, 0, 0, SRCCOPY));
    ASSERT_TRUE(BitBlt(back.dc, 0, 0, 13, 7, mid.dc, 0, 0, SRCCOPY));
    EXPECT_EQ(mid.Pixels(), src.Pixels());
    EXPECT_EQ(back.Pixels(), src.Pixels());
    // FillRect fills the clipped rectangle; with nothing to fill or no rectangle it answers 0
    // and changes nothing.
    RECT r{1, 1, 4, 2}, huge{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, outside{13, 0, 16, 7},
        empty{1, 1, 1, 2}, inverted{3, 3, 0, 0};
    std::vector<COLORREF> want = back.Pixels();
    std::fill_n(want.begin() + 14, 3, RGB(255, 255, 255));
    ASSERT_EQ(FillRect(back.dc, &r, kWhiteBrush), 1);
    for (const RECT *q : {&outside, &empty, &inverted, static_cast<RECT *>(nullptr)})
        EXPECT_EQ(FillRect(back.dc, q, kWhiteBrush), 0);
    EXPECT_EQ(back.Pixels(), want);
    ASSERT_EQ(FillRect(back.dc, &huge, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))), 1);
    EXPECT_EQ(back.Pixels(), std::vector<COLORREF>(13 * 7, RGB(0, 0, 0)));
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryDepth, ::testing::ValuesIn(kFormats), kCaseName);

// ---- One row: its colours, its colour table, and its bytes after a copy ------------------

using Row = std::vector<uint8_t>;
using Colours = std::vector<COLORREF>;

struct RowCase {
    const char *name;
    Info src;
    Row from;                   // the source row's bytes
    Colours colours;            // GetPixel of x = 0, 1, ...
    Info dst = Info(24, 1, 1);  // the whole source row is copied onto the whole
    Row after{};                // destination row (none without after), mirrored or not
    bool mirrored = false;
};
void PrintTo(const RowCase &c, std::ostream *os) { *os << c.name; }

const RGBQUAD kBlack = Quad(0, 0, 0), kWhite = Quad(255, 255, 255), kNine = Quad(9, 9, 9),
              kRed = Quad(255, 0, 0), kBlue = Quad(0, 0, 255);
const COLORREF kB = RGB(0, 0, 0), kW = RGB(255, 255, 255), kR = RGB(255, 0, 0), kG = RGB(0, 255, 0),
               kU = RGB(0, 0, 255);
const RowCase kRows[] = {
    {"OneBit", Info(1, 4, 1).Colours({kNine, kRed}), Row{0xA0},
     Colours{kR, RGB(9, 9, 9), kR, RGB(9, 9, 9)}},
    {"FourBits", Info(4, 4, 1).Colours({kBlack, Quad(3, 30, 33), Quad(8, 80, 88), kBlue}),
     Row{0x13, 0x02}, Colours{RGB(3, 30, 33), kU, kB, RGB(8, 80, 88)}},
    // An index beyond a short colour table reads as black.
    {"EightBitsShortTable", Info(8, 4, 1).Colours({Quad(1, 2, 3), kWhite, Quad(7, 8, 9)}),
     Row{2, 0, 1, 200}, Colours{RGB(7, 8, 9), RGB(1, 2, 3), kW, kB}},
    // Five-bit fields widen so that the largest value is 255.
    {"Sixteen555", Info(16, 4, 1), Row{0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0x10, 0x42},
     Colours{kR, kG, kU, RGB(132, 132, 132)}},
    {"Sixteen565", Info(16, 4, 1).Masks(0xF800, 0x07E0, 0x001F),
     Row{0x00, 0xF8, 0xE0, 0x07, 0x00, 0x04, 0x01, 0x00},
     Colours{kR, kG, RGB(0, 130, 0), RGB(0, 0, 8)}},
    {"ThirtyTwoIgnoresFourthByte", Info(32, 2, 1), Row{1, 2, 3, 0xFF, 9, 8, 7, 0x80},
     Colours{RGB(3, 2, 1), RGB(7, 8, 9)}},
    {"ThirtyTwoRgbMasks", Info(32, 1, 1).Masks(0xFF, 0xFF00, 0xFF0000), Row{1, 2, 3, 4},
     Colours{RGB(1, 2, 3)}},
    // Ten-bit fields round as the codecs do: 3 of 1023 is 1, not 0.
    {"ThirtyTwoTenBitMasks", Info(32, 2, 1).Masks(0x3FF00000, 0x000FFC00, 0x3FF),
     Row{0x03, 0, 0, 0, 0, 0, 0xF0, 0x3F}, Colours{RGB(0, 0, 1), kR}},
    // Equal tables copy indices, even where the same colour stands under two of them.
    {"EqualTablesCopyIndices", Info(8, 4, 1).Colours({kBlack, kWhite, kWhite, kNine}),
     Row{2, 1, 3, 2}, Colours{kW, kW, RGB(9, 9, 9), kW},
     Info(8, 4, 1).Colours({kBlack, kWhite, kWhite, kNine}), Row{2, 1, 3, 2}},
    {"OneBitMirroredWhileHalved", Info(1, 8, 1).Colours({kBlack, kWhite}), Row{0x55},
     Colours{kB, kW, kB, kW, kB, kW, kB, kW}, Info(1, 4, 1).Colours({kBlack, kWhite}), Row{0xF0},
     true},
    // A table of the same size whose reds are the same but not its greens and blues.
    {"OtherTableTakesTheNearestEntry", Info(8, 3, 1).Colours({kRed, Quad(0, 255, 0), kBlue}),
     Row{0, 1, 2}, Colours{kR, kG, kU},
     Info(8, 3, 1).Colours({kRed, Quad(0, 0, 240), Quad(0, 250, 0)}), Row{0, 2, 1}},
    {"SixteenBitsRoundEachField", Info(24, 2, 1), Row{0, 128, 255, 0, 0, 0},
     Colours{RGB(255, 128, 0), kB}, Info(16, 2, 1), Row{0x00, 0x7E, 0, 0}},
    // No count: the whole table of 256 entries.
    {"ThirtyTwoBitsClearTheFourthByte",
     Info(8, 2, 1)
         .Colours({kBlack, kBlack, kBlack, kBlack, kBlack, Quad(10, 20, 30)})
         .Set(&BITMAPINFOHEADER::biClrUsed, 0),
     Row{5, 0}, Colours{RGB(10, 20, 30), kB}, Info(32, 2, -1), Row{30, 20, 10, 0, 0, 0, 0, 0}},
};

class OneRow : public ::testing::TestWithParam<RowCase> {};

TEST_P(OneRow, ReadsThroughPaletteOrMasksAndCopies) {
    const RowCase &c = GetParam();
    Surface src(c.src), dst(c.dst);
    std::memcpy(src.Row(0), c.from.data(), c.from.size());
    EXPECT_EQ(src.Pixels(), c.colours);
    for (auto [x, y] : std::initializer_list<std::pair<int, int>>{
             {-1, 0}, {src.header.biWidth, 0}, {0, 1}, {0, -1}})
        EXPECT_EQ(GetPixel(src.dc, x, y), CLR_INVALID);
    // GetDIBColorTable copies the part of the table from an entry on that the buffer takes.
    const WORD bits = c.src.header.biBitCount;
    const UINT entries = bits > 8                      ? 0
                         : c.src.header.biClrUsed != 0 ? c.src.header.biClrUsed
                                                       : 1u << bits;
    RGBQUAD table[256];
    EXPECT_EQ(GetDIBColorTable(src.dc, 1, 256, table), std::max(entries, 1u) - 1);
    EXPECT_EQ(std::memcmp(table, c.src.colours + 1, (std::max(entries, 1u) - 1) * sizeof(RGBQUAD)),
              0);
    EXPECT_EQ(GetDIBColorTable(src.dc, entries, 1, table) + GetDIBColorTable(src.dc, 0, 1, nullptr),
              0u);
    if (c.after.empty()) return;
    dst.FillRandom(9);
    const int w = dst.header.biWidth;
    ASSERT_TRUE(StretchBlt(dst.dc, c.mirrored ? w : 0, 0, c.mirrored ? -w : w, 1, src.dc, 0, 0,
                           src.header.biWidth, 1, SRCCOPY));
    EXPECT_EQ(dst.PixelBytes(0), c.after);
}

INSTANTIATE_TEST_SUITE_P(Pixels, OneRow, ::testing::ValuesIn(kRows), kCaseName);

// ---- Scaling, mirroring and clipping: hand-worked grids -----------------------------------

// Each case copies from a 6 x 6 bottom-up source to a 4 x 4 top-down destination; a negative
// extent covers the pixels from x + extent to x - 1.
struct StretchCase {
    const char *name;
    int xd, yd, wd, hd, xs, ys, ws, hs;
    std::vector<int> columns, rows;  // the source column and row each pixel shows; -1: none
};
void PrintTo(const StretchCase &c, std::ostream *os) { *os << c.name; }

const std::vector<int> kNone{-1, -1, -1, -1}, kSame{0, 1, 2, 3}, kTurned{3, 2, 1, 0};
const StretchCase kStretches[] = {
    {"HalvedAcrossTripledDown", 0, 0, 2, 6, 0, 0, 4, 2, {1, 3, -1, -1}, {0, 0, 0, 1}},
    {"FiveToThree", 0, 0, 3, 3, 0, 0, 5, 5, {0, 2, 4, -1}, {0, 2, 4, -1}},
    // Mirrored along an axis where exactly one of the extents is negative (both axes share one
    // rule: across, the destination's extent; down, the source's).
    {"MirroredDestinationWidthAndSourceHeight", 4, 0, -4, 4, 0, 4, 4, -4, kTurned, kTurned},
    {"BothExtentsMirroredOnBothAxes", 4, 4, -4, -4, 4, 4, -4, -4, kSame, kSame},
    // Copies partly outside either bitmap copy the overlap only.
    {"DestinationBeforeTheTopLeft", -1, -1, 4, 4, 0, 0, 4, 4, {1, 2, 3, -1}, {1, 2, 3, -1}},
    {"SourcePastTheBottomRight", 0, 0, 4, 4, 4, 4, 4, 4, {4, 5, -1, -1}, {4, 5, -1, -1}},
    {"SourceBeforeTheTopLeft", 0, 0, 4, 4, -2, -1, 4, 4, {-1, -1, 0, 1}, {-1, 0, 1, 2}},
    {"OneCornerPixel", 3, 3, 4, 4, 0, 0, 4, 4, {-1, -1, -1, 0}, {-1, -1, -1, 0}},
    // Scaling is over the whole rectangles, however far they reach; two pixels showing the
    // last two of a mirrored 2^31 both fall on source pixel 0.
    {"OnePixelOverTheWholeRange", 0, 0, INT_MAX, INT_MAX, 0, 0, 1, 1, {0, 0, 0, 0}, {0, 0, 0, 0}},
    {"MirroredTwoToThe31", 2, 2, INT_MIN, INT_MIN, 0, 0, 4, 4, {0, 0, -1, -1}, {0, 0, -1, -1}},
    // Wholly outside, empty, or (the first pixel's centre far beyond the source) showing nothing.
    {"RightOfTheDestination", 4, 0, 4, 4, 0, 0, 4, 4, kNone, kNone},
    {"BelowTheSource", 0, 0, 4, 4, 0, 6, 4, 4, kNone, kNone},
    {"AtIntMax", INT_MAX, 0, 4, 4, 0, 0, 4, 4, kNone, kNone},
    {"SourceAtIntMin", 0, 0, 4, 4, INT_MIN, INT_MIN, 4, 4, kNone, kNone},
    {"ReadsOnlyBeforeTheFirstPixel", 2, 2, 4, 4, -2, -2, 4, 4, kNone, kNone},
    {"ZeroSourceHeight", 0, 0, 4, 4, 0, 0, 4, 0, kNone, kNone},
    {"CentreBeyondTheSource", 0, 0, 4, 4, 0, 0, INT_MAX, INT_MAX, kNone, kNone},
    {"EveryExtreme", INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MIN, INT_MIN, kNone,
     kNone},
};

class Stretch : public ::testing::TestWithParam<StretchCase> {};

// The destination starts white; a pixel that shows no source pixel stays so, and a copy that
// shows none at all fails. Any raster operation but SRCCOPY is refused.
TEST_P(Stretch, NearestNeighbourGrid) {
    const StretchCase &c = GetParam();
    Surface src(Info(24, 6, 6)), dst(Info(24, 4, -4));
    src.FillRandom(7);
    RECT all{0, 0, 4, 4};
    ASSERT_EQ(FillRect(dst.dc, &all, kWhiteBrush), 1);
    std::vector<COLORREF> want;
    for (int y : c.rows)
        for (int x : c.columns)
            want.push_back(x < 0 || y < 0 ? RGB(255, 255, 255) : GetPixel(src.dc, x, y));
    auto some = [](const std::vector<int> &v) {
        return std::ranges::any_of(v, [](int i) { return i >= 0; });
    };
    EXPECT_FALSE(StretchBlt(dst.dc, c.xd, c.yd, c.wd, c.hd, src.dc, c.xs, c.ys, c.ws, c.hs,
                            0x00EE0086 /* SRCPAINT */));
    EXPECT_EQ(StretchBlt(dst.dc, c.xd, c.yd, c.wd, c.hd, src.dc, c.xs, c.ys, c.ws, c.hs, SRCCOPY),
              some(c.columns) && some(c.rows));
    EXPECT_EQ(dst.Pixels(), want);
}

INSTANTIATE_TEST_SUITE_P(StretchBlt, Stretch, ::testing::ValuesIn(kStretches), kCaseName);

// Rightwards by one over both rows, then the top row mirrored onto itself: each pixel is
// read before any is written.
TEST(BitBlt, WithinOneBitmapReadsBeforeWriting) {
    Surface s(Info(24, 4, 2));
    s.FillRandom(3);
    const std::vector<COLORREF> p = s.Pixels();
    ASSERT_TRUE(BitBlt(s.dc, 1, 0, 3, 2, s.dc, 0, 0, SRCCOPY));
    ASSERT_TRUE(StretchBlt(s.dc, 4, 0, -4, 1, s.dc, 0, 0, 4, 1, SRCCOPY));
    EXPECT_EQ(s.Pixels(), (std::vector<COLORREF>{p[2], p[1], p[0], p[0], p[4], p[4], p[5], p[6]}));
}

// More than 65536 destination columns, mirrored and converted: the per-column tables are
// made strip by strip.
TEST(StretchBlt, RowsWiderThanOneStripOfColumns) {
    Surface src(Info(24, 70000, 1)), wide(Info(32, 70000, -1));
    src.FillRandom(5);
    ASSERT_TRUE(StretchBlt(wide.dc, 70000, 0, -70000, 1, src.dc, 0, 0, 70000, 1, SRCCOPY));
    for (int x = 0; x < 70000; ++x)
        ASSERT_EQ(GetPixel(wide.dc, x, 0), GetPixel(src.dc, 69999 - x, 0)) << x;
}

}  // namespace
}  // namespace faltrix::test
