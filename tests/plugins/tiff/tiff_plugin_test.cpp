// The TIFF plug-ins as the host uses them: loaded from the build tree, called by name.
#include <tiffio.h>

#include <QApplication>
#include <QByteArray>
#include <QComboBox>
#include <QTimer>

#include <functional>
#include <tuple>
#include <thread>

#include "codec_harness.h"

namespace faltrix::test {
namespace {

const Plugin &In() {
    static const Plugin p(FALTRIX_TIFF_INPUT);
    return p;
}
const Plugin &Out() {
    static const Plugin p(FALTRIX_TIFF_OUTPUT);
    return p;
}

TEST(TiffPlugin, AnswersTagsDescriptionsAndPatternsWithTheirLengths) {
    ASSERT_TRUE(In().info && Out().info);
    EXPECT_EQ(Info(In().info, 0), u"00IN_EX");
    EXPECT_EQ(Info(Out().info, 0), u"00OUT_EX");
    for (const Plugin *p : {&In(), &Out()}) {
        EXPECT_EQ(Info(p->info, 1).rfind(u"TIFF (libtiff 4.", 0), 0u) << "description";
        for (int n = 1; n <= 3; ++n) {
            int32_t length = 0;
            const std::u16string text = Info(p->info, n, &length);
            EXPECT_FALSE(text.empty());
            EXPECT_EQ(static_cast<size_t>(length), text.size());
        }
        WCHAR none[8];
        EXPECT_EQ(p->info(4, none, 8), 0);
    }
    EXPECT_EQ(Info(In().info, 2), u"*.tif;*.tiff");
}

// ---- Round trips: palettes, greys and colours come back as they were -------------------

struct DepthCase {
    const char *name;
    int bits;
    bool topDown;
    int palette;  // 0 none, 1 grey ramp, 2 colours, 3 a short colour table
    bool alpha;
    int decodedBits;
};

class TiffRoundTrip : public ::testing::TestWithParam<DepthCase> {};

TEST_P(TiffRoundTrip, GivesThePictureBack) {
    const DepthCase &c = GetParam();
    TempDir dir;
    std::vector<RGBQUAD> palette;
    if (c.palette == 1) palette = GreyRamp(c.bits);
    if (c.palette == 2) palette = ColourPalette(1 << c.bits);
    if (c.palette == 3) palette = ColourPalette((1 << c.bits) - 1);
    Dib src(37, 23, c.bits, c.topDown, palette, 3780);
    FillChart(src, c.alpha);
    const std::string path = dir / "out.tif";
    ProgressLog saved;
    ASSERT_EQ(Save(Out(), src.bitmap, path, &saved), 0);
    EXPECT_EQ(saved.lastDone, 23);
    EXPECT_FALSE(saved.backwards);

    int w = 0, h = 0;
    ASSERT_TRUE(PictureSize(In(), path, &w, &h));
    EXPECT_EQ(w, 37);
    EXPECT_EQ(h, 23);
    ProgressLog loaded;
    Dib back(Load(In(), path, &loaded));
    ASSERT_NE(back.bitmap, nullptr);
    EXPECT_EQ(back.bitCount, c.decodedBits);
    EXPECT_EQ(back.PelsPerMeterX(), 3780);
    EXPECT_EQ(loaded.lastDone, 23);
    EXPECT_FALSE(loaded.backwards);
    if (c.bits <= 8) {
        // Indices and colours exactly as they were.
        ASSERT_GE(back.palette.size(), palette.size());
        for (size_t i = 0; i < palette.size(); ++i) {
            EXPECT_EQ(back.palette[i].rgbRed, palette[i].rgbRed) << i;
            EXPECT_EQ(back.palette[i].rgbGreen, palette[i].rgbGreen) << i;
            EXPECT_EQ(back.palette[i].rgbBlue, palette[i].rgbBlue) << i;
        }
        for (int y = 0; y < 23; ++y)
            for (int x = 0; x < 37; ++x) ASSERT_EQ(back.Index(x, y), src.Index(x, y)) << x << "," << y;
    } else {
        const Image expected = c.alpha ? src.ToImage() : Opaque(src.ToImage());
        EXPECT_LE(MaxDifference(back.ToImage(), expected), c.bits == 16 ? 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Depths, TiffRoundTrip,
    ::testing::Values(DepthCase{"Bilevel1", 1, false, 1, false, 1},
                      DepthCase{"Colour1", 1, true, 2, false, 1},
                      DepthCase{"Grey4", 4, false, 1, false, 4},
                      DepthCase{"Colour4", 4, true, 2, false, 4},
                      DepthCase{"ShortTable4", 4, false, 3, false, 4},
                      DepthCase{"Grey8", 8, false, 1, false, 8},
                      DepthCase{"Colour8", 8, true, 2, false, 8},
                      DepthCase{"Rgb16", 16, false, 0, false, 24},
                      DepthCase{"Rgb24BottomUp", 24, false, 0, false, 24},
                      DepthCase{"Rgb24TopDown", 24, true, 0, false, 24},
                      DepthCase{"Rgbx32AlphaAllZero", 32, false, 0, false, 24},
                      DepthCase{"Rgba32", 32, true, 0, true, 32}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Files as other software writes them, made here with libtiff ---------------------------

struct Written {
    int w = 12, h = 7;
    std::function<void(TIFF *)> tags;
    std::function<void(TIFF *, int w, int h)> pixels;
};

std::string MakeTiff(const TempDir &dir, const std::string &name, const Written &spec) {
    const std::string path = dir / name;
    TIFF *tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, spec.w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, spec.h);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    spec.tags(tif);
    spec.pixels(tif, spec.w, spec.h);
    TIFFClose(tif);
    return path;
}

// Writes rows of bytes made by fn(x, y, sample) for `spp` samples of `bps` bits (8 or 16).
void Rows(TIFF *tif, int w, int h, int spp, int bps, std::function<unsigned(int, int, int)> fn) {
    std::vector<uint8_t> line(static_cast<size_t>(w) * spp * bps / 8);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            for (int s = 0; s < spp; ++s) {
                const unsigned v = fn(x, y, s);
                const size_t i = static_cast<size_t>(x) * spp + s;
                if (bps == 16) {
                    const uint16_t v16 = static_cast<uint16_t>(v);
                    std::memcpy(line.data() + 2 * i, &v16, 2);
                } else {
                    line[i] = static_cast<uint8_t>(v);
                }
            }
        TIFFWriteScanline(tif, line.data(), static_cast<uint32_t>(y), 0);
    }
}

void Basic(TIFF *tif, int bps, int spp, int photometric) {
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 3);
}

TEST(TiffForeign, SixteenBitRgbIsRoundedToEight) {
    TempDir dir;
    const std::string path = MakeTiff(dir, "rgb16.tif", {12, 7, [](TIFF *t) { Basic(t, 16, 3, PHOTOMETRIC_RGB); },
        [](TIFF *t, int w, int h) { Rows(t, w, h, 3, 16, [](int x, int y, int s) { return s == 0 ? x * 5000 : s == 1 ? y * 9000 + 127 : 65535u; }); }});
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.bitCount, 24);
    const Image img = d.ToImage();
    EXPECT_EQ(img.At(3, 0)[2], (3 * 5000 + 128) / 257);  // red
    EXPECT_EQ(img.At(0, 4)[1], (4 * 9000 + 127 + 128) / 257);  // green
    EXPECT_EQ(img.At(5, 5)[0], 255);  // blue
}

TEST(TiffForeign, MinIsWhiteGreyIsInverted) {
    TempDir dir;
    const std::string path = MakeTiff(dir, "white.tif", {12, 7, [](TIFF *t) { Basic(t, 8, 1, PHOTOMETRIC_MINISWHITE); },
        [](TIFF *t, int w, int h) { Rows(t, w, h, 1, 8, [](int x, int, int) { return x * 20u; }); }});
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.bitCount, 8);
    EXPECT_EQ(d.ToImage().At(3, 2)[0], 255 - 60);
}

TEST(TiffForeign, TwoBitPaletteBecomesFourBit) {
    TempDir dir;
    const std::string path = MakeTiff(dir, "pal2.tif", {13, 5, [](TIFF *t) {
        Basic(t, 2, 1, PHOTOMETRIC_PALETTE);
        static uint16_t r[4] = {0, 65535, 0, 32896}, g[4] = {0, 0, 65535, 32896}, b[4] = {65535, 0, 0, 32896};
        TIFFSetField(t, TIFFTAG_COLORMAP, r, g, b);
    }, [](TIFF *t, int w, int h) {
        std::vector<uint8_t> line(static_cast<size_t>((w * 2 + 7) / 8));
        for (int y = 0; y < h; ++y) {
            std::fill(line.begin(), line.end(), 0);
            for (int x = 0; x < w; ++x) line[x / 4] |= static_cast<uint8_t>(((x + y) & 3) << (6 - 2 * (x % 4)));
            TIFFWriteScanline(t, line.data(), static_cast<uint32_t>(y), 0);
        }
    }});
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.bitCount, 4);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 13; ++x) ASSERT_EQ(d.Index(x, y), static_cast<unsigned>((x + y) & 3));
    EXPECT_EQ(d.palette[3].rgbRed, 128);
    EXPECT_EQ(d.palette[1].rgbRed, 255);
}

TEST(TiffForeign, GreyWithAlphaKeepsTheAlpha) {
    TempDir dir;
    const std::string path = MakeTiff(dir, "greyalpha.tif", {12, 7, [](TIFF *t) {
        Basic(t, 8, 2, PHOTOMETRIC_MINISBLACK);
        const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    }, [](TIFF *t, int w, int h) { Rows(t, w, h, 2, 8, [](int x, int y, int s) { return s == 0 ? x * 20u : y * 30u; }); }});
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.bitCount, 32);
    const Image picture = d.ToImage();
    const uint8_t *p = picture.At(4, 3);
    EXPECT_EQ(p[0], 80);
    EXPECT_EQ(p[2], 80);
    EXPECT_EQ(p[3], 90);
}

TEST(TiffForeign, AssociatedAlphaIsUndone) {
    TempDir dir;
    const std::string path = MakeTiff(dir, "assoc.tif", {12, 7, [](TIFF *t) {
        Basic(t, 8, 4, PHOTOMETRIC_RGB);
        const uint16_t extra[1] = {EXTRASAMPLE_ASSOCALPHA};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    }, [](TIFF *t, int w, int h) { Rows(t, w, h, 4, 8, [](int, int, int s) { return s == 3 ? 128u : s == 0 ? 100u : 0u; }); }});
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.bitCount, 32);
    const Image picture = d.ToImage();
    const uint8_t *p = picture.At(1, 1);
    EXPECT_EQ(p[2], (100 * 255 + 64) / 128);
    EXPECT_EQ(p[3], 128);
}

// Tiles, separate planes, and CMYK (which goes through libtiff's RGBA reader).
struct GenericCase {
    const char *name;
    std::function<void(TIFF *)> tags;
    std::function<void(TIFF *, int, int)> pixels;
};

unsigned Red(int x, int) { return static_cast<unsigned>(x * 7); }
unsigned Green(int, int y) { return static_cast<unsigned>(y * 7); }

const GenericCase kGeneric[] = {
    {"Tiled", [](TIFF *t) {
         TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8); TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
         TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
         TIFFSetField(t, TIFFTAG_TILEWIDTH, 16); TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
     }, [](TIFF *t, int w, int h) {
         std::vector<uint8_t> tile(16 * 16 * 3);
         for (int ty = 0; ty < h; ty += 16)
             for (int tx = 0; tx < w; tx += 16) {
                 for (int y = 0; y < 16; ++y)
                     for (int x = 0; x < 16; ++x) {
                         uint8_t *p = tile.data() + (y * 16 + x) * 3;
                         p[0] = static_cast<uint8_t>(Red(tx + x, ty + y));
                         p[1] = static_cast<uint8_t>(Green(tx + x, ty + y));
                         p[2] = 50;
                     }
                 TIFFWriteTile(t, tile.data(), static_cast<uint32_t>(tx), static_cast<uint32_t>(ty), 0, 0);
             }
     }},
    {"SeparatePlanes", [](TIFF *t) {
         TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8); TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
         TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
         TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
         TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
     }, [](TIFF *t, int w, int h) {
         std::vector<uint8_t> line(static_cast<size_t>(w));
         for (int s = 0; s < 3; ++s)
             for (int y = 0; y < h; ++y) {
                 for (int x = 0; x < w; ++x)
                     line[x] = static_cast<uint8_t>(s == 0 ? Red(x, y) : s == 1 ? Green(x, y) : 50);
                 TIFFWriteScanline(t, line.data(), static_cast<uint32_t>(y), static_cast<uint16_t>(s));
             }
     }},
    {"Cmyk", [](TIFF *t) {
         TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8); TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 4);
         TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_SEPARATED);
         TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
     }, [](TIFF *t, int w, int h) {
         // No black ink: each colour is 255 less its ink.
         Rows(t, w, h, 4, 8, [](int x, int y, int s) {
             return s == 0 ? 255 - Red(x, y) : s == 1 ? 255 - Green(x, y) : s == 2 ? 205u : 0u;
         });
     }},
};

class TiffLayouts : public ::testing::TestWithParam<GenericCase> {};

TEST_P(TiffLayouts, ReadsTheSamePicture) {
    TempDir dir;
    const std::string path = MakeTiff(dir, "generic.tif", {33, 21, GetParam().tags, GetParam().pixels});
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.bitCount, 24);
    const Image img = d.ToImage();
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 33; ++x) {
            ASSERT_EQ(img.At(x, y)[2], Red(x, y)) << x << "," << y;
            ASSERT_EQ(img.At(x, y)[1], Green(x, y)) << x << "," << y;
            ASSERT_EQ(img.At(x, y)[0], 50) << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(Layouts, TiffLayouts, ::testing::ValuesIn(kGeneric),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(TiffForeign, TiledPaletteStaysPalettised) {
    TempDir dir;
    const std::string path = MakeTiff(dir, "tiledpal.tif", {35, 19, [](TIFF *t) {
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8); TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16); TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        static uint16_t r[256], g[256], b[256];
        for (int i = 0; i < 256; ++i) { r[i] = static_cast<uint16_t>(i * 257); g[i] = 0; b[i] = static_cast<uint16_t>((255 - i) * 257); }
        TIFFSetField(t, TIFFTAG_COLORMAP, r, g, b);
    }, [](TIFF *t, int w, int h) {
        std::vector<uint8_t> tile(16 * 16);
        for (int ty = 0; ty < h; ty += 16)
            for (int tx = 0; tx < w; tx += 16) {
                for (int y = 0; y < 16; ++y)
                    for (int x = 0; x < 16; ++x) tile[y * 16 + x] = static_cast<uint8_t>((tx + x) * 3 + (ty + y));
                TIFFWriteTile(t, tile.data(), static_cast<uint32_t>(tx), static_cast<uint32_t>(ty), 0, 0);
            }
    }});
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.bitCount, 8);
    EXPECT_EQ(d.palette[10].rgbRed, 10);
    EXPECT_EQ(d.palette[10].rgbBlue, 245);
    for (int y = 0; y < 19; ++y)
        for (int x = 0; x < 35; ++x) ASSERT_EQ(d.Index(x, y), static_cast<unsigned>(x * 3 + y)) << x << "," << y;
}

TEST(TiffForeign, SeparatePlanesOfSixteenBitsWithAlpha) {
    TempDir dir;
    const std::string path = MakeTiff(dir, "planes16.tif", {10, 6, [](TIFF *t) {
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16); TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 4);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
        const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    }, [](TIFF *t, int w, int h) {
        std::vector<uint16_t> line(static_cast<size_t>(w));
        for (int s = 0; s < 4; ++s)
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) line[x] = static_cast<uint16_t>((s + 1) * 257 * (x + 10 * y));
                TIFFWriteScanline(t, line.data(), static_cast<uint32_t>(y), static_cast<uint16_t>(s));
            }
    }});
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.bitCount, 32);
    const Image picture = d.ToImage();
    const uint8_t *p = picture.At(3, 2);  // x + 10 y = 23
    EXPECT_EQ(p[2], 23);
    EXPECT_EQ(p[1], 46);
    EXPECT_EQ(p[0], 69);
    EXPECT_EQ(p[3], 92);
}

// ---- The Orientation tag ----------------------------------------------------------------------

// Where the stored picture's top-left and top-right corners are shown, for orientations 1..8,
// as (right?, bottom?) of the shown picture: the tag's definition, written out.
struct Corners {
    bool topLeftRight, topLeftBottom, topRightRight, topRightBottom;
};
const Corners kShown[9] = {{}, {false, false, true, false}, {true, false, false, false},
                           {true, true, false, true}, {false, true, true, true},
                           {false, false, false, true}, {true, false, true, true},
                           {true, true, true, false}, {false, true, false, false}};

struct OrientationCase {
    const char *name;
    int bps;
    int photometric;
};

class TiffOrientation : public ::testing::TestWithParam<std::tuple<OrientationCase, int>> {};

TEST_P(TiffOrientation, AppliedAndReportedInTheSize) {
    const auto &[c, orientation] = GetParam();
    TempDir dir;
    // 21 x 9 stored; one marked pixel at the stored top-left (value 1) and top-right (2).
    const std::string path = MakeTiff(dir, "oriented.tif", {21, 9, [&](TIFF *t) {
        Basic(t, c.bps, c.photometric == PHOTOMETRIC_RGB ? 3 : 1, c.photometric);
        TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
        if (c.photometric == PHOTOMETRIC_PALETTE) {
            static uint16_t r[16], g[16], b[16];
            for (int i = 0; i < 16; ++i) r[i] = g[i] = b[i] = static_cast<uint16_t>(i * 4369);
            TIFFSetField(t, TIFFTAG_COLORMAP, r, g, b);
        }
    }, [&](TIFF *t, int w, int h) {
        const int spp = c.photometric == PHOTOMETRIC_RGB ? 3 : 1;
        std::vector<uint8_t> line(static_cast<size_t>((w * spp * c.bps + 7) / 8));
        for (int y = 0; y < h; ++y) {
            std::fill(line.begin(), line.end(), 0);
            for (int x : {0, w - 1}) {
                const unsigned v = y != 0 ? 0 : x == 0 ? 1 : 2;
                if (c.bps == 8) {
                    for (int s = 0; s < spp; ++s) line[static_cast<size_t>(x) * spp + s] = static_cast<uint8_t>(v * 100);
                } else if (c.bps == 4) {
                    line[x / 2] |= static_cast<uint8_t>(v << ((x & 1) ? 0 : 4));
                } else if (v) {
                    line[x / 8] |= static_cast<uint8_t>(0x80 >> (x & 7));
                }
            }
            TIFFWriteScanline(t, line.data(), static_cast<uint32_t>(y), 0);
        }
    }});
    const bool turned = orientation >= 5;
    int w = 0, h = 0;
    ASSERT_TRUE(PictureSize(In(), path, &w, &h));
    EXPECT_EQ(w, turned ? 9 : 21);
    EXPECT_EQ(h, turned ? 21 : 9);
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.w, w);
    ASSERT_EQ(d.h, h);
    const Image img = d.ToImage();
    const Corners &k = kShown[orientation];
    const uint8_t *tl = img.At(k.topLeftRight ? w - 1 : 0, k.topLeftBottom ? h - 1 : 0);
    const uint8_t *tr = img.At(k.topRightRight ? w - 1 : 0, k.topRightBottom ? h - 1 : 0);
    if (c.bps == 1) {
        // Bilevel: both marks are white, every other corner black.
        EXPECT_EQ(tl[0], 255);
        EXPECT_EQ(tr[0], 255);
        int white = 0;
        for (int y : {0, h - 1})
            for (int x : {0, w - 1}) white += img.At(x, y)[0] == 255;
        EXPECT_EQ(white, 2);
    } else {
        EXPECT_EQ(tl[0], c.bps == 8 ? 100 : 17);
        EXPECT_EQ(tr[0], c.bps == 8 ? 200 : 34);
    }
}

const OrientationCase kOrientationCases[] = {
    {"Rgb8", 8, PHOTOMETRIC_RGB}, {"Palette4", 4, PHOTOMETRIC_PALETTE}, {"Bilevel1", 1, PHOTOMETRIC_MINISBLACK}};

INSTANTIATE_TEST_SUITE_P(AllEight, TiffOrientation,
                         ::testing::Combine(::testing::ValuesIn(kOrientationCases), ::testing::Range(1, 9)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) + "Orientation" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST(TiffOrientation, CmykThroughTheRgbaReaderIsTurnedToo) {
    TempDir dir;
    // CMYK goes through libtiff's RGBA reader; orientation 6 turns it a quarter clockwise.
    const std::string path = MakeTiff(dir, "cmyk6.tif", {20, 10, [](TIFF *t) {
        Basic(t, 8, 4, PHOTOMETRIC_SEPARATED);
        TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_RIGHTTOP);
    }, [](TIFF *t, int w, int h) {
        Rows(t, w, h, 4, 8, [](int x, int y, int s) { return (x == 0 && y == 0 && s == 0) ? 255u : 0u; });
    }});
    Dib d(Load(In(), path));
    ASSERT_NE(d.bitmap, nullptr);
    ASSERT_EQ(d.w, 10);
    ASSERT_EQ(d.h, 20);
    const Image img = d.ToImage();
    // Stored top-left (no red: full cyan) is shown at the top right.
    EXPECT_EQ(img.At(9, 0)[2], 0);
    EXPECT_EQ(img.At(0, 0)[2], 255);
}

// ---- Hostile files ------------------------------------------------------------------------

// A classic little-endian TIFF written byte by byte: one strip of `dataBytes` bytes, with the
// given sizes, whatever they claim.
std::vector<uint8_t> HandMade(uint32_t width, uint32_t height, uint32_t dataBytes, uint32_t stripBytesClaimed,
                              uint32_t nextIfd = 0) {
    std::vector<uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto u16 = [&](unsigned v) { f.push_back(static_cast<uint8_t>(v)); f.push_back(static_cast<uint8_t>(v >> 8)); };
    auto u32 = [&](uint32_t v) { u16(v & 0xFFFF); u16(v >> 16); };
    const uint32_t entries = 9;
    const uint32_t dataAt = 8 + 2 + entries * 12 + 4;
    u16(entries);
    auto entry = [&](unsigned tag, unsigned type, uint32_t value) {
        u16(tag); u16(type); u32(1);
        if (type == 3) { u16(value); u16(0); } else { u32(value); }
    };
    entry(256, 4, width);
    entry(257, 4, height);
    entry(258, 3, 8);
    entry(259, 3, 1);
    entry(262, 3, 1);
    entry(273, 4, dataAt);
    entry(277, 3, 1);
    entry(278, 4, height);
    entry(279, 4, stripBytesClaimed);
    u32(nextIfd);
    f.resize(f.size() + dataBytes, 0x80);
    return f;
}

struct HostileCase {
    const char *name;
    std::vector<uint8_t> (*make)();
    bool headerReadable;
};

const HostileCase kHostile[] = {
    {"ZeroBytes", [] { return std::vector<uint8_t>{}; }, false},
    {"SignatureOnly", [] { return std::vector<uint8_t>{'I', 'I', 42, 0}; }, false},
    {"Garbage", [] {
         std::vector<uint8_t> g(4096);
         uint32_t s = 99;
         for (auto &b : g) b = static_cast<uint8_t>((s = s * 1103515245 + 12345) >> 16);
         g[0] = 'M'; g[1] = 'M'; g[2] = 0; g[3] = 42;
         return g;
     }, false},
    {"IfdPastTheEnd", [] { return std::vector<uint8_t>{'I', 'I', 42, 0, 0xF0, 0xFF, 0, 0}; }, false},
    {"ZeroWidth", [] { return HandMade(0, 10, 100, 100); }, false},
    {"ZeroHeight", [] { return HandMade(10, 0, 100, 100); }, false},
    {"Width2Pow31", [] { return HandMade(0x80000000u, 1, 100, 100); }, false},
    {"Bomb100000x100000", [] { return HandMade(100000, 100000, 100, 100); }, false},
    {"StripPastTheEnd", [] { return HandMade(64, 64, 100, 64 * 64); }, true},
    {"IfdLoop", [] { return HandMade(10, 10, 100, 100, 8); }, true},
    // Found by the fuzz target: 65289 x 1029 pixels in separate LZW planes whose strips hold
    // a few bytes each. Fails at the first short strip instead of walking all of them.
    {"ShortLzwPlanes", [] {
         static const char kBase64[] =
             "SUkqACYAAAD4TfhN+E34TfhN+E34TfhN+E34TfhN+E34TfhN+E0JAAABAwABAAAACf/2AAEBAwABAAAABQQAAAIBAwADAAAAmAAAAP3+/w"
             "ABAAAABYAAAAYBAwABAAAAAgAAABEBBAADAAAAqgAAABUBAwABAAAAAwAAABcBBAADAAAAngAAABwBAwABAAAAAgAAAAAAAAAIAAgACAAK"
             "AAAACgAAAAoAAAAIAAAAEgAAABwAAAA=";
         const QByteArray bytes = QByteArray::fromBase64(kBase64);
         return std::vector<uint8_t>(bytes.begin(), bytes.end());
     }, true},
};

class TiffHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(TiffHostile, FailsCleanlyAndQuietly) {
    const HostileCase &c = GetParam();
    TempDir dir;
    const std::string path = dir / "hostile.tif";
    WriteFile(path, c.make());
    testing::internal::CaptureStderr();
    int w = 0, h = 0;
    const bool readable = PictureSize(In(), path, &w, &h);
    HBITMAP b = Load(In(), path);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(readable, c.headerReadable);
    if (std::string(c.name) == "IfdLoop") {
        // A loop in the chain of pictures does not matter for the first one.
        EXPECT_NE(b, nullptr);
    } else {
        EXPECT_EQ(b, nullptr);
    }
    if (b) DeleteObject(b);
    EXPECT_EQ(printed, "") << "libtiff's messages must not reach stderr";
}

INSTANTIATE_TEST_SUITE_P(Files, TiffHostile, ::testing::ValuesIn(kHostile),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(TiffHostile, TruncatedCompressedStripFails) {
    TempDir dir;
    Dib src(200, 200, 24, false);
    FillChart(src, false);
    const std::string path = dir / "whole.tif";
    ASSERT_EQ(Save(Out(), src.bitmap, path), 0);
    std::vector<uint8_t> bytes = ReadFile(path);
    // Our files put the directory after the pixels: cutting the middle out of the pixels
    // keeps the directory but loses data the strips point at.
    const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + bytes.size() / 3);
    WriteFile(dir / "cut.tif", cut);
    HBITMAP b = Load(In(), dir / "cut.tif");
    EXPECT_EQ(b, nullptr);
    if (b) DeleteObject(b);
}

// ---- Output failures leave the previous file as it was --------------------------------------

TEST(TiffOutputFailure, FullDiskKeepsThePreviousFileAndLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir / "out.tif";
    const std::vector<uint8_t> previous(3000, 0x33);
    WriteFile(path, previous);
    Dib src(300, 300, 24, true);
    FillChart(src, false);
    const int32_t rc = WithFileSizeLimit(4096, [&] { return Save(Out(), src.bitmap, path); });
    EXPECT_NE(rc, 0);
    EXPECT_EQ(ReadFile(path), previous);
    EXPECT_TRUE(dir.Others({"out.tif"}).empty());
}

TEST(TiffOutputFailure, MissingFolderFails) {
    TempDir dir;
    Dib src(8, 8, 8, false, GreyRamp(8));
    EXPECT_NE(Save(Out(), src.bitmap, dir / "none/out.tif"), 0);
    EXPECT_TRUE(dir.Others({}).empty());
}

// ---- Threads ----------------------------------------------------------------------------------

TEST(TiffThreads, TwoThreadsDecodeAndStoreAtOnce) {
    TempDir dir;
    Dib src(150, 100, 24, false);
    FillChart(src, false);
    const std::string chart = dir / "chart.tif";
    ASSERT_EQ(Save(Out(), src.bitmap, chart), 0);
    const Image expected = Opaque(src.ToImage());
    auto work = [&](const std::string &out, bool *ok) {
        *ok = true;
        for (int i = 0; i < 10; ++i) {
            Dib d(Load(In(), chart));
            *ok = *ok && d.bitmap && MaxDifference(d.ToImage(), expected) == 0;
            *ok = *ok && Save(Out(), d.bitmap, out) == 0;
        }
    };
    bool ok1 = false, ok2 = false;
    const std::string t1 = dir / "t1.tif", t2 = dir / "t2.tif";
    std::thread a(work, t1, &ok1), b(work, t2, &ok2);
    a.join();
    b.join();
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(ok2);
}

// ---- The settings dialog: every compression round-trips -----------------------------------

QApplication &App() {
    static int argc = 1;
    static char name[] = "tiff_plugin_test";
    static char *argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

void AnswerDialog(int choice, bool accept) {
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog) return;
        timer->stop();
        timer->deleteLater();
        if (auto *combo = dialog->findChild<QComboBox *>("Compression")) combo->setCurrentIndex(choice);
        QMetaObject::invokeMethod(dialog, accept ? "accept" : "reject");
    });
    timer->start(10);
}

uint16_t CompressionOf(const std::string &path) {
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    uint16_t c = 0;
    if (tif) {
        TIFFGetField(tif, TIFFTAG_COMPRESSION, &c);
        TIFFClose(tif);
    }
    return c;
}

TEST(TiffSettings, EveryCompressionOfTheDialogRoundTrips) {
    App();
    const uint16_t expected[] = {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS};
    TempDir dir;
    Dib colour(64, 40, 24, false);
    FillChart(colour, false);
    Dib bilevel(64, 40, 1, true, GreyRamp(1));
    FillChart(bilevel, false);
    for (int choice = 0; choice < 4; ++choice) {
        AnswerDialog(choice, true);
        ASSERT_EQ(Out().configure(nullptr, 0), 0);
        for (const Dib *src : {&colour, &bilevel}) {
            std::string name = "c";
            name += std::to_string(choice);
            const std::string path = dir / (name + ".tif");
            ASSERT_EQ(Save(Out(), src->bitmap, path), 0);
            EXPECT_EQ(CompressionOf(path), expected[choice]);
            Dib back(Load(In(), path));
            ASSERT_NE(back.bitmap, nullptr);
            EXPECT_EQ(MaxDifference(back.ToImage(), src->ToImage()), 0) << choice;
        }
    }
    AnswerDialog(0, false);  // cancelled: PackBits stays
    EXPECT_NE(Out().configure(nullptr, 0), 0);
    ASSERT_EQ(Save(Out(), colour.bitmap, dir / "after.tif"), 0);
    EXPECT_EQ(CompressionOf(dir / "after.tif"), COMPRESSION_PACKBITS);
    AnswerDialog(1, true);
    EXPECT_EQ(Out().configure(nullptr, 0), 0);
}

}  // namespace
}  // namespace faltrix::test
