// The area-averaging resampler (the worked examples to the byte, the refusals, and the bytes,
// sizes and progress of both inner loops against a plain implementation), the palette probe
// and what the device resize copies into its new section.
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

// Every step of the definition pixel by pixel: spans and weights, every term in order, terms
// outside the source skipped. Compiled with -ffp-contract=off like the resampler.
std::vector<uint8_t> PlainResize(const Dib &source, uint32_t width, uint32_t height, double sx, double sy) {
    const auto W = static_cast<uint32_t>(width * sx), H = static_cast<uint32_t>(height * sy);
    const auto colStep = static_cast<uint32_t>((1.0 / sx) * 4096.0);
    const auto rowStep = static_cast<uint32_t>((1.0 / sy) * 4096.0);
    const auto weight = [](uint32_t n, uint32_t first, uint32_t last, uint32_t d, double s) {
        if (n == first) return (n + 1) * s - static_cast<double>(static_cast<int32_t>(n * s));
        if (n == last) return (d + 1) - n * s;
        return s;
    };
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < H; ++y) {
        for (uint32_t x = 0; x < W; ++x) {
            const uint32_t x0 = (colStep * x) >> 12, x1 = (colStep * (x + 1)) >> 12;
            const uint32_t y0 = (rowStep * y) >> 12, y1 = (rowStep * (y + 1)) >> 12;
            double sum[3] = {0.0, 0.0, 0.0}, weights = 0.0;
            for (uint32_t j = y0; j <= y1 && j < height; ++j) {
                for (uint32_t n = x0; n <= x1 && n < width; ++n) {
                    const double wx = weight(n, x0, x1, x, sx), wy = weight(j, y0, y1, y, sy);
                    for (int k = 0; k < 3; ++k) sum[k] = (source.Row(j)[3 * n + k] * wy) * wx + sum[k];
                    weights = wy * wx + weights;
                }
            }
            for (double s : sum) out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(s / weights)));
        }
    }
    return out;
}

TEST_F(ResampleTest, BothKernelsMatchAPlainImplementationInBytesSizeAndProgress) {
    // {width, height, sx, sy, result width, blocks}. Noise, or blocks of one colour each: under a
    // block every mean is a whole number in exact arithmetic, so any change in the order of the
    // operations shows as a byte one lower.
    const std::tuple<uint32_t, uint32_t, double, double, int32_t, bool> cases[] = {
        {37, 23, 1.0, 1.0, 37, false},  // reproduces the source, see below
        {11, 3, 15.0 / 11, 1.0, 14, false}, {7, 3, 61.0 / 7, 1.0, 60, false},
        {273, 3, 3.0 / 273, 1.0, 3, false},  // a span's last column lies just outside the source
        {97, 61, 31.0 / 97, 23.0 / 61, 30, false}, {13, 11, 41.0 / 13, 29.0 / 11, 41, false},
        {50, 7, 17.0 / 50, 19.0 / 7, 17, false}, {401, 3, 2.0 / 401, 1.0, 2, false},
        {123, 77, 0.7071067811865476, 0.3183098861837907, 86, false},
        {600, 400, 1234.0 / 6000, 777.0 / 4000, 123, true},  // no row padding: the last row ends the section
        {301, 203, 97.0 / 301, 61.0 / 203, 97, true}, {41, 37, 101.0 / 41, 89.0 / 37, 101, true},
        {40000, 2, 70001.0 / 40000, 1.5, 70001, false},  // wider than one column table: made in pieces
    };
    for (const auto &[width, height, sx, sy, resultWidth, blocks] : cases) {
        const Dib source(static_cast<int32_t>(width), static_cast<int32_t>(height), 24);
        for (uint32_t y = 0; blocks && y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) {
                std::memcpy(source.Row(y) + 3 * x, source.Row(y / 9 * 9) + x / 11 * 33, 3);
            }
        }
        const std::vector<uint8_t> expected = PlainResize(source, width, height, sx, sy);
        if (sx == 1.0 && sy == 1.0) {
            EXPECT_EQ(expected, Pixels(source.bitmap));
        }
        for (bool generic : {false, true}) {
            resample_detail::UseGenericKernel(generic);
            HBITMAP result = Resize(source.bitmap, sx, sy);
            ASSERT_NE(result, nullptr);
            EXPECT_EQ(Describe(result).dsBm.bmWidth, resultWidth);
            const std::vector<uint8_t> got = Pixels(result);
            ASSERT_EQ(got.size(), expected.size());
            EXPECT_TRUE(got == expected) << width << "x" << height << (generic ? " generic" : " best")
                                         << ": first difference at byte "
                                         << std::mismatch(got.begin(), got.end(), expected.begin()).first - got.begin();
            EXPECT_EQ(g_calls, ProgressOf(expected.size() / 3));
        }
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
