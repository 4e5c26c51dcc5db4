// The area-averaging resampler (hand-worked examples to the byte, the refusals, and the
// reference results, sizes and progress of both inner loops), the palette probe and what the
// device resize copies into its new section.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "faltrix/device_resize.h"
#include "faltrix/resample.h"
#include "resample_kernel.h"

namespace faltrix {
namespace {

DIBSECTION Describe(HBITMAP bitmap) {
    DIBSECTION ds{};
    GetObjectW(bitmap, sizeof ds, &ds);
    return ds;
}

// A DIB section made through the graphics layer, deleted with the object.
struct Dib {
    Dib(int32_t width, int32_t height, int bitCount, const std::vector<RGBQUAD> &colours = {}, DWORD clrUsed = 0,
        DWORD compression = BI_RGB) {
        struct {
            BITMAPINFOHEADER header;
            RGBQUAD colours[256];
        } info{{40, width, height, 1, static_cast<WORD>(bitCount), compression, 0, 3780, 3780, clrUsed, 0}, {}};
        std::copy(colours.begin(), colours.end(), info.colours);
        void *pixels = nullptr;
        bitmap = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS, &pixels, nullptr, 0);
        bits = static_cast<uint8_t *>(pixels);
        stride = static_cast<size_t>(Describe(bitmap).dsBm.bmWidthBytes);
        size = stride * static_cast<size_t>(std::abs(height));
        std::mt19937 random(static_cast<uint32_t>(width) * 7919u + static_cast<uint32_t>(height));
        std::generate(bits, bits + size, [&random] { return static_cast<uint8_t>(random()); });
    }
    ~Dib() { DeleteObject(bitmap); }
    uint8_t *Row(size_t memoryRow) const { return bits + memoryRow * stride; }
    std::vector<uint8_t> Bytes() const { return {bits, bits + size}; }

    HBITMAP bitmap;
    uint8_t *bits;
    size_t stride, size;
};

// The pixel bytes of a 24-bit section, row after row in memory order, without row padding.
std::vector<uint8_t> Pixels(HBITMAP bitmap) {
    const DIBSECTION ds = Describe(bitmap);
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < ds.dsBm.bmHeight; ++y) {
        const auto *row = static_cast<const uint8_t *>(ds.dsBm.bmBits) + y * ds.dsBm.bmWidthBytes;
        out.insert(out.end(), row, row + 3 * ds.dsBm.bmWidth);
    }
    return out;
}

using Call = std::array<int32_t, 3>;  // done, total, data
std::vector<Call> g_calls;
int32_t Record(int32_t done, int32_t total, int32_t data) {
    g_calls.push_back({done, total, data});
    return 1;
}
// progress(0, 1, 0), then (i, pixels, 0) after every pixel i, then (1, 1, 0).
std::vector<Call> ProgressOf(size_t pixels) {
    std::vector<Call> calls{{0, 1, 0}};
    for (size_t i = 0; i < pixels; ++i) calls.push_back({static_cast<int32_t>(i), static_cast<int32_t>(pixels), 0});
    calls.push_back({1, 1, 0});
    return calls;
}

class ResampleTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (HBITMAP b : made_) DeleteObject(b);
        resample_detail::UseGenericKernel(false);
    }
    HBITMAP Resize(HBITMAP source, double sx, double sy) {
        g_calls.clear();
        made_.push_back(AreaAverageResize(source, sx, sy, Record));
        return made_.back();
    }
    std::vector<HBITMAP> made_;
};

TEST_F(ResampleTest, WorkedExamplesToTheByte) {
    // {width, height, sx, sy, source and result pixel bytes row after row, result header}
    const std::tuple<int32_t, int32_t, double, double, std::vector<uint8_t>, std::vector<uint8_t>, BITMAPINFOHEADER>
        examples[] = {
        // The last column of the last span lies outside the source.
        {5, 1, 0.6, 1.0, {10, 100, 200, 20, 110, 190, 30, 120, 180, 40, 130, 170, 50, 140, 160},
         {14, 104, 196, 25, 115, 185, 43, 133, 167}, {40, 3, 1, 1, 24, BI_RGB, 12, 2268, 3780, 0, 0}},
        // A lone last column weighs by the first rule.
        {2, 1, 1.5, 1.0, {0, 0, 0, 200, 100, 40}, {0, 0, 0, 50, 25, 10, 200, 100, 40},
         {40, 3, 1, 1, 24, BI_RGB, 12, 5670, 3780, 0, 0}},
        // The means are truncated.
        {2, 2, 0.5, 0.5, {1, 10, 100, 2, 20, 200, 3, 30, 31, 5, 50, 51}, {2, 27, 95},
         {40, 1, 1, 1, 24, BI_RGB, 4, 1890, 1890, 0, 0}},
    };
    for (const auto &[width, height, sx, sy, pixels, expected, expectedHeader] : examples) {
        Dib source(width, height, 24);
        for (int32_t y = 0; y < height; ++y) std::memcpy(source.Row(y), &pixels[3 * width * y], 3 * width);
        HBITMAP result = Resize(source.bitmap, sx, sy);
        ASSERT_NE(result, nullptr);
        const BITMAPINFOHEADER header = Describe(result).dsBmih;
        EXPECT_EQ(0, std::memcmp(&header, &expectedHeader, sizeof header)) << "header of " << width;
        EXPECT_EQ(Pixels(result), expected);
        EXPECT_EQ(g_calls, ProgressOf(expected.size() / 3));
    }
}

TEST_F(ResampleTest, RefusalsGiveNullAfterOneProgressCall) {
    const auto refused = [this](HBITMAP source, double sx, double sy) {
        return Resize(source, sx, sy) == nullptr && g_calls == std::vector<Call>{{0, 1, 0}};
    };
    for (int bits : {8, 16, 32}) EXPECT_TRUE(refused(Dib(10, 10, bits, std::vector<RGBQUAD>(256)).bitmap, 0.5, 0.5));
    EXPECT_TRUE(refused(nullptr, 0.5, 0.5));
    // An empty result: 49 * (1 / 49) is 0.9999999999999999, no pixel.
    Dib source(49, 4, 24);
    for (const auto &[sx, sy] : {std::pair{1.0 / 49, 1.0}, {1.0, 0.1}, {0.0, 1.0}, {-1.0, 1.0}}) {
        EXPECT_TRUE(refused(source.bitmap, sx, sy)) << sx << " " << sy;
    }
    EXPECT_TRUE(refused(Dib(1 << 20, 1, 24).bitmap, 0.001, 1.0));
    EXPECT_FALSE(refused(Dib((1 << 20) - 1, 1, 24).bitmap, 0.001, 1.0));
}

// FNV-1a of a result's pixel bytes, to hold the reference results of larger pictures.
uint64_t Fingerprint(const std::vector<uint8_t> &bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (uint8_t b : bytes) hash = (hash ^ b) * 1099511628211ull;
    return hash;
}

// Reference results of both inner loops, which must agree with each other to the byte, in
// size and in progress; a constant picture stays within one level and the identity reproduces the
// source. The sources are noise, or blocks of one colour each: under a block every mean is a
// whole number in exact arithmetic, so any change in the order of the operations shows as a
// byte one lower.
TEST_F(ResampleTest, BothKernelsGiveTheReferenceBytes) {
    // {width, height, sx, sy, result width, blocks, fingerprint of the result}
    const std::tuple<uint32_t, uint32_t, double, double, int32_t, bool, uint64_t> cases[] = {
        {37, 23, 1.0, 1.0, 37, false, 30320535227959192ull},
        {11, 3, 15.0 / 11, 1.0, 14, false, 5259609840665546640ull}, {7, 3, 61.0 / 7, 1.0, 60, false, 10246437493020283434ull},
        {273, 3, 3.0 / 273, 1.0, 3, false, 14054409842820147904ull},  // a span's last column lies just outside the source
        {97, 61, 31.0 / 97, 23.0 / 61, 30, false, 501585801260994560ull}, {13, 11, 41.0 / 13, 29.0 / 11, 41, false, 4111788075126083614ull},
        {50, 7, 17.0 / 50, 19.0 / 7, 17, false, 13094288676059192354ull}, {401, 3, 2.0 / 401, 1.0, 2, false, 8972628045134935660ull},
        {123, 77, 0.7071067811865476, 0.3183098861837907, 86, false, 16928265296169112378ull},
        {600, 400, 1234.0 / 6000, 777.0 / 4000, 123, true, 16919953295685850518ull},  // no row padding: the last row ends the section
        {301, 203, 97.0 / 301, 61.0 / 203, 97, true, 9730140531587884262ull}, {41, 37, 101.0 / 41, 89.0 / 37, 101, true, 4509771001368494751ull},
        {40000, 2, 70001.0 / 40000, 1.5, 70001, false, 13030615482703421803ull},  // wider than one column table: made in pieces
    };
    for (const auto &[width, height, sx, sy, resultWidth, blocks, fingerprint] : cases) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height << " by " << sx << ", " << sy);
        const Dib source(static_cast<int32_t>(width), static_cast<int32_t>(height), 24);
        for (uint32_t y = 0; blocks && y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                std::memcpy(source.Row(y) + 3 * x, source.Row(y / 9 * 9) + x / 11 * 33, 3);
            }
        }
        std::vector<uint8_t> results[2];
        for (bool generic : {false, true}) {
            resample_detail::UseGenericKernel(generic);
            HBITMAP result = Resize(source.bitmap, sx, sy);
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(Describe(result).dsBm.bmWidth, resultWidth);
            results[generic] = Pixels(result);
            EXPECT_EQ(g_calls, ProgressOf(results[generic].size() / 3));
        }
        EXPECT_TRUE(results[0] == results[1]) << "the kernels differ first at byte "
                                              << std::mismatch(results[0].begin(), results[0].end(), results[1].begin()).first - results[0].begin();
        EXPECT_EQ(Fingerprint(results[0]), fingerprint);
        if (sx == 1.0 && sy == 1.0) {
            EXPECT_EQ(results[0], Pixels(source.bitmap));
        }
        // The means are truncated, so a constant level may come out one lower, never more.
        std::memset(source.bits, 0x5C, source.size);
        const std::vector<uint8_t> constant = Pixels(Resize(source.bitmap, sx, sy));
        EXPECT_TRUE(std::all_of(constant.begin(), constant.end(), [](uint8_t b) { return b == 0x5C || b == 0x5B; }));
    }
}

// ---- Palette probe and device resize -------------------------------------------------------

std::vector<RGBQUAD> Palette(size_t n) {
    std::vector<RGBQUAD> p(n);
    for (size_t i = 0; i < n; ++i) {
        p[i] = {static_cast<BYTE>(i * 7 + 1), static_cast<BYTE>(~i), static_cast<BYTE>(i * 3), 0};
    }
    return p;
}

// A memory DC holding a bitmap.
struct Selected {
    explicit Selected(HBITMAP bitmap) : dc(CreateCompatibleDC(nullptr)) { SelectObject(dc, bitmap); }
    ~Selected() { DeleteDC(dc); }
    HDC dc;
};

TEST(Probe, ReadsTheEntriesThroughTheTopBitsAndLeavesThePixelsAsTheyWere) {
    // {bits, height, biClrUsed, first, limit, end index}. The pixels are noise: with 1 and 4 bits,
    // probing any bits but the top ones of the first byte reads other entries.
    const std::tuple<int, int32_t, DWORD, uint32_t, uint32_t, uint32_t> cases[] = {
        {1, 5, 0, 0, 256, 2},    {4, 5, 0, 0, 256, 16},  {8, 5, 0, 0, 256, 256}, {8, 5, 16, 0, 256, 16},
        {8, -5, 0, 0, 256, 256}, {4, -50, 0, 0, 256, 16}, {4, 4, 0, 3, 8, 8}};  // entries 3 to 7 to probed[0..4]
    for (const auto &[bits, height, clrUsed, first, limit, end] : cases) {
        const std::vector<RGBQUAD> palette = Palette(clrUsed != 0 ? clrUsed : 1u << bits);
        const Dib picture(9, height, bits, palette, clrUsed);
        const std::vector<uint8_t> before = picture.Bytes();
        std::vector<RGBQUAD> probed(257, RGBQUAD{9, 9, 9, 9});
        EXPECT_EQ(ReadPaletteByProbe(Selected(picture.bitmap).dc, first, limit, probed.data()), end);
        EXPECT_EQ(0, std::memcmp(probed.data(), &palette[first], (end - first) * sizeof(RGBQUAD))) << bits << " bits";
        EXPECT_EQ(probed[end - first].rgbReserved, 9);  // nothing written past the end index
        EXPECT_EQ(picture.Bytes(), before);
        EXPECT_EQ(ReadPaletteByProbe(Selected(picture.bitmap).dc, 0, 256, nullptr), 0u);
    }
    for (int bits : {16, 24, 32}) {
        std::vector<RGBQUAD> probed(256);
        EXPECT_EQ(ReadPaletteByProbe(Selected(Dib(4, 4, bits).bitmap).dc, 0, 256, probed.data()), 0u) << bits;
    }
}

TEST(DeviceResize, PassesBitFieldMasksOnAndClampsTheColourCount) {
    std::vector<RGBQUAD> masks(3);
    const DWORD fields[3] = {0xF800, 0x07E0, 0x001F};
    std::memcpy(masks.data(), fields, sizeof fields);
    // A 24-bit header may claim a colour table it does not use: the copy claims at most 256.
    for (const auto &[bits, colours, clrUsed] : {std::tuple{16, masks, 0u}, {24, std::vector<RGBQUAD>{}, 300u}}) {
        Dib source(6, 6, bits, colours, clrUsed, bits == 16 ? BI_BITFIELDS : BI_RGB);
        const DIBSECTION from = Describe(source.bitmap);
        const DeviceResizeResult r = DeviceResize(std::exchange(source.bitmap, nullptr), from, 3, 3);
        ASSERT_NE(r.bitmap, nullptr);
        const DIBSECTION to = Describe(r.bitmap);
        EXPECT_EQ(to.dsBmih.biCompression, from.dsBmih.biCompression);
        EXPECT_EQ(to.dsBmih.biClrUsed, std::min(clrUsed, 256u));
        EXPECT_EQ(0, std::memcmp(to.dsBitfields, bits == 16 ? fields : from.dsBitfields, sizeof fields));
        DeleteDC(r.storeDC);
        DeleteObject(r.bitmap);
    }
}

}  // namespace
}  // namespace faltrix
