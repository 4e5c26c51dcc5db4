// The area-averaging resampler (hand-worked grids and reference results to the byte, from
// both inner loops, with their progress; the refusals) and the colours the device resize
// keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "faltrix/device_resize.h"
#include "faltrix/resample.h"
#include "raw_format.h"
#include "resample_kernel.h"

namespace faltrix {
namespace {

using raw_test::Describe;
using raw_test::NoiseSection;
using raw_test::Selected;

uint8_t *Row(HBITMAP bitmap, int32_t memoryRow) {
    const DIBSECTION ds = Describe(bitmap);
    return static_cast<uint8_t *>(ds.dsBm.bmBits) + memoryRow * ds.dsBm.bmWidthBytes;
}
// A 24-bit section's pixel bytes row after row, without padding.
std::vector<uint8_t> Pixels(HBITMAP bitmap) {
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < Describe(bitmap).dsBm.bmHeight; ++y) {
        out.insert(out.end(), Row(bitmap, y), Row(bitmap, y) + 3 * Describe(bitmap).dsBm.bmWidth);
    }
    return out;
}

using Call = std::array<int32_t, 3>;  // done, total, data
std::vector<Call> g_calls;
int32_t Record(int32_t done, int32_t total, int32_t data) {
    g_calls.push_back({done, total, data});
    return 1;
}
// The resampler's result, with the progress calls it made in g_calls.
HBITMAP Resize(HBITMAP source, double sx, double sy) {
    g_calls.clear();
    return AreaAverageResize(source, sx, sy, Record);
}
// progress(0, 1, 0), then (i, pixels, 0) after every pixel i, then (1, 1, 0).
std::vector<Call> ProgressOf(size_t pixels) {
    std::vector<Call> calls{{0, 1, 0}};
    for (size_t i = 0; i < pixels; ++i)
        calls.push_back({static_cast<int32_t>(i), static_cast<int32_t>(pixels), 0});
    calls.push_back({1, 1, 0});
    return calls;
}

// FNV-1a of a result's header and pixel bytes, to hold the reference results of larger pictures.
uint64_t Fingerprint(HBITMAP result) {
    const BITMAPINFOHEADER header = Describe(result).dsBmih;
    const auto *head = reinterpret_cast<const uint8_t *>(&header);
    std::vector<uint8_t> bytes = Pixels(result);
    bytes.insert(bytes.begin(), head, head + sizeof header);
    uint64_t hash = 14695981039346656037ull;
    for (uint8_t b : bytes) hash = (hash ^ b) * 1099511628211ull;
    return hash;
}

// Both inner loops must give the reference result to the byte, in size and in progress: the
// hand-worked grid where one is given, and always the fingerprint. The sources are the grid,
// noise, or blocks of one colour each: under a block every mean is a whole number in exact
// arithmetic, so any change in the order of the operations shows as a byte one lower. The
// identity reproduces the source.
TEST(Resample, BothKernelsGiveTheReferenceBytes) {
    enum Source { kGrid, kNoise, kBlocks };
    // {width, height, sx, sy, source, its pixel bytes row after row and the result's, fingerprint}
    using Bytes = std::vector<uint8_t>;
    const std::tuple<int32_t, int32_t, double, double, Source, Bytes, Bytes, uint64_t> cases[] = {
        // The last column of the last span lies outside the source.
        {5, 1, 0.6, 1.0, kGrid,
         Bytes{10, 100, 200, 20, 110, 190, 30, 120, 180, 40, 130, 170, 50, 140, 160},
         Bytes{14, 104, 196, 25, 115, 185, 43, 133, 167}, 17483627432714718602ull},
        // A lone last column weighs by the first rule.
        {2, 1, 1.5, 1.0, kGrid, Bytes{0, 0, 0, 200, 100, 40},
         Bytes{0, 0, 0, 50, 25, 10, 200, 100, 40}, 3200064922877425531ull},
        // The means are truncated.
        {2, 2, 0.5, 0.5, kGrid, Bytes{1, 10, 100, 2, 20, 200, 3, 30, 31, 5, 50, 51},
         Bytes{2, 27, 95}, 3045626412879826796ull},
        {37, 23, 1.0, 1.0, kNoise, Bytes{}, Bytes{}, 10183270966159128307ull},
        {11, 3, 15.0 / 11, 1.0, kNoise, Bytes{}, Bytes{}, 8192476677719937132ull},
        {7, 3, 61.0 / 7, 1.0, kNoise, Bytes{}, Bytes{}, 11791365935698770912ull},
        // A span's last column lies just outside the source.
        {273, 3, 3.0 / 273, 1.0, kNoise, Bytes{}, Bytes{}, 5465443966096773270ull},
        {97, 61, 31.0 / 97, 23.0 / 61, kNoise, Bytes{}, Bytes{}, 10002932818947473722ull},
        {13, 11, 41.0 / 13, 29.0 / 11, kNoise, Bytes{}, Bytes{}, 4520703791898796699ull},
        {50, 7, 17.0 / 50, 19.0 / 7, kNoise, Bytes{}, Bytes{}, 14317371520528073906ull},
        {401, 3, 2.0 / 401, 1.0, kNoise, Bytes{}, Bytes{}, 11655796028374583644ull},
        {123, 77, 0.7071067811865476, 0.3183098861837907, kNoise, Bytes{}, Bytes{},
         1581678122136556012ull},
        // No row padding: the last row ends the section.
        {600, 400, 1234.0 / 6000, 777.0 / 4000, kBlocks, Bytes{}, Bytes{}, 4912115206178723048ull},
        {301, 203, 97.0 / 301, 61.0 / 203, kBlocks, Bytes{}, Bytes{}, 13598117197739753883ull},
        {41, 37, 101.0 / 41, 89.0 / 37, kBlocks, Bytes{}, Bytes{}, 11705854267785168663ull},
        // Wider than one column table: made in pieces.
        {40000, 2, 70001.0 / 40000, 1.5, kNoise, Bytes{}, Bytes{}, 4673061762474447987ull},
    };
    for (const auto &[width, height, sx, sy, kind, grid, expected, fingerprint] : cases) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height << " by " << sx << ", " << sy);
        const Selected source(NoiseSection(width, height, 24));
        for (int32_t y = 0; y < height; ++y) {
            if (kind == kGrid) std::memcpy(Row(source.bitmap, y), &grid[3 * width * y], 3 * width);
            for (int32_t x = 0; x < width && kind == kBlocks; ++x) {
                std::memcpy(Row(source.bitmap, y) + 3 * x,
                            Row(source.bitmap, y / 9 * 9) + x / 11 * 33, 3);
            }
        }
        for (bool generic : {false, true}) {
            resample_detail::UseGenericKernel(generic);
            const Selected result(Resize(source.bitmap, sx, sy));
            ASSERT_NE(result.bitmap, nullptr);
            const std::vector<uint8_t> pixels = Pixels(result.bitmap);
            EXPECT_EQ(g_calls, ProgressOf(pixels.size() / 3));
            EXPECT_EQ(Fingerprint(result.bitmap), fingerprint)
                << (generic ? "the generic" : "the vector") << " kernel";
            // The hand-worked result where one is given; the identity gives the source back.
            EXPECT_EQ(pixels, expected.empty() ? pixels : expected);
            EXPECT_EQ(pixels, sx == 1.0 && sy == 1.0 ? Pixels(source.bitmap) : pixels);
        }
        resample_detail::UseGenericKernel(false);
    }
}

TEST(Resample, RefusalsGiveNullAfterOneProgressCall) {
    const auto refused = [](HBITMAP source, double sx, double sy) {
        const Selected kept(source);
        return Selected(Resize(source, sx, sy)).bitmap == nullptr &&
               g_calls == std::vector<Call>{{0, 1, 0}};
    };
    for (int bits : {8, 16, 32})
        EXPECT_TRUE(refused(NoiseSection(10, 10, bits, std::vector<RGBQUAD>(256)), 0.5, 0.5));
    EXPECT_TRUE(refused(nullptr, 0.5, 0.5));
    // An empty result: 49 * (1 / 49) is 0.9999999999999999, no pixel.
    for (const auto &[sx, sy] : {std::pair{1.0 / 49, 1.0}, {1.0, 0.1}, {0.0, 1.0}, {-1.0, 1.0}}) {
        EXPECT_TRUE(refused(NoiseSection(49, 4, 24), sx, sy)) << sx << " " << sy;
    }
    EXPECT_TRUE(refused(NoiseSection(1 << 20, 1, 24), 0.001, 1.0));
    EXPECT_FALSE(refused(NoiseSection((1 << 20) - 1, 1, 24), 0.001, 1.0));
}

// ---- Device resize -------------------------------------------------------------------------

// At the picture's own size the device resize shows every pixel in its colour: the colour
// table read back by probing the top bits of the first pixel in memory (in either row order)
// and the pixel left as it was, or the bit-field masks passed on. A 24-bit header's claim of a
// table it does not use comes out cut to 256.
TEST(DeviceResize, KeepsEveryColourAtTheSameSize) {
    const DWORD fields[3] = {0xF800, 0x07E0, 0x001F};
    // {bits, height, biClrUsed, biCompression}
    const std::tuple<int, int32_t, DWORD, DWORD> cases[] = {{1, 5, 0, BI_RGB},
                                                            {4, -5, 0, BI_RGB},
                                                            {8, 5, 16, BI_RGB},
                                                            {16, 4, 0, BI_BITFIELDS},
                                                            {24, 4, 300, BI_RGB}};
    for (const auto &[bits, height, clrUsed, compression] : cases) {
        std::vector<RGBQUAD> colours(bits == 16     ? 3
                                     : bits > 8     ? 0
                                     : clrUsed != 0 ? clrUsed
                                                    : 1u << bits);
        for (size_t i = 0; i < colours.size(); ++i)
            colours[i] = {BYTE(i * 7 + 1), BYTE(~i), BYTE(i * 3), 0};
        if (bits == 16) std::memcpy(colours.data(), fields, sizeof fields);
        const auto source = [&] {
            return NoiseSection(16, height, bits, colours, clrUsed, compression);
        };
        const Selected twin(source());  // the same noise: the source itself is taken over
        const DeviceResizeResult r =
            DeviceResize(source(), Describe(twin.bitmap), 16, std::abs(height));
        ASSERT_NE(r.bitmap, nullptr) << bits << " bits";
        EXPECT_EQ(Describe(r.bitmap).dsBmih.biClrUsed, std::min<DWORD>(clrUsed, 256));
        int differing = 0;
        for (int y = 0; y < std::abs(height); ++y) {
            for (int x = 0; x < 16; ++x)
                differing += GetPixel(r.storeDC, x, y) != GetPixel(twin.dc, x, y);
        }
        EXPECT_EQ(differing, 0) << bits << " bits";
        DeleteDC(r.storeDC);
        DeleteObject(r.bitmap);
    }
}

}  // namespace
}  // namespace faltrix
