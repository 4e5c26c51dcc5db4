// The TIFF plug-ins as the host uses them: files as other software writes them (made here
// with libtiff), the Orientation tag, hostile files and every choice of the compression
// dialog. Round trips of every depth are in the conversion matrix.
#include <tiffio.h>

#include <QByteArray>
#include <QTransform>

#include <functional>
#include <tuple>

#include "codec_harness.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

const CodecPlugin In("tiff", "input"), Out("tiff", "output");

// ---- Files as other software writes them ---------------------------------------------------

// ---- Files as other software writes them ---------------------------------------------------

struct Layout {
    const char *name;
    int width, height, bps, spp;
    uint16_t photometric, extra;  // extra: 0, or the kind of the one extra sample
    bool separate, tiled;
    std::function<unsigned(int x, int y, int sample)> sample;
    int loadedBits;
    std::function<QRgb(int x, int y)> shown;  // the picture as it must come out
    // Test names come from the case's name rather than from its bytes.
    friend void PrintTo(const Layout &c, std::ostream *os) { *os << c.name; }
};

// Palette entry i of 2^bps: red rising, blue falling, green varied.
QRgb Entry(int i, int bps) {
    const int v = i * 255 / ((1 << bps) - 1);
    return qRgb(v, i * 37 % 256, 255 - v);
}

// Writes the layout with libtiff, in strips of 3 rows or 16 x 16 LZW tiles.
std::filesystem::path Write(const TempDir &dir, const Layout &c, int orientation = 1) {
    const auto path = dir / "written.tif";
    TIFF *t = TIFFOpen(path.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, c.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, c.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, c.bps);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, c.spp);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, c.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, c.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
    if (c.extra) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &c.extra);
    if (c.tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16), TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 3);
    }
    if (c.photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> r, g, b;
        for (int i = 0; i < 1 << c.bps; ++i) {
            const QRgb e = Entry(i, c.bps);
            r.push_back(uint16_t(qRed(e) * 257)), g.push_back(uint16_t(qGreen(e) * 257)), b.push_back(uint16_t(qBlue(e) * 257));
        }
        TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    }
    // n pixels of row y from x0, of one plane (separate) or all samples, packed as libtiff wants.
    auto row = [&](int y, int plane, int x0, int n) {
        const int per = c.separate ? 1 : c.spp;
        Bytes bytes((size_t(n) * per * c.bps + 7) / 8);
        for (int i = 0; i < n * per; ++i) {
            const int x = x0 + i / per;
            const unsigned v = x < c.width && y < c.height ? c.sample(x, y, c.separate ? plane : i % per) : 0;
            if (c.bps == 16) std::memcpy(&bytes[2 * size_t(i)], &v, 2);  // little-endian host
            else if (c.bps == 8) bytes[size_t(i)] = uint8_t(v);
            else bytes[size_t(i) * c.bps / 8] |= uint8_t(v << (8 - c.bps - i * c.bps % 8));
        }
        return bytes;
    };
    for (int p = 0; p < (c.separate ? c.spp : 1); ++p) {
        for (int ty = 0; c.tiled && ty < c.height; ty += 16)
            for (int tx = 0; tx < c.width; tx += 16) {
                Bytes tile;
                for (int y = 0; y < 16; ++y) {
                    const Bytes r = row(ty + y, p, tx, 16);
                    tile.insert(tile.end(), r.begin(), r.end());
                }
                TIFFWriteTile(t, tile.data(), uint32_t(tx), uint32_t(ty), 0, uint16_t(p));
            }
        for (int y = 0; !c.tiled && y < c.height; ++y) TIFFWriteScanline(t, row(y, p, 0, c.width).data(), uint32_t(y), uint16_t(p));
    }
    TIFFClose(t);
    return path;
}

unsigned Red(int x, int) { return unsigned(x * 7); }
unsigned Green(int, int y) { return unsigned(y * 7); }
QRgb Chart(int x, int y) { return qRgb(int(Red(x, y)), int(Green(x, y)), 50); }
unsigned ChartSample(int x, int y, int s) { return s == 0 ? Red(x, y) : s == 1 ? Green(x, y) : 50; }
// Indices with no symmetry that a turn or a mirror could keep.
unsigned Scatter(int x, int y, int bps) { return unsigned(x * 3 + y * y * 5 + x * y) % (1u << bps); }

constexpr uint16_t kRgb = PHOTOMETRIC_RGB, kPalette = PHOTOMETRIC_PALETTE, kBlack = PHOTOMETRIC_MINISBLACK;

const Layout kLayouts[] = {
    {"Rgb8", 21, 9, 8, 3, kRgb, 0, false, false, [](int x, int y, int s) { return ChartSample(x, y, s); }, 24, Chart},
    {"Rgb16RoundedToEight", 12, 7, 16, 3, kRgb, 0, false, false,
     [](int x, int y, int s) { return s == 0 ? x * 5000u : s == 1 ? y * 9000u + 127 : 65535u; }, 24,
     [](int x, int y) { return qRgb((x * 5000 + 128) / 257, (y * 9000 + 127 + 128) / 257, 255); }},
    {"MinIsWhiteInverted", 12, 7, 8, 1, PHOTOMETRIC_MINISWHITE, 0, false, false, [](int x, int, int) { return x * 20u; }, 8,
     [](int x, int) { return qRgb(255 - x * 20, 255 - x * 20, 255 - x * 20); }},
    {"Bilevel1", 21, 9, 1, 1, kBlack, 0, false, false, [](int x, int y, int) { return Scatter(x, y, 1); }, 1,
     [](int x, int y) { return Scatter(x, y, 1) ? qRgb(255, 255, 255) : qRgb(0, 0, 0); }},
    {"Palette2BecomesFourBit", 13, 5, 2, 1, kPalette, 0, false, false, [](int x, int y, int) { return Scatter(x, y, 2); }, 4,
     [](int x, int y) { return Entry(int(Scatter(x, y, 2)), 2); }},
    {"Palette4", 21, 9, 4, 1, kPalette, 0, false, false, [](int x, int y, int) { return Scatter(x, y, 4); }, 4,
     [](int x, int y) { return Entry(int(Scatter(x, y, 4)), 4); }},
    {"GreyWithAlpha", 12, 7, 8, 2, kBlack, EXTRASAMPLE_UNASSALPHA, false, false,
     [](int x, int y, int s) { return s == 0 ? x * 20u : y * 30u; }, 32, [](int x, int y) { return qRgba(x * 20, x * 20, x * 20, y * 30); }},
    {"AssociatedAlphaUndone", 12, 7, 8, 4, kRgb, EXTRASAMPLE_ASSOCALPHA, false, false,
     [](int x, int, int s) { return s == 3 ? 128u : s == 0 ? x * 10u : 0u; }, 32,
     [](int x, int) { return qRgba((x * 10 * 255 + 64) / 128, 0, 0, 128); }},
    {"Tiled", 33, 21, 8, 3, kRgb, 0, false, true, [](int x, int y, int s) { return ChartSample(x, y, s); }, 24, Chart},
    {"SeparatePlanes", 33, 21, 8, 3, kRgb, 0, true, false, [](int x, int y, int s) { return ChartSample(x, y, s); }, 24, Chart},
    // No black ink: each colour is 255 less its ink. Read through libtiff's RGBA reader.
    {"Cmyk", 33, 21, 8, 4, PHOTOMETRIC_SEPARATED, 0, false, false,
     [](int x, int y, int s) { return s < 3 ? 255 - ChartSample(x, y, s) : 0u; }, 24, Chart},
    {"TiledPaletteStaysPalettised", 35, 19, 8, 1, kPalette, 0, false, true, [](int x, int y, int) { return Scatter(x, y, 8); }, 8,
     [](int x, int y) { return Entry(int(Scatter(x, y, 8)), 8); }},
    {"SeparatePlanesOf16BitsWithAlpha", 10, 6, 16, 4, kRgb, EXTRASAMPLE_UNASSALPHA, true, false,
     [](int x, int y, int s) { return unsigned((s + 1) * 257 * (x + 10 * y)); }, 32,
     [](int x, int y) { const int v = x + 10 * y; return qRgba(v, 2 * v, 3 * v, 4 * v); }},
};

const Layout &Named(const std::string &name) {
    return *std::find_if(std::begin(kLayouts), std::end(kLayouts), [&](const Layout &l) { return l.name == name; });
}

QImage Expected(const Layout &c) {
    QImage image(c.width, c.height, QImage::Format_ARGB32);
    for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) image.setPixel(x, y, c.shown(x, y));
    return image;
}

// Decodes the file; checks the depth, the size GetPictureInfo reports and the picture.
void ExpectDecoded(const std::filesystem::path &file, int bits, const QImage &expected) {
    int32_t w = 0, h = 0;
    ASSERT_EQ(In.PictureSize(file, &w, &h), 0);
    EXPECT_EQ(QSize(w, h), expected.size());
    HBITMAP b = In.Decode(file);
    EXPECT_EQ(ViewDib(b).bitCount, bits);
    std::string where;
    EXPECT_EQ(MaxDifference(DibToImage(b), expected, &where), 0) << where;
    DeleteObject(b);
}

class TiffLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(TiffLayouts, ReadIntoTheDepthThatLosesLeast) {
    TempDir dir;
    ExpectDecoded(Write(dir, GetParam()), GetParam().loadedBits, Expected(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Written, TiffLayouts, ::testing::ValuesIn(kLayouts), kCaseName);

// ---- The Orientation tag, on the direct readers and on the RGBA reader (CMYK) --------------

// The stored picture as each orientation shows it, after the tag's definition.
QImage Shown(const QImage &stored, int orientation) {
    const QTransform quarter = QTransform().rotate(90);
    switch (orientation) {
    case 2: return stored.mirrored(true, false);
    case 3: return stored.mirrored(true, true);
    case 4: return stored.mirrored(false, true);
    case 5: return stored.transformed(quarter).mirrored(true, false);
    case 6: return stored.transformed(quarter);
    case 7: return stored.transformed(quarter).mirrored(false, true);
    case 8: return stored.transformed(QTransform().rotate(270));
    default: return stored;
    }
}

class TiffOrientation : public ::testing::TestWithParam<std::tuple<const char *, int>> {};

TEST_P(TiffOrientation, AppliedAndReportedInTheSize) {
    const auto &[name, orientation] = GetParam();
    const Layout &c = Named(name);
    TempDir dir;
    ExpectDecoded(Write(dir, c, orientation), c.loadedBits, Shown(Expected(c), orientation));
}

INSTANTIATE_TEST_SUITE_P(AllEight, TiffOrientation,
                         ::testing::Combine(::testing::Values("Rgb8", "Palette4", "Bilevel1", "Cmyk"), ::testing::Range(1, 9)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param)) + "Orientation" + std::to_string(std::get<1>(info.param));
                         });

// ---- Hostile files: refused, and nothing of libtiff's reaches stderr -----------------------

// A classic little-endian TIFF written byte by byte: one 8-bit grey strip of `dataBytes`
// bytes, with the sizes it claims, whatever they are.
Bytes HandMade(uint32_t width, uint32_t height, uint32_t dataBytes, uint32_t stripBytesClaimed, uint32_t nextIfd = 0) {
    Bytes f = {'I', 'I', 42, 0, 8, 0, 0, 0, 9, 0};
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) f.push_back(uint8_t(v >> 8 * i)); };
    auto entry = [&](unsigned tag, unsigned type, uint32_t value) {
        f.insert(f.end(), {uint8_t(tag), uint8_t(tag >> 8), uint8_t(type), 0});
        u32(1), u32(value);  // a SHORT sits in the low bytes of the little-endian field
    };
    entry(256, 4, width), entry(257, 4, height), entry(258, 3, 8), entry(259, 3, 1), entry(262, 3, 1);
    entry(273, 4, 8 + 2 + 9 * 12 + 4), entry(277, 3, 1), entry(278, 4, height), entry(279, 4, stripBytesClaimed);
    u32(nextIfd);
    f.resize(f.size() + dataBytes, 0x80);
    return f;
}

class TiffHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(TiffHostile, FailsCleanlyAndQuietly) { ExpectHostile(In, GetParam(), "tif"); }

constexpr Caught kSignature = Caught::kByIsSupported, kInfo = Caught::kByGetPictureInfo, kDib = Caught::kByGetPictureDIB;

INSTANTIATE_TEST_SUITE_P(
    Files, TiffHostile,
    ::testing::Values(
        HostileCase{"ZeroBytes", [] { return Bytes{}; }, kSignature},
        HostileCase{"SignatureOnly", [] { return Bytes{'I', 'I', 42, 0}; }, kInfo},
        HostileCase{"Garbage", [] {
            Bytes g(4096);
            uint32_t s = 99;
            for (auto &b : g) b = uint8_t((s = s * 1103515245 + 12345) >> 16);
            g[0] = 'M', g[1] = 'M', g[2] = 0, g[3] = 42;
            return g; }, kInfo},
        HostileCase{"IfdPastTheEnd", [] { return Bytes{'I', 'I', 42, 0, 0xF0, 0xFF, 0, 0}; }, kInfo},
        HostileCase{"ZeroWidth", [] { return HandMade(0, 10, 100, 100); }, kInfo},
        HostileCase{"ZeroHeight", [] { return HandMade(10, 0, 100, 100); }, kInfo},
        HostileCase{"Width2Pow31", [] { return HandMade(0x80000000u, 1, 100, 100); }, kInfo},
        HostileCase{"Bomb100000x100000", [] { return HandMade(100000, 100000, 100, 100); }, kInfo},
        HostileCase{"StripPastTheEnd", [] { return HandMade(64, 64, 100, 64 * 64); }, kDib},
        // A loop in the chain of pictures does not matter for the first one.
        HostileCase{"IfdLoop", [] { return HandMade(10, 10, 100, 100, 8); }, Caught::kClippedNotRefused},
        // Found by fuzzing: 65289 x 1029 pixels in separate LZW planes whose strips hold a few
        // bytes each. Fails at the first short strip instead of walking all of them.
        HostileCase{"ShortLzwPlanes", [] {
            const QByteArray b = QByteArray::fromBase64(
                "SUkqACYAAAD4TfhN+E34TfhN+E34TfhN+E34TfhN+E34TfhN+E0JAAABAwABAAAACf/2AAEBAwABAAAABQQAAAIBAwADAAAAmAAAAP3+/w"
                "ABAAAABYAAAAYBAwABAAAAAgAAABEBBAADAAAAqgAAABUBAwABAAAAAwAAABcBBAADAAAAngAAABwBAwABAAAAAgAAAAAAAAAIAAgACAAK"
                "AAAACgAAAAoAAAAIAAAAEgAAABwAAAA=");
            return Bytes(b.begin(), b.end()); }, kDib}),
    kCaseName);

// ---- The compression dialog: every choice is used and reads back exactly; a cancel keeps ---

uint16_t CompressionOf(const std::filesystem::path &file) {
    TIFF *tif = TIFFOpen(file.c_str(), "r");
    uint16_t c = 0;
    if (tif) TIFFGetField(tif, TIFFTAG_COMPRESSION, &c), TIFFClose(tif);
    return c;
}

TEST(TiffSettings, EveryCompressionOfTheDialogRoundTripsAndACancelKeepsTheChoice) {
    const uint16_t schemes[] = {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS};
    TempDir dir;
    HBITMAP colour = ChartDib(24, false), bilevel = ChartDib(1, true, -2);  // the ramp: stored as bilevel grey
    for (int choice = 0; choice < 4; ++choice) {
        ASSERT_EQ(AnswerSettings(Out, {{"Compression", choice}}, true), 0);
        for (HBITMAP source : {colour, bilevel}) {
            ASSERT_EQ(Out.Save(source, dir / "c.tif"), 0);
            EXPECT_EQ(CompressionOf(dir / "c.tif"), schemes[choice]);
            ExpectDecoded(dir / "c.tif", ViewDib(source).bitCount, DibToImage(source));
        }
    }
    EXPECT_NE(AnswerSettings(Out, {{"Compression", 0}}, false), 0);
    ASSERT_EQ(Out.Save(colour, dir / "after.tif"), 0);
    EXPECT_EQ(CompressionOf(dir / "after.tif"), COMPRESSION_PACKBITS);
    EXPECT_EQ(AnswerSettings(Out, {{"Compression", 1}}, true), 0);
    DeleteObject(colour);
    DeleteObject(bilevel);
}

}  // namespace
}  // namespace faltrix
