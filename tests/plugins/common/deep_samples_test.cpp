// Deep samples through the PNG and TIFF plug-ins' GetFrameSamples and AddFrameSamples, against
// files that libpng and libtiff wrote (tests/data/{png,tiff}/layouts/deep-*: the noise below of
// each layout, and of 10 bits widened by bit replication under an sBIT of 10) and read: exact
// to the sample both ways, the depth of a 10- or 12-bit source kept, frames and pages deep.
// (Hostile deep files: deep.txt of tests/data, read by codec_files_test.)
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "codec_test_support.h"

namespace faltrix::testing {
namespace {

using Pages = std::vector<std::pair<int, Samples>>;  // bits, samples
using Picture = DeepPicture;

// Noise of `bits` bits, which uses every bit of each sample; `widened` to 16 bits.
Samples Noise(const Picture &p, int bits, uint32_t seed, bool widened = false) {
    Samples s(size_t(p.width) * p.height * p.channels);
    for (uint16_t &v : s) {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        const uint32_t top = (1u << bits) - 1, raw = seed >> (32 - bits);
        v = uint16_t(widened ? (raw * 65535 + top / 2) / top : raw);
    }
    return s;
}

constexpr int kPngType[4] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                             PNG_COLOR_TYPE_RGB_ALPHA};

// The default picture of a PNG by libpng: its 16-bit colour type (-1 when not 16-bit), its
// sBIT (0 without) and its samples.
std::tuple<int, int, Samples> ReadPng(const std::filesystem::path &file) {
    FILE *f = std::fopen(file.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_SWAP_ENDIAN, nullptr);
    png_color_8p sig = nullptr;
    std::tuple<int, int, Samples> read{
        png_get_bit_depth(png, info) == 16 ? png_get_color_type(png, info) : -1,
        png_get_sBIT(png, info, &sig) ? sig->red | sig->gray : 0, Samples{}};
    for (png_uint_32 y = 0; y < png_get_image_height(png, info); ++y) {
        const auto *row = reinterpret_cast<const uint16_t *>(png_get_rows(png, info)[y]);
        std::get<2>(read).insert(std::get<2>(read).end(), row,
                                 row + png_get_rowbytes(png, info) / 2);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return read;
}

// Every page by libtiff, contiguous: its bits and its samples, unpacked below 16 bits.
Pages ReadTiff(const std::filesystem::path &file) {
    Pages pages;
    TIFF *tif = TIFFOpen(file.c_str(), "r");
    do {
        uint32_t h = 0;
        uint16_t bits = 0;
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h), TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
        std::vector<uint8_t> line(TIFFScanlineSize(tif));
        Samples s;
        for (uint32_t y = 0; y < h; ++y) {
            TIFFReadScanline(tif, line.data(), y, 0);
            for (size_t bit = 0; bit + bits <= line.size() * 8; bit += bits) {
                uint32_t v = bits == 16 ? reinterpret_cast<uint16_t *>(line.data())[bit / 16] : 0;
                for (size_t b = bit; bits < 16 && b < bit + bits; ++b)
                    v = v << 1 | ((line[b / 8] >> (7 - b % 8)) & 1);
                s.push_back(uint16_t(v));
            }
        }
        pages.emplace_back(bits, s);
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

struct Layout {
    const char *name;
    int channels;
    bool key;  // PNG: a tRNS key (the first pixel's colour), which makes alpha
};  // The TIFF files of grey_alpha, rgba and rgb_key hold each sample in a plane of its own.
class DeepLayouts : public ::testing::TestWithParam<Layout> {};
INSTANTIATE_TEST_SUITE_P(, DeepLayouts,
                         ::testing::Values(Layout{"grey", 1, false}, Layout{"grey_alpha", 2, false},
                                           Layout{"rgb", 3, false}, Layout{"rgba", 4, false},
                                           Layout{"grey_key", 1, true}, Layout{"rgb_key", 3, true}),
                         kCaseName);

TEST_P(DeepLayouts, PngAndTiffRoundTripsAreExact) {
    TempDir dir;
    std::string file = std::string("deep-16-bit-") + GetParam().name;
    std::replace(file.begin(), file.end(), '_', '-');
    Picture p, want;
    p.channels = GetParam().channels, p.bits = 16;
    p.frames = {Noise(p, 16, 7)};
    const Samples &s = p.frames[0];
    want = p;
    for (auto i = s.begin(); GetParam().key && i != s.end(); i += p.channels) {
        if (i == s.begin()) want.channels = p.channels + 1, want.frames[0].clear();
        want.frames[0].insert(want.frames[0].end(), i, i + p.channels);
        want.frames[0].push_back(std::equal(i, i + p.channels, s.begin()) ? 0 : 65535);
    }
    const Picture png =
        ReadDeep(Loaded("png", "input"), DataDir() / "png" / "layouts" / (file + ".png"));
    EXPECT_EQ(std::tie(png.bits, png.channels, png.frames),
              std::tie(want.bits, want.channels, want.frames));
    ASSERT_EQ(WriteDeep(Loaded("png", "output"), png, dir / "out.png"), "");
    // 16-bit of the samples' own colour type, no sBIT: every bit counts.
    EXPECT_EQ(ReadPng(dir / "out.png"), std::tuple(kPngType[want.channels - 1], 0, want.frames[0]));

    const Picture tiff =
        ReadDeep(Loaded("tiff", "input"), DataDir() / "tiff" / "layouts" / (file + ".tif"));
    EXPECT_EQ(std::tie(tiff.bits, tiff.frames), std::tie(p.bits, p.frames));
    ASSERT_EQ(WriteDeep(Loaded("tiff", "output"), tiff, dir / "out.tif"), "");
    EXPECT_EQ(ReadTiff(dir / "out.tif"), (Pages{{16, s}}));
}

// A 10-bit source (a PNG whose sBIT says 10, its samples widened by bit replication) keeps its
// 10 bits in PNG's sBIT, and TIFF stores it widened to 16 bits, which every reader takes; 12-bit
// pages and APNG frames stay deep.
TEST(DeepSamples, SourceDepthAndFramesAreKept) {
    TempDir dir;
    Picture p;
    p.channels = 3;
    const Samples ten = Noise(p, 10, 3);
    const Picture read =
        ReadDeep(Loaded("png", "input"), DataDir() / "png" / "layouts" / "deep-10-bit-in-16.png");
    EXPECT_EQ(read.bits, 10);
    ASSERT_EQ(read.frames, std::vector<Samples>{Noise(p, 10, 3, true)});
    ASSERT_EQ(WriteDeep(Loaded("png", "output"), read, dir / "ten-out.png"), "");
    auto [colour, bits, stored] = ReadPng(dir / "ten-out.png");
    for (uint16_t &v : stored) v >>= 6;
    EXPECT_EQ(std::tie(bits, stored), std::tuple(10, ten));
    ASSERT_EQ(WriteDeep(Loaded("tiff", "output"), read, dir / "ten.tif"), "");
    EXPECT_EQ(ReadTiff(dir / "ten.tif"), (Pages{{16, read.frames[0]}}));

    Picture frames;
    frames.channels = 2, frames.bits = 12;
    for (uint32_t seed : {1u, 2u, 3u}) frames.frames.push_back(Noise(frames, 12, seed, true));
    ASSERT_EQ(WriteDeep(Loaded("tiff", "output"), frames, dir / "pages.tif"), "");
    ASSERT_EQ(WriteDeep(Loaded("png", "output"), frames, dir / "frames.png"), "");
    EXPECT_EQ(ReadTiff(dir / "pages.tif").back().first, 16);
    for (const auto &[name, format, bits] :
         {std::tuple{"pages.tif", "tiff", 16}, {"frames.png", "png", 12}}) {
        const Picture back = ReadDeep(Loaded(format, "input"), dir / name);
        EXPECT_EQ(std::tie(back.bits, back.frames), std::tie(bits, frames.frames)) << name;
    }
}

}  // namespace
}  // namespace faltrix::testing
