// The BMP plug-ins, loaded from the build tree as the program loads them: round trips of
// every depth, files in every layout other software writes compared with Qt's reader, and
// hostile files named after their defect.
#include <gtest/gtest.h>

#include <QImage>

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <thread>

#include "codec_test_support.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;

const CodecPlugin &In() {
    static CodecPlugin p("bmp", "input");
    return p;
}
const CodecPlugin &Out() {
    static CodecPlugin p("bmp", "output");
    return p;
}

// ---- Writing BMP files by hand ------------------------------------------------------------

void Put(std::vector<uint8_t> &v, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

struct BmpFile {
    uint32_t headerSize = 40;
    int32_t width = 4, height = 3;  // negative height: top-down
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    std::vector<RGBQUAD> palette;
    int64_t clrUsed = -1;            // -1: the palette's size
    std::vector<uint32_t> masks;     // r, g, b[, a]
    std::vector<uint8_t> pixels;     // exactly as stored
    int64_t dataOffset = -1;         // -1: right after the table

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> info;
        if (headerSize == 12) {
            Put(info, 12, 4), Put(info, uint32_t(width), 2), Put(info, uint32_t(height), 2);
            Put(info, 1, 2), Put(info, bitCount, 2);
        } else {
            Put(info, headerSize, 4), Put(info, uint32_t(width), 4), Put(info, uint32_t(height), 4);
            Put(info, 1, 2), Put(info, bitCount, 2), Put(info, compression, 4), Put(info, uint32_t(pixels.size()), 4);
            Put(info, 2835, 4), Put(info, 3780, 4);
            Put(info, uint32_t(clrUsed >= 0 ? clrUsed : int64_t(palette.size())), 4), Put(info, 0, 4);
            if (headerSize > 40) {
                for (size_t i = 0; i < 4; ++i) Put(info, i < masks.size() ? masks[i] : 0, 4);
                info.resize(headerSize, 0);
            } else {
                for (uint32_t m : masks) Put(info, m, 4);
            }
        }
        for (const RGBQUAD &q : palette) {
            info.push_back(q.rgbBlue), info.push_back(q.rgbGreen), info.push_back(q.rgbRed);
            if (headerSize != 12) info.push_back(0);
        }
        std::vector<uint8_t> file = {'B', 'M'};
        const uint32_t offset = dataOffset >= 0 ? uint32_t(dataOffset) : uint32_t(14 + info.size());
        Put(file, uint32_t(14 + info.size() + pixels.size()), 4), Put(file, 0, 4), Put(file, offset, 4);
        file.insert(file.end(), info.begin(), info.end());
        file.insert(file.end(), pixels.begin(), pixels.end());
        return file;
    }
};

// Rows of packed pixels, padded to 4 bytes, in the file's order for the given height sign.
std::vector<uint8_t> Rows(int32_t width, int32_t height, int bits, const std::function<uint32_t(int, int)> &pixel) {
    const int32_t h = std::abs(height);
    const size_t stride = size_t((width * bits + 31) / 32 * 4);
    std::vector<uint8_t> out(stride * size_t(h), 0);
    for (int32_t i = 0; i < h; ++i) {
        const int32_t y = height < 0 ? i : h - 1 - i;  // the picture row stored at file row i
        uint8_t *row = out.data() + size_t(i) * stride;
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t v = pixel(x, y);
            if (bits < 8) {
                const int per = 8 / bits, shift = 8 - bits * (x % per + 1);
                row[x / per] |= uint8_t(v << shift);
            } else {
                for (int b = 0; b < bits / 8; ++b) row[size_t(x) * (bits / 8) + size_t(b)] = uint8_t(v >> (8 * b));
            }
        }
    }
    return out;
}

std::vector<RGBQUAD> Ramp(int n) {
    std::vector<RGBQUAD> p;
    for (int i = 0; i < n; ++i) p.push_back(RGBQUAD{uint8_t(i * 37), uint8_t(255 - i * 11), uint8_t(i * 73 % 256), 0});
    return p;
}

// ---- Information ---------------------------------------------------------------------------

TEST(BmpPluginInfo, TagsDescriptionAndPatternsAnswerTheirLength) {
    ASSERT_TRUE(In().loaded()) << In().error();
    ASSERT_TRUE(Out().loaded()) << Out().error();
    int32_t n;
    EXPECT_EQ(In().Info(0, 256, &n), u"00IN_EX");
    EXPECT_EQ(n, 7);
    EXPECT_EQ(Out().Info(0, 256, &n), u"00OUT_EX");
    EXPECT_EQ(n, 8);
    for (const CodecPlugin *p : {&In(), &Out()}) {
        for (int number = 1; number <= 3; ++number) {
            const std::u16string text = p->Info(number, 1024, &n);
            EXPECT_EQ(n, int32_t(text.size())) << number;
            EXPECT_GT(n, 0) << number;
        }
        EXPECT_NE(p->Info(1).find(u"BMP"), std::u16string::npos);
        EXPECT_EQ(p->Info(4, 1024, &n), u"");
        EXPECT_EQ(n, 0);
    }
}

// ---- Round trips -------------------------------------------------------------------------

struct DepthCase {
    const char *name;
    int bitCount;
    bool topDown;
    int paletteSize;
    uint32_t masks[3];
    bool alpha;
};

class BmpRoundTrip : public ::testing::TestWithParam<DepthCase> {};

TEST_P(BmpRoundTrip, SaveThenLoadGivesTheSamePixelsPaletteAndResolution) {
    const DepthCase &c = GetParam();
    DibParams p;
    p.width = 37;  // odd widths exercise the row padding
    p.height = 11;
    p.bitCount = c.bitCount;
    p.topDown = c.topDown;
    p.palette = c.paletteSize ? Ramp(c.paletteSize) : std::vector<RGBQUAD>{};
    std::memcpy(p.masks, c.masks, sizeof p.masks);
    p.xPelsPerMeter = 3937;
    p.yPelsPerMeter = 1000;
    uint8_t *bits;
    uint32_t stride;
    HBITMAP source = MakeDib(p, &bits, &stride);
    ASSERT_NE(source, nullptr);
    for (uint32_t i = 0; i < stride * uint32_t(p.height); ++i) bits[i] = uint8_t(i * 7 + i / 13);
    if (c.bitCount == 32)
        for (uint32_t i = 3; i < stride * uint32_t(p.height); i += 4) bits[i] = c.alpha ? uint8_t(i) : 0;
    if (c.bitCount <= 8 && c.paletteSize < (1 << c.bitCount))  // keep indices inside the table
        for (uint32_t i = 0; i < stride * uint32_t(p.height); ++i) bits[i] &= c.bitCount == 8 ? 0x0F : 0x33;

    TempDir dir;
    const auto file = dir / "round.bmp";
    ASSERT_EQ(Out().Save(source, file), 0);
    EXPECT_EQ(CodecPlugin::LastProgress().done, p.height);
    ASSERT_NE(In().IsSupported(file), 0);
    int32_t w = 0, h = 0;
    ASSERT_EQ(In().PictureSize(file, &w, &h), 0);
    EXPECT_EQ(w, 37);
    EXPECT_EQ(h, 11);
    HBITMAP loaded = In().Decode(file);
    ASSERT_NE(loaded, nullptr);
    const CodecPlugin::Progress progress = CodecPlugin::LastProgress();
    EXPECT_TRUE(progress.monotonic);
    EXPECT_EQ(progress.done, progress.total);

    const DibView a = ViewDib(source), b = ViewDib(loaded);
    EXPECT_EQ(b.bitCount, a.bitCount);
    EXPECT_EQ(b.palette.size(), a.palette.size());
    for (size_t i = 0; i < std::min(a.palette.size(), b.palette.size()); ++i)
        EXPECT_EQ(std::memcmp(&a.palette[i], &b.palette[i], 3), 0) << "entry " << i;
    EXPECT_EQ(b.rows, a.rows);
    EXPECT_EQ(b.xPelsPerMeter, 3937);
    EXPECT_EQ(b.yPelsPerMeter, 1000);
    std::string where;
    EXPECT_EQ(MaxDifference(DibToImage(loaded), DibToImage(source), &where), 0) << where;
    DeleteObject(loaded);
    DeleteObject(source);
}

INSTANTIATE_TEST_SUITE_P(
    Depths, BmpRoundTrip,
    ::testing::Values(DepthCase{"OneBit", 1, false, 2, {}, false}, DepthCase{"FourBit", 4, false, 16, {}, false},
                      DepthCase{"FourBitShortPalette", 4, true, 4, {}, false},
                      DepthCase{"EightBit", 8, false, 256, {}, false},
                      DepthCase{"EightBitTopDown", 8, true, 200, {}, false},
                      DepthCase{"EightBitSixteenColours", 8, false, 16, {}, false},
                      DepthCase{"Sixteen555", 16, false, 0, {}, false},
                      DepthCase{"Sixteen565", 16, true, 0, {0xF800, 0x07E0, 0x001F}, false},
                      DepthCase{"TwentyFour", 24, false, 0, {}, false},
                      DepthCase{"TwentyFourTopDown", 24, true, 0, {}, false},
                      DepthCase{"ThirtyTwoOpaque", 32, false, 0, {}, false},
                      DepthCase{"ThirtyTwoAlpha", 32, true, 0, {}, true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Files as other software writes them, against Qt's reader -----------------------------

struct LayoutCase {
    const char *name;
    BmpFile file;
    int tolerance;
};

BmpFile Paletted(uint32_t headerSize, uint16_t bits, int32_t height) {
    BmpFile f;
    f.headerSize = headerSize;
    f.width = 13;
    f.height = height;
    f.bitCount = bits;
    f.palette = Ramp(1 << bits);
    f.pixels = Rows(13, height, bits, [bits](int x, int y) { return uint32_t((x * 3 + y * 5) % (1 << bits)); });
    return f;
}

BmpFile Direct(uint32_t headerSize, uint16_t bits, int32_t height, uint32_t compression, std::vector<uint32_t> masks,
               const std::function<uint32_t(int, int)> &pixel) {
    BmpFile f;
    f.headerSize = headerSize;
    f.width = 13;
    f.height = height;
    f.bitCount = bits;
    f.compression = compression;
    f.masks = std::move(masks);
    f.pixels = Rows(13, height, bits, pixel);
    return f;
}

uint32_t Colour(int x, int y) { return uint32_t((x * 19) & 0xFF) | (uint32_t((y * 23) & 0xFF) << 8) | (uint32_t((x * y * 5) & 0xFF) << 16); }

// RLE8: per row a run, a literal stretch of 3 (padded), another run, and an end of row.
// Every pixel is written: readers differ on what a jump leaves behind.
BmpFile Rle8(bool jump = false) {
    BmpFile f = Paletted(40, 8, 4);
    f.compression = BI_RLE8;
    f.pixels = {};
    for (int y = 0; y < 4; ++y) {
        const uint8_t literal[] = {0, 3, uint8_t(y), uint8_t(y + 1), uint8_t(y + 2), 0};
        f.pixels.insert(f.pixels.end(), {5, uint8_t(10 + y)});
        f.pixels.insert(f.pixels.end(), std::begin(literal), std::end(literal));
        if (jump) f.pixels.insert(f.pixels.end(), {0, 2, 2, 0});  // two pixels right
        else f.pixels.insert(f.pixels.end(), {2, 99});
        f.pixels.insert(f.pixels.end(), {3, uint8_t(200 + y)});
        f.pixels.insert(f.pixels.end(), {0, 0});
    }
    f.pixels.insert(f.pixels.end(), {0, 1});
    return f;
}

BmpFile Rle4() {
    BmpFile f = Paletted(40, 4, 3);
    f.compression = BI_RLE4;
    f.pixels = {};
    for (int y = 0; y < 3; ++y) {
        f.pixels.insert(f.pixels.end(), {7, uint8_t(0x1F + y)});               // 7 alternating pixels
        f.pixels.insert(f.pixels.end(), {0, 6, 0x12, 0x34, uint8_t(0x50 + y), 0});  // 6 literal pixels
        f.pixels.insert(f.pixels.end(), {0, 0});
    }
    f.pixels.insert(f.pixels.end(), {0, 1});
    return f;
}

class BmpLayoutVsQt : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(BmpLayoutVsQt, DecodesAsQtDoes) {
    TempDir dir;
    const auto file = dir / "layout.bmp";
    WriteFile(file, GetParam().file.Bytes());
    QImage expected(QString::fromStdString(file.string()), "BMP");
    ASSERT_FALSE(expected.isNull()) << "Qt cannot read the hand-made file";
    HBITMAP decoded = In().Decode(file);
    ASSERT_NE(decoded, nullptr);
    std::string where;
    // Qt keeps 32-bit BI_RGB as RGB32; read it the same way for the comparison.
    QImage have = DibToImage(decoded);
    if (!expected.hasAlphaChannel()) have = have.convertToFormat(QImage::Format_RGB32);
    EXPECT_LE(MaxDifference(have, expected.convertToFormat(QImage::Format_ARGB32), &where), GetParam().tolerance) << where;
    DeleteObject(decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BmpLayoutVsQt,
    ::testing::Values(
        LayoutCase{"CoreHeaderOneBit", Paletted(12, 1, 7), 0}, LayoutCase{"CoreHeaderEightBit", Paletted(12, 8, 7), 0},
        LayoutCase{"InfoOneBit", Paletted(40, 1, 7), 0}, LayoutCase{"InfoFourBit", Paletted(40, 4, 7), 0},
        LayoutCase{"InfoEightBitTopDown", Paletted(40, 8, -7), 0},
        LayoutCase{"V4EightBit", Paletted(108, 8, 5), 0}, LayoutCase{"V5FourBit", Paletted(124, 4, 5), 0},
        LayoutCase{"Rle8", Rle8(), 0}, LayoutCase{"Rle4", Rle4(), 0},
        LayoutCase{"Info24", Direct(40, 24, 6, BI_RGB, {}, Colour), 0},
        LayoutCase{"Info24TopDown", Direct(40, 24, -6, BI_RGB, {}, Colour), 0},
        LayoutCase{"Info32", Direct(40, 32, 6, BI_RGB, {}, Colour), 0},
        LayoutCase{"Info16Default555", Direct(40, 16, 6, BI_RGB, {}, [](int x, int y) { return uint32_t(x * 2311 + y * 97) & 0x7FFF; }), 8},
        LayoutCase{"Info16Bitfields565", Direct(40, 16, 6, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}, [](int x, int y) { return uint32_t(x * 4099 + y * 331) & 0xFFFF; }), 8},
        LayoutCase{"V5Rgba", Direct(124, 32, 6, BI_BITFIELDS, {0xFF0000, 0xFF00, 0xFF, 0xFF000000},
                                   [](int x, int y) { return Colour(x, y) | (uint32_t(x * 20) << 24); }), 1},
        LayoutCase{"V4Bgr32Masks", Direct(108, 32, -6, BI_BITFIELDS, {0xFF, 0xFF00, 0xFF0000}, Colour), 0},
        LayoutCase{"V4Sixteen4444", Direct(108, 16, 6, BI_BITFIELDS, {0x0F00, 0x00F0, 0x000F, 0xF000},
                                           [](int x, int y) { return uint32_t(x * 4099 + y * 331) & 0xFFFF; }), 17}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BmpRle, JumpLeavesSkippedPixelsAtIndexZero) {
    TempDir dir;
    WriteFile(dir / "jump.bmp", Rle8(true).Bytes());
    HBITMAP b = In().Decode(dir / "jump.bmp");
    ASSERT_NE(b, nullptr);
    const DibView v = ViewDib(b);
    ASSERT_EQ(v.bitCount, 8);
    // Rows are stored bottom-up: the last picture row is the first one encoded.
    EXPECT_EQ(v.rows[3], (std::vector<uint8_t>{10, 10, 10, 10, 10, 0, 1, 2, 0, 0, 200, 200, 200}));
    EXPECT_EQ(v.rows[0], (std::vector<uint8_t>{13, 13, 13, 13, 13, 3, 4, 5, 0, 0, 203, 203, 203}));
    DeleteObject(b);
}

TEST(BmpOrientation, TopDownAndBottomUpFilesGiveTheSamePicture) {
    TempDir dir;
    for (uint16_t bits : {uint16_t(1), uint16_t(4), uint16_t(8), uint16_t(16), uint16_t(24), uint16_t(32)}) {
        BmpFile up = bits <= 8 ? Paletted(40, bits, 9) : Direct(40, bits, 9, BI_RGB, {}, Colour);
        BmpFile down = bits <= 8 ? Paletted(40, bits, -9) : Direct(40, bits, -9, BI_RGB, {}, Colour);
        WriteFile(dir / "up.bmp", up.Bytes());
        WriteFile(dir / "down.bmp", down.Bytes());
        HBITMAP a = In().Decode(dir / "up.bmp"), b = In().Decode(dir / "down.bmp");
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(ViewDib(a).rows, ViewDib(b).rows) << bits << " bits";
        EXPECT_EQ(MaxDifference(DibToImage(a), DibToImage(b)), 0) << bits << " bits";
        DeleteObject(a);
        DeleteObject(b);
    }
}

TEST(BmpVsQt, ChartWrittenByQtDecodesTheSame) {
    TempDir dir;
    const QImage chart = TestChart(101, 67).convertToFormat(QImage::Format_RGB32);
    for (auto [name, image] : {std::pair{"rgb", chart}, std::pair{"indexed", chart.convertToFormat(QImage::Format_Indexed8)},
                               std::pair{"mono", chart.convertToFormat(QImage::Format_Mono)}}) {
        const auto file = dir / (std::string(name) + ".bmp");
        ASSERT_TRUE(image.save(QString::fromStdString(file.string()), "BMP"));
        HBITMAP decoded = In().Decode(file);
        ASSERT_NE(decoded, nullptr) << name;
        std::string where;
        EXPECT_EQ(MaxDifference(DibToImage(decoded), QImage(QString::fromStdString(file.string())), &where), 0)
            << name << " " << where;
        DeleteObject(decoded);
    }
}

TEST(BmpVsQt, OurOutputReadsBackInQt) {
    TempDir dir;
    const QImage chart = TestChart(64, 48, true);
    for (int bits : {16, 24, 32}) {
        HBITMAP source = ImageToDib(chart, bits, bits == 24);
        const auto file = dir / ("out" + std::to_string(bits) + ".bmp");
        ASSERT_EQ(Out().Save(source, file), 0);
        QImage qt(QString::fromStdString(file.string()), "BMP");
        ASSERT_FALSE(qt.isNull()) << bits;
        std::string where;
        // Qt widens 5-bit channels by shifting (31 -> 248), not by scaling.
        EXPECT_LE(MaxDifference(qt, DibToImage(source), &where), bits == 16 ? 7 : 0) << bits << " bits: " << where;
        DeleteObject(source);
    }
}

// ---- Hostile files -----------------------------------------------------------------------

struct HostileCase {
    const char *name;
    std::function<std::vector<uint8_t>()> make;
    bool headerRefused;  // IsSupported and GetPictureInfo already refuse it
};

class BmpHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(BmpHostile, FailsCleanly) {
    TempDir dir;
    const auto file = dir / (std::string(GetParam().name) + ".bmp");
    WriteFile(file, GetParam().make());
    int32_t w, h;
    if (GetParam().headerRefused) {
        EXPECT_EQ(In().IsSupported(file), 0);
        EXPECT_NE(In().PictureSize(file, &w, &h), 0);
    }
    HBITMAP b = In().Decode(file);
    EXPECT_EQ(b, nullptr);
    if (b) DeleteObject(b);
}

std::vector<uint8_t> Patch(std::vector<uint8_t> bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + size_t(i)] = uint8_t(value >> (8 * i));
    return bytes;
}

BmpFile Bomb() {
    BmpFile f = Paletted(40, 8, 100000);
    f.width = 100000;
    f.compression = BI_RLE8;
    f.pixels = {0, 1};
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Defects, BmpHostile,
    ::testing::Values(
        HostileCase{"ZeroByte", [] { return std::vector<uint8_t>{}; }, true},
        HostileCase{"SignatureOnly", [] { return std::vector<uint8_t>{'B', 'M'}; }, true},
        HostileCase{"Garbage", [] { std::vector<uint8_t> g(500); for (size_t i = 0; i < g.size(); ++i) g[i] = uint8_t(i * 131 + 7); return g; }, true},
        HostileCase{"TruncatedHeader", [] { auto b = Paletted(40, 8, 5).Bytes(); b.resize(30); return b; }, true},
        HostileCase{"TruncatedPalette", [] { auto b = Paletted(40, 8, 5).Bytes(); b.resize(54 + 100); return b; }, true},
        HostileCase{"TruncatedPixels", [] { auto b = Direct(40, 24, 40, BI_RGB, {}, Colour).Bytes(); b.resize(b.size() / 2); return b; }, false},
        HostileCase{"HugeHeaderWithAHundredBytesOfPixels", [] { auto f = Direct(40, 24, 16000, BI_RGB, {}, Colour); f.pixels.resize(100); f.width = 16000; return f.Bytes(); }, false},
        HostileCase{"ZeroWidth", [] { return Patch(Paletted(40, 8, 5).Bytes(), 18, 0); }, true},
        HostileCase{"ZeroHeight", [] { return Patch(Paletted(40, 8, 5).Bytes(), 22, 0); }, true},
        HostileCase{"Width2Pow31", [] { return Patch(Paletted(40, 8, 5).Bytes(), 18, 0x80000000u); }, true},
        HostileCase{"HeightMinusTwoPow31", [] { return Patch(Paletted(40, 8, 5).Bytes(), 22, 0x80000000u); }, true},
        HostileCase{"NegativeWidth", [] { return Patch(Paletted(40, 8, 5).Bytes(), 18, uint32_t(-13)); }, true},
        HostileCase{"Bomb100000x100000", [] { return Bomb().Bytes(); }, true},
        HostileCase{"PaletteClaimsMoreEntriesThanBitsAllow", [] { auto f = Paletted(40, 4, 5); f.clrUsed = 300; return f.Bytes(); }, true},
        HostileCase{"PaletteClaimsMoreEntriesThanTheFileHolds", [] { auto f = Paletted(40, 8, 1); f.width = 1; f.palette.resize(2); f.clrUsed = 256; f.pixels = {0, 0, 0, 0}; return f.Bytes(); }, true},
        HostileCase{"BitCountSeven", [] { auto f = Paletted(40, 8, 5); f.bitCount = 7; return f.Bytes(); }, true},
        HostileCase{"UnknownHeaderSize", [] { return Patch(Paletted(40, 8, 5).Bytes(), 14, 41); }, true},
        HostileCase{"EmbeddedJpeg", [] { auto f = Direct(40, 24, 5, 4, {}, Colour); return f.Bytes(); }, true},
        HostileCase{"OverlappingMasks", [] { return Direct(40, 32, 5, BI_BITFIELDS, {0xFFFF00, 0xFF00, 0xFF}, Colour).Bytes(); }, true},
        HostileCase{"MaskWithAHole", [] { return Direct(40, 16, 5, BI_BITFIELDS, {0xF00F, 0x00F0, 0x0F00}, Colour).Bytes(); }, true},
        HostileCase{"RleTopDown", [] { auto f = Rle8(); f.height = -f.height; return f.Bytes(); }, true},
        HostileCase{"Rle8RunPastTheRow", [] { auto f = Rle8(); f.pixels = {200, 1, 0, 1}; return f.Bytes(); }, false},
        HostileCase{"Rle8LiteralPastTheRow", [] { auto f = Rle8(); f.pixels = {0, 20}; f.pixels.resize(22, 1); f.pixels.insert(f.pixels.end(), {0, 1}); return f.Bytes(); }, false},
        HostileCase{"Rle8LiteralPastTheData", [] { auto f = Rle8(); f.pixels = {0, 10, 1, 2}; return f.Bytes(); }, false},
        HostileCase{"Rle8JumpPastThePicture", [] { auto f = Rle8(); f.pixels = {0, 2, 0, 50, 1, 1, 0, 1}; return f.Bytes(); }, false},
        HostileCase{"Rle8RowsPastThePicture", [] { auto f = Rle8(); f.pixels.clear(); for (int i = 0; i < 10; ++i) f.pixels.insert(f.pixels.end(), {1, 1, 0, 0}); return f.Bytes(); }, false},
        HostileCase{"Rle8WithoutEndOfPicture", [] { auto f = Rle8(); f.pixels = {4, 1, 0, 0}; return f.Bytes(); }, false},
        HostileCase{"Rle4RunPastTheRow", [] { auto f = Rle4(); f.pixels = {14, 0x12, 0, 1}; return f.Bytes(); }, false},
        HostileCase{"DataOffsetPastTheEnd", [] { auto f = Paletted(40, 8, 5); f.dataOffset = 100000; return f.Bytes(); }, true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Output failures ---------------------------------------------------------------------

TEST(BmpOutputFailure, FullDiskLeavesThePreviousFileAndNoTemporary) {
    TempDir dir;
    const auto file = dir / "previous.bmp";
    const std::vector<uint8_t> previous(1000, 0xAB);
    WriteFile(file, previous);
    HBITMAP source = ImageToDib(TestChart(300, 200), 24);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 16 * 1024;  // the picture needs 180 kB
    setrlimit(RLIMIT_FSIZE, &limit);
    const int32_t result = Out().Save(source, file);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(result, 0);
    EXPECT_EQ(ReadFile(file), previous);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"previous.bmp"});
    DeleteObject(source);
}

TEST(BmpOutputFailure, MissingFolderAndEmptyDcFail) {
    TempDir dir;
    HBITMAP source = ImageToDib(TestChart(8, 8), 24);
    EXPECT_NE(Out().Save(source, dir / "missing" / "x.bmp"), 0);
    HDC empty = CreateCompatibleDC(nullptr);
    const std::u16string path = U16((dir / "x.bmp").string());
    EXPECT_NE(Out().SaveRaw(empty, path.c_str()), 0);
    EXPECT_NE(Out().SaveRaw(nullptr, path.c_str()), 0);
    DeleteDC(empty);
    EXPECT_TRUE(dir.Entries().empty());
    DeleteObject(source);
}

// ---- Two threads at once -----------------------------------------------------------------

TEST(BmpThreads, DecodeAndEncodeAtTheSameTimeGiveTheSameResults) {
    TempDir dir;
    HBITMAP source = ImageToDib(TestChart(200, 150), 24);
    ASSERT_EQ(Out().Save(source, dir / "a.bmp"), 0);
    DeleteObject(source);
    const std::vector<uint8_t> reference = ReadFile(dir / "a.bmp");
    auto work = [&](int id) {
        // A bitmap is selected in one DC at a time: each thread stores its own copy.
        HBITMAP source = ImageToDib(TestChart(200, 150), 24);
        for (int i = 0; i < 20; ++i) {
            const auto file = dir / std::to_string(id).append(".bmp");
            EXPECT_EQ(Out().Save(source, file), 0);
            EXPECT_EQ(ReadFile(file), reference);
            HBITMAP b = In().Decode(dir / "a.bmp");
            EXPECT_NE(b, nullptr);
            DeleteObject(b);
        }
        DeleteObject(source);
    };
    std::thread t1(work, 1), t2(work, 2);
    t1.join();
    t2.join();
}

}  // namespace
}  // namespace faltrix
