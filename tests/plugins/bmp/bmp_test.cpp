// The BMP input plug-in, loaded from the build tree as the program loads it: files in every
// layout other software writes, both row orders, compared with Qt's reader, and hostile files
// named after their defect. Round trips are in the conversion matrix.
#include <QImage>

#include "codec_harness.h"

namespace faltrix {
namespace {

using namespace faltrix::testing;
using PixelFn = std::function<uint32_t(int, int)>;

const CodecPlugin In("bmp", "input");

// ---- Writing BMP files by hand ------------------------------------------------------------

void Put(Bytes &v, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

struct BmpFile {
    uint32_t headerSize = 40;
    int32_t width = 13, height = 3;  // negative height: top-down
    uint16_t bitCount = 24;
    uint32_t compression = BI_RGB;
    std::vector<RGBQUAD> palette;
    int64_t clrUsed = -1;         // -1: the palette's size
    std::vector<uint32_t> masks;  // r, g, b[, a]
    Bytes pixels;                 // exactly as stored
    int64_t dataOffset = -1;      // -1: right after the table

    Bytes File() const {
        std::vector<uint8_t> info;
        if (headerSize == 12) {
            Put(info, 12, 4), Put(info, uint32_t(width), 2), Put(info, uint32_t(height), 2), Put(info, 1, 2);
            Put(info, bitCount, 2);
        } else {
            Put(info, headerSize, 4), Put(info, uint32_t(width), 4), Put(info, uint32_t(height), 4), Put(info, 1, 2);
            Put(info, bitCount, 2), Put(info, compression, 4), Put(info, uint32_t(pixels.size()), 4);
            Put(info, 2835, 4), Put(info, 3780, 4), Put(info, uint32_t(clrUsed >= 0 ? clrUsed : int64_t(palette.size())), 4);
            Put(info, 0, 4);
            for (size_t i = 0; i < (headerSize > 40 ? 4 : masks.size()); ++i) Put(info, i < masks.size() ? masks[i] : 0, 4);
            if (headerSize > 40) info.resize(headerSize, 0);
        }
        for (const RGBQUAD &q : palette) {
            info.insert(info.end(), {q.rgbBlue, q.rgbGreen, q.rgbRed});
            if (headerSize != 12) info.push_back(0);
        }
        std::vector<uint8_t> file = {'B', 'M'};
        Put(file, uint32_t(14 + info.size() + pixels.size()), 4), Put(file, 0, 4);
        Put(file, dataOffset >= 0 ? uint32_t(dataOffset) : uint32_t(14 + info.size()), 4);
        file.insert(file.end(), info.begin(), info.end());
        file.insert(file.end(), pixels.begin(), pixels.end());
        return file;
    }
};

uint32_t Colour(int x, int y) { return uint32_t((x * 19) & 0xFF) | uint32_t((y * 23) & 0xFF) << 8 | uint32_t((x * y * 5) & 0xFF) << 16; }

// A 13-pixel-wide file: palettised ones with a full ramp and varied indices, the others of
// `pixel` packed in rows padded to 4 bytes, in the file's order for the height's sign.
BmpFile Make(uint32_t headerSize, uint16_t bits, int32_t height, uint32_t compression = BI_RGB,
             std::vector<uint32_t> masks = {}, const PixelFn &pixel = Colour) {
    BmpFile f;
    f.headerSize = headerSize, f.height = height, f.bitCount = bits, f.compression = compression;
    f.masks = std::move(masks);
    if (bits <= 8) f.palette = TestPalette(1 << bits);
    const int32_t h = std::abs(height);
    const size_t stride = size_t((13 * bits + 31) / 32 * 4);
    f.pixels.assign(stride * size_t(h), 0);
    for (int32_t i = 0; i < h; ++i) {
        const int32_t y = height < 0 ? i : h - 1 - i;  // the picture row stored at file row i
        uint8_t *row = f.pixels.data() + size_t(i) * stride;
        for (int32_t x = 0; x < 13; ++x) {
            const uint32_t v = bits <= 8 ? uint32_t((x * 3 + y * 5) % (1 << bits)) : pixel(x, y);
            if (bits < 8) row[x * bits / 8] |= uint8_t(v << (8 - bits - x * bits % 8));
            else
                for (int b = 0; b < bits / 8; ++b) row[size_t(x) * (bits / 8) + size_t(b)] = uint8_t(v >> (8 * b));
        }
    }
    return f;
}

// RLE8: per row a run, a literal stretch of 3 (padded), two more pixels (a run, or with
// `jump` a jump over them), a run, and an end of row.
BmpFile Rle8(bool jump = false) {
    BmpFile f = Make(40, 8, 4, BI_RLE8);
    f.pixels.clear();
    for (uint8_t y = 0; y < 4; ++y) {
        f.pixels.insert(f.pixels.end(), {5, uint8_t(10 + y), 0, 3, y, uint8_t(y + 1), uint8_t(y + 2), 0});
        if (jump) f.pixels.insert(f.pixels.end(), {0, 2, 2, 0});
        else f.pixels.insert(f.pixels.end(), {2, 99});
        f.pixels.insert(f.pixels.end(), {3, uint8_t(200 + y), 0, 0});
    }
    f.pixels.insert(f.pixels.end(), {0, 1});
    return f;
}

// RLE4: per row 7 alternating pixels, 6 literal pixels and an end of row.
BmpFile Rle4() {
    BmpFile f = Make(40, 4, 3, BI_RLE4);
    f.pixels.clear();
    for (uint8_t y = 0; y < 3; ++y) f.pixels.insert(f.pixels.end(), {7, uint8_t(0x1F + y), 0, 6, 0x12, 0x34, uint8_t(0x50 + y), 0, 0, 0});
    f.pixels.insert(f.pixels.end(), {0, 1});
    return f;
}

// ---- Files as other software writes them, against Qt's reader -----------------------------

struct LayoutCase {
    const char *name;
    BmpFile file;
    int tolerance;
    // Test names come from the case's name rather than from its bytes.
    friend void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }
};

class BmpLayoutVsQt : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(BmpLayoutVsQt, DecodesAsQtDoes) {
    TempDir dir;
    const auto file = dir / "layout.bmp";
    WriteFile(file, GetParam().file.File());
    QImage expected(QString::fromStdString(file.string()), "BMP");
    ASSERT_FALSE(expected.isNull()) << "Qt cannot read the hand-made file";
    HBITMAP decoded = In.Decode(file);
    ASSERT_NE(decoded, nullptr);
    // Qt keeps 32-bit BI_RGB as RGB32; read it the same way for the comparison.
    QImage have = DibToImage(decoded);
    if (!expected.hasAlphaChannel()) have = have.convertToFormat(QImage::Format_RGB32);
    std::string where;
    EXPECT_LE(MaxDifference(have, expected, &where), GetParam().tolerance) << where;
    DeleteObject(decoded);
}

uint32_t Mixed16(int x, int y) { return uint32_t(x * 4099 + y * 331) & 0xFFFF; }

INSTANTIATE_TEST_SUITE_P(
    Layouts, BmpLayoutVsQt,
    ::testing::Values(
        LayoutCase{"CoreHeaderEightBit", Make(12, 8, 7), 0}, LayoutCase{"InfoOneBit", Make(40, 1, 7), 0},
        LayoutCase{"InfoOneBitTopDown", Make(40, 1, -7), 0},
        LayoutCase{"InfoFourBitTopDown", Make(40, 4, -7), 0}, LayoutCase{"InfoEightBitTopDown", Make(40, 8, -7), 0},
        LayoutCase{"V5FourBit", Make(124, 4, 5), 0},
        LayoutCase{"Rle8", Rle8(), 0}, LayoutCase{"Rle4", Rle4(), 0}, LayoutCase{"Info24", Make(40, 24, 6), 0},
        LayoutCase{"Info24TopDown", Make(40, 24, -6), 0}, LayoutCase{"Info32TopDown", Make(40, 32, -6), 0},
        LayoutCase{"Info16Default555TopDown", Make(40, 16, -6, BI_RGB, {}, [](int x, int y) { return Mixed16(x, y) & 0x7FFF; }), 8},
        LayoutCase{"Info16Bitfields565", Make(40, 16, 6, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}, Mixed16), 8},
        LayoutCase{"V5Rgba", Make(124, 32, 6, BI_BITFIELDS, {0xFF0000, 0xFF00, 0xFF, 0xFF000000},
                                  [](int x, int y) { return Colour(x, y) | uint32_t(x * 20) << 24; }), 1},
        LayoutCase{"V4Bgr32Masks", Make(108, 32, -6, BI_BITFIELDS, {0xFF, 0xFF00, 0xFF0000}), 0},
        LayoutCase{"V4Sixteen4444", Make(108, 16, 6, BI_BITFIELDS, {0x0F00, 0x00F0, 0x000F, 0xF000}, Mixed16), 17}),
    kCaseName);

TEST(BmpRle, JumpLeavesSkippedPixelsAtIndexZero) {
    TempDir dir;
    WriteFile(dir / "jump.bmp", Rle8(true).File());
    HBITMAP b = In.Decode(dir / "jump.bmp");
    ASSERT_NE(b, nullptr);
    const DibView v = ViewDib(b);
    ASSERT_EQ(v.bitCount, 8);
    // Rows are stored bottom-up: the last picture row is the first one encoded.
    EXPECT_EQ(v.rows[3], (Bytes{10, 10, 10, 10, 10, 0, 1, 2, 0, 0, 200, 200, 200}));
    EXPECT_EQ(v.rows[0], (Bytes{13, 13, 13, 13, 13, 3, 4, 5, 0, 0, 203, 203, 203}));
    DeleteObject(b);
}

// ---- Hostile files -----------------------------------------------------------------------

class BmpHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(BmpHostile, FailsCleanly) { ExpectHostile(In, GetParam(), "bmp"); }

Bytes Patch(Bytes bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + size_t(i)] = uint8_t(value >> (8 * i));
    return bytes;
}

Bytes Rle8With(Bytes pixels) {
    BmpFile f = Rle8();
    f.pixels = std::move(pixels);
    return f.File();
}

Bytes Eight() { return Make(40, 8, 5).File(); }

constexpr Caught kInfo = Caught::kByIsSupported, kDib = Caught::kByGetPictureDIB;

INSTANTIATE_TEST_SUITE_P(
    Defects, BmpHostile,
    ::testing::Values(
        HostileCase{"ZeroByte", [] { return Bytes{}; }, kInfo},
        HostileCase{"Garbage", [] { Bytes g(500); for (size_t i = 0; i < g.size(); ++i) g[i] = uint8_t(i * 131 + 7); return g; }, kInfo},
        HostileCase{"TruncatedHeader", [] { auto b = Eight(); b.resize(30); return b; }, kInfo},
        HostileCase{"TruncatedPixels", [] { auto b = Make(40, 24, 40).File(); b.resize(b.size() / 2); return b; }, kDib},
        // A file too short for its rows is refused before the section is allocated.
        HostileCase{"HugeHeaderWithAHundredBytesOfPixels", [] { auto f = Make(40, 24, 16000); f.pixels.resize(100); f.width = 16000; return f.File(); }, kDib},
        HostileCase{"ZeroWidth", [] { return Patch(Eight(), 18, 0); }, kInfo},
        HostileCase{"Width2Pow31", [] { return Patch(Eight(), 18, 0x80000000u); }, kInfo},
        HostileCase{"HeightMinusTwoPow31", [] { return Patch(Eight(), 22, 0x80000000u); }, kInfo},
        HostileCase{"Bomb100000x100000", [] { auto f = Make(40, 8, 100000, BI_RLE8); f.width = 100000; f.pixels = {0, 1}; return f.File(); }, kInfo},
        HostileCase{"PaletteClaimsMoreEntriesThanBitsAllow", [] { auto f = Make(40, 4, 5); f.clrUsed = 300; return f.File(); }, kInfo},
        HostileCase{"PaletteClaimsMoreEntriesThanTheFileHolds", [] { auto f = Make(40, 8, 1); f.width = 1; f.palette.resize(2); f.clrUsed = 256; f.pixels = {0, 0, 0, 0}; return f.File(); }, kInfo},
        HostileCase{"OverlappingMasks", [] { return Make(40, 32, 5, BI_BITFIELDS, {0xFFFF00, 0xFF00, 0xFF}).File(); }, kInfo},
        HostileCase{"DataOffsetPastTheEnd", [] { auto f = Make(40, 8, 5); f.dataOffset = 100000; return f.File(); }, kInfo},
        HostileCase{"Rle8RunPastTheRow", [] { return Rle8With({200, 1, 0, 1}); }, kDib},
        HostileCase{"Rle8LiteralPastTheRow", [] { Bytes p(24, 1); p[0] = 0, p[1] = 20, p[22] = 0; return Rle8With(p); }, kDib},
        HostileCase{"Rle8JumpPastThePicture", [] { return Rle8With({0, 2, 0, 50, 1, 1, 0, 1}); }, kDib},
        HostileCase{"Rle8RowsPastThePicture", [] { Bytes p; for (int i = 0; i < 10; ++i) p.insert(p.end(), {1, 1, 0, 0}); return Rle8With(p); }, kDib},
        HostileCase{"Rle4RunPastTheRow", [] { auto f = Rle4(); f.pixels = {14, 0x12, 0, 1}; return f.File(); }, kDib}),
    kCaseName);

}  // namespace
}  // namespace faltrix
