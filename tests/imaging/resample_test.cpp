// The area-averaging resampler: the hand-worked examples to the byte, the size rules, the
// refusals, and byte identity with a plain implementation of the definition on random
// pictures, for both inner loops.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "faltrix/resample.h"
#include "resample_kernel.h"
#include "test_support.h"

namespace faltrix {
namespace {

using testing_support::Describe;
using testing_support::Dib;
using testing_support::ProgressCall;
using testing_support::RecordedProgress;
using testing_support::RecordProgress;

struct Pixel {
    uint8_t c0, c1, c2;
    bool operator==(const Pixel &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Pixel &p) {
    return os << "(" << int{p.c0} << ", " << int{p.c1} << ", " << int{p.c2} << ")";
}

void PutPixels(const Dib &dib, size_t memoryRow, const std::vector<Pixel> &pixels) {
    for (size_t i = 0; i < pixels.size(); ++i) std::memcpy(dib.Row(memoryRow) + 3 * i, &pixels[i], 3);
}

std::vector<Pixel> RowOf(HBITMAP bitmap, size_t memoryRow) {
    const DIBSECTION ds = Describe(bitmap);
    const auto *row = static_cast<const uint8_t *>(ds.dsBm.bmBits) + memoryRow * ds.dsBm.bmWidthBytes;
    std::vector<Pixel> out(static_cast<size_t>(ds.dsBm.bmWidth));
    for (size_t i = 0; i < out.size(); ++i) std::memcpy(&out[i], row + 3 * i, 3);
    return out;
}

class ResampleTest : public ::testing::Test {
protected:
    void SetUp() override { RecordedProgress().clear(); }
    // Every resize made through Resize is deleted at the end of the test.
    HBITMAP Resize(const Dib &source, double sx, double sy) {
        HBITMAP result = AreaAverageResize(source.get(), sx, sy, RecordProgress);
        if (result != nullptr) made_.push_back(result);
        return result;
    }
    void TearDown() override {
        for (HBITMAP b : made_) DeleteObject(b);
    }

private:
    std::vector<HBITMAP> made_;
};

// ---- The definition's own examples --------------------------------------------------------

TEST_F(ResampleTest, FiveToThreeColumnsWithAnOutsideRow) {
    Dib source(5, 1, 24);
    PutPixels(source, 0, {{10, 100, 200}, {20, 110, 190}, {30, 120, 180}, {40, 130, 170}, {50, 140, 160}});
    HBITMAP result = Resize(source, 0.6, 1.0);
    ASSERT_NE(result, nullptr);
    const DIBSECTION ds = Describe(result);
    EXPECT_EQ(ds.dsBmih.biSize, 40u);
    EXPECT_EQ(ds.dsBmih.biWidth, 3);
    EXPECT_EQ(ds.dsBmih.biHeight, 1);
    EXPECT_EQ(ds.dsBmih.biPlanes, 1);
    EXPECT_EQ(ds.dsBmih.biBitCount, 24);
    EXPECT_EQ(ds.dsBmih.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(ds.dsBmih.biSizeImage, 12u);
    EXPECT_EQ(ds.dsBmih.biXPelsPerMeter, 2268);
    EXPECT_EQ(ds.dsBmih.biYPelsPerMeter, 3780);
    EXPECT_EQ(ds.dsBmih.biClrUsed, 0u);
    EXPECT_EQ(RowOf(result, 0), (std::vector<Pixel>{{14, 104, 196}, {25, 115, 185}, {43, 133, 167}}));
    EXPECT_EQ(RecordedProgress(),
              (std::vector<ProgressCall>{{0, 1, 0}, {0, 3, 0}, {1, 3, 0}, {2, 3, 0}, {1, 1, 0}}));
}

TEST_F(ResampleTest, TwoToThreeColumnsWeighsALoneLastColumnByTheFirstRule) {
    Dib source(2, 1, 24);
    PutPixels(source, 0, {{0, 0, 0}, {200, 100, 40}});
    HBITMAP result = Resize(source, 1.5, 1.0);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(RowOf(result, 0), (std::vector<Pixel>{{0, 0, 0}, {50, 25, 10}, {200, 100, 40}}));
}

TEST_F(ResampleTest, TwoByTwoToOneTruncatesTheMeans) {
    Dib source(2, 2, 24);
    PutPixels(source, 0, {{1, 10, 100}, {2, 20, 200}});
    PutPixels(source, 1, {{3, 30, 31}, {5, 50, 51}});
    HBITMAP result = Resize(source, 0.5, 0.5);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(RowOf(result, 0), (std::vector<Pixel>{{2, 27, 95}}));
    EXPECT_EQ(RecordedProgress(), (std::vector<ProgressCall>{{0, 1, 0}, {0, 1, 0}, {1, 1, 0}}));
}

// ---- Sizes ----------------------------------------------------------------------------------

TEST_F(ResampleTest, ScaleOneReproducesTheSourceByteForByte) {
    Dib source(37, 23, 24);
    source.FillRandom(7);
    HBITMAP result = Resize(source, 1.0, 1.0);
    ASSERT_NE(result, nullptr);
    const DIBSECTION ds = Describe(result);
    ASSERT_EQ(ds.dsBm.bmWidth, 37);
    ASSERT_EQ(ds.dsBm.bmHeight, 23);
    for (size_t y = 0; y < 23; ++y) {
        ASSERT_EQ(0, std::memcmp(source.Row(y), static_cast<const uint8_t *>(ds.dsBm.bmBits) + y * ds.dsBm.bmWidthBytes,
                                 3 * 37))
            << "row " << y;
    }
}

struct SizeCase {
    const char *name;
    int32_t sourceWidth;
    int32_t requested;  // the scale factor is requested / sourceWidth, as the jobs form it
    int32_t expected;
};
void PrintTo(const SizeCase &c, std::ostream *os) { *os << c.name; }
class ResampleSizeTest : public ResampleTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ResampleSizeTest, WidthIsTheTruncatedProduct) {
    const SizeCase &c = GetParam();
    Dib source(c.sourceWidth, 3, 24);
    const double sx = static_cast<double>(c.requested) / c.sourceWidth;
    HBITMAP result = Resize(source, sx, 1.0);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(Describe(result).dsBmih.biWidth, c.expected);
    // One call before, one per destination pixel with the pixel count as total, one after.
    const auto &calls = RecordedProgress();
    ASSERT_EQ(calls.size(), static_cast<size_t>(c.expected) * 3 + 2);
    EXPECT_EQ(calls[1], (ProgressCall{0, c.expected * 3, 0}));
    EXPECT_EQ(calls[calls.size() - 2], (ProgressCall{c.expected * 3 - 1, c.expected * 3, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ResampleSizeTest,
    ::testing::Values(SizeCase{"ElevenToFifteenGivesFourteen", 11, 15, 14},
                      SizeCase{"SevenToSixtyOneGivesSixty", 7, 61, 60},
                      SizeCase{"TwoHundredSeventyThreeToThree", 273, 3, 3}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Refusals -------------------------------------------------------------------------------

class ResampleDepthTest : public ResampleTest, public ::testing::WithParamInterface<int> {};

TEST_P(ResampleDepthTest, OtherDepthsAreRefusedAfterOneProgressCall) {
    std::vector<RGBQUAD> palette(GetParam() <= 8 ? 256 : 0);
    Dib source(10, 10, GetParam(), palette);
    ASSERT_NE(source.get(), nullptr);
    EXPECT_EQ(Resize(source, 0.5, 0.5), nullptr);
    EXPECT_EQ(RecordedProgress(), (std::vector<ProgressCall>{{0, 1, 0}}));
}

INSTANTIATE_TEST_SUITE_P(Depths, ResampleDepthTest, ::testing::Values(8, 16, 32),
                         [](const auto &info) { return std::to_string(info.param) + "Bits"; });

TEST_F(ResampleTest, AnEmptyResultIsRefused) {
    // 49 * (1 / 49) is 0.9999999999999999: no pixel.
    Dib source(49, 4, 24);
    EXPECT_EQ(Resize(source, 1.0 / 49.0, 1.0), nullptr);
    EXPECT_EQ(Resize(source, 1.0, 0.1), nullptr);
    EXPECT_EQ(Resize(source, 0.0, 1.0), nullptr);
    EXPECT_EQ(Resize(source, -1.0, 1.0), nullptr);
}

TEST_F(ResampleTest, SourcesOfTwoToTheTwentyColumnsAreRefused) {
    Dib wide((1 << 20), 1, 24);
    ASSERT_NE(wide.get(), nullptr);
    EXPECT_EQ(Resize(wide, 0.001, 1.0), nullptr);
    Dib justBelow((1 << 20) - 1, 1, 24);
    ASSERT_NE(justBelow.get(), nullptr);
    EXPECT_NE(Resize(justBelow, 0.001, 1.0), nullptr);
}

TEST_F(ResampleTest, NoBitmapIsRefused) {
    EXPECT_EQ(AreaAverageResize(nullptr, 0.5, 0.5, RecordProgress), nullptr);
    EXPECT_EQ(RecordedProgress(), (std::vector<ProgressCall>{{0, 1, 0}}));
}

// ---- Orientation ---------------------------------------------------------------------------

TEST_F(ResampleTest, ATopDownSourceGivesATopDownResultWithTheSameRowOrder) {
    Dib source(4, -4, 24);
    ASSERT_NE(source.get(), nullptr);
    for (size_t y = 0; y < 4; ++y) {
        PutPixels(source, y, std::vector<Pixel>(4, Pixel{static_cast<uint8_t>(10 * y), 0, 0}));
    }
    HBITMAP result = Resize(source, 0.5, 0.5);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(Describe(result).dsBmih.biHeight, -2);
    // Memory row 0 (the top row of both) averages source rows 0 and 1.
    EXPECT_EQ(RowOf(result, 0)[0].c0, 5);
    EXPECT_EQ(RowOf(result, 1)[0].c0, 25);
}

// ---- Against a plain implementation of the definition --------------------------------------

// Every step as defined: spans and weights per pixel, every term in order, outside pixels
// skipped. Compiled with -ffp-contract=off like the resampler.
std::vector<uint8_t> ReferenceResize(const Dib &source, double sx, double sy, uint32_t *outW, uint32_t *outH) {
    const DIBSECTION ds = Describe(source.get());
    const uint32_t srcW = static_cast<uint32_t>(ds.dsBm.bmWidth);
    const uint32_t srcH = static_cast<uint32_t>(ds.dsBm.bmHeight);
    const uint32_t W = static_cast<uint32_t>(srcW * sx);
    const uint32_t H = static_cast<uint32_t>(srcH * sy);
    const uint32_t stride = (3 * W + 3) & ~3u;
    const uint32_t colStep = static_cast<uint32_t>((1.0 / sx) * 4096.0);
    const uint32_t rowStep = static_cast<uint32_t>((1.0 / sy) * 4096.0);
    auto weight = [](uint32_t n, uint32_t first, uint32_t last, uint32_t d, double s) {
        if (n == first) return (n + 1) * s - static_cast<double>(static_cast<int32_t>(n * s));
        if (n == last) return (d + 1) - n * s;
        return s;
    };
    std::vector<uint8_t> out(static_cast<size_t>(stride) * H);
    for (uint32_t y = 0; y < H; ++y) {
        for (uint32_t x = 0; x < W; ++x) {
            const uint32_t x0 = (colStep * x) >> 12, x1 = (colStep * (x + 1)) >> 12;
            const uint32_t y0 = (rowStep * y) >> 12, y1 = (rowStep * (y + 1)) >> 12;
            double sum[3] = {0.0, 0.0, 0.0};
            double weights = 0.0;
            for (uint32_t j = y0; j <= y1; ++j) {
                for (uint32_t n = x0; n <= x1; ++n) {
                    const double wx = weight(n, x0, x1, x, sx);
                    const double wy = weight(j, y0, y1, y, sy);
                    if (n < srcW && j < srcH) {
                        const uint8_t *p = source.Row(j) + 3 * n;
                        for (int k = 0; k < 3; ++k) sum[k] = (p[k] * wy) * wx + sum[k];
                        weights = wy * wx + weights;
                    }
                }
            }
            for (int k = 0; k < 3; ++k) {
                out[y * stride + 3 * x + k] = static_cast<uint8_t>(static_cast<uint32_t>(sum[k] / weights));
            }
        }
    }
    *outW = W;
    *outH = H;
    return out;
}

struct RandomCase {
    const char *name;
    int32_t width;
    int32_t height;
    double sx;
    double sy;
    // Noise, or blocks of one random colour each: under a block every mean is a whole number
    // in exact arithmetic, so any change in the order of the operations shows as a byte one
    // lower.
    bool blocks = false;
};
void PrintTo(const RandomCase &c, std::ostream *os) { *os << c.name; }

class ResampleReferenceTest : public ResampleTest,
                              public ::testing::WithParamInterface<std::tuple<RandomCase, bool>> {
protected:
    void TearDown() override {
        resample_detail::UseGenericKernel(false);
        ResampleTest::TearDown();
    }
};

TEST_P(ResampleReferenceTest, BytesEqualThePlainDefinition) {
    const auto &[c, generic] = GetParam();
    resample_detail::UseGenericKernel(generic);
    Dib source(c.width, c.height, 24);
    source.FillRandom(static_cast<uint32_t>(c.width * 7919 + c.height));
    if (c.blocks) {
        for (size_t y = 0; y < source.rows(); ++y) {
            for (int32_t x = 0; x < c.width; ++x) {
                // Every pixel takes the colour of its block's first pixel.
                std::memcpy(source.Row(y) + 3 * x, source.Row(y / 9 * 9) + 3 * (x / 11 * 11), 3);
            }
        }
    }
    uint32_t W = 0, H = 0;
    const std::vector<uint8_t> expected = ReferenceResize(source, c.sx, c.sy, &W, &H);
    HBITMAP result = Resize(source, c.sx, c.sy);
    ASSERT_NE(result, nullptr);
    const DIBSECTION ds = Describe(result);
    ASSERT_EQ(static_cast<uint32_t>(ds.dsBm.bmWidth), W);
    ASSERT_EQ(static_cast<uint32_t>(ds.dsBm.bmHeight), H);
    const auto *bits = static_cast<const uint8_t *>(ds.dsBm.bmBits);
    for (uint32_t y = 0; y < H; ++y) {
        for (uint32_t x = 0; x < 3 * W; ++x) {
            const size_t at = static_cast<size_t>(y) * ds.dsBm.bmWidthBytes + x;
            ASSERT_EQ(int{bits[at]}, int{expected[at]}) << "row " << y << ", byte " << x;
        }
    }
    EXPECT_EQ(RecordedProgress().size(), static_cast<size_t>(W) * H + 2);
}

INSTANTIATE_TEST_SUITE_P(
    RandomPictures, ResampleReferenceTest,
    ::testing::Combine(
        ::testing::Values(RandomCase{"QuarterNoRowPadding", 64, 48, 0.25, 0.25},
                          RandomCase{"OddShrink", 97, 61, 31.0 / 97, 23.0 / 61},
                          RandomCase{"OddShrinkNoRowPadding", 100, 37, 31.0 / 100, 11.0 / 37},
                          RandomCase{"OddEnlarge", 13, 11, 41.0 / 13, 29.0 / 11},
                          RandomCase{"ShrinkOneEnlargeOther", 50, 7, 17.0 / 50, 19.0 / 7},
                          RandomCase{"TinyFactor", 401, 3, 2.0 / 401, 1.0},
                          RandomCase{"NearOne", 40, 40, 39.0 / 40, 41.0 / 40},
                          RandomCase{"IrrationalFactors", 123, 77, 0.7071067811865476, 0.3183098861837907},
                          RandomCase{"SixThousandLikeRatio", 600, 400, 1234.0 / 6000, 777.0 / 4000},
                          RandomCase{"BlocksSixThousandLikeRatio", 600, 400, 1234.0 / 6000, 777.0 / 4000, true},
                          RandomCase{"BlocksOddShrink", 301, 203, 97.0 / 301, 61.0 / 203, true},
                          RandomCase{"BlocksOddEnlarge", 41, 37, 101.0 / 41, 89.0 / 37, true},
                          // Wider than one column table: the spans are made afresh in pieces.
                          RandomCase{"WiderThanOneColumnTable", 40000, 2, 70001.0 / 40000, 1.5}),
        ::testing::Bool()),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Generic" : "Best");
    });

}  // namespace
}  // namespace faltrix
