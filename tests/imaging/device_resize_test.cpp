// The palette probe and the resize through the stretching blit.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "faltrix/device_resize.h"
#include "test_support.h"

namespace faltrix {
namespace {

using testing_support::Describe;
using testing_support::Dib;

std::vector<RGBQUAD> Palette(size_t n) {
    std::vector<RGBQUAD> p(n);
    for (size_t i = 0; i < n; ++i) {
        p[i] = RGBQUAD{static_cast<BYTE>(i * 7 + 1), static_cast<BYTE>(255 - i), static_cast<BYTE>(i * 3), 0};
    }
    return p;
}

bool SameColour(const RGBQUAD &a, const RGBQUAD &b) {
    return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed && b.rgbReserved == 0;
}

// A memory DC holding a bitmap for the length of a test.
class Selected {
public:
    explicit Selected(HBITMAP bitmap) : dc_(CreateCompatibleDC(nullptr)) { SelectObject(dc_, bitmap); }
    ~Selected() { DeleteDC(dc_); }
    HDC dc() const { return dc_; }

private:
    HDC dc_;
};

struct ProbeCase {
    const char *name;
    int bits;
    int32_t height;
    DWORD clrUsed;
    uint32_t expectedEnd;
};
void PrintTo(const ProbeCase &c, std::ostream *os) { *os << c.name; }
class ProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTest, ReadsEveryEntryAndLeavesThePixelsAsTheyWere) {
    const ProbeCase &c = GetParam();
    const size_t entries = c.clrUsed != 0 ? c.clrUsed : size_t{1} << c.bits;
    const std::vector<RGBQUAD> palette = Palette(entries);
    Dib picture(9, c.height, c.bits, palette, BI_RGB, nullptr, c.clrUsed);
    ASSERT_NE(picture.get(), nullptr);
    picture.FillRandom(3);
    const std::vector<uint8_t> before = picture.Bytes();

    Selected selected(picture.get());
    std::vector<RGBQUAD> probed(257, RGBQUAD{9, 9, 9, 9});
    EXPECT_EQ(ReadPaletteByProbe(selected.dc(), 0, 256, probed.data()), c.expectedEnd);
    for (uint32_t i = 0; i < c.expectedEnd; ++i) EXPECT_TRUE(SameColour(probed[i], palette[i])) << "entry " << i;
    // Nothing is written past the end index.
    EXPECT_EQ(probed[c.expectedEnd].rgbReserved, 9);
    EXPECT_EQ(picture.Bytes(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Depths, ProbeTest,
    ::testing::Values(ProbeCase{"OneBitTwoEntries", 1, 5, 0, 2}, ProbeCase{"FourBitsSixteen", 4, 5, 0, 16},
                      ProbeCase{"EightBitsAll256", 8, 5, 0, 256}, ProbeCase{"EightBitsClrUsed16", 8, 5, 16, 16},
                      ProbeCase{"EightBitsTopDown", 8, -5, 0, 256}, ProbeCase{"FourBitsTopDown", 4, -50, 0, 16}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Probe, FirstAndLimitGiveAnEndIndexNotACount) {
    const std::vector<RGBQUAD> palette = Palette(16);
    Dib picture(4, 4, 4, palette);
    Selected selected(picture.get());
    std::vector<RGBQUAD> probed(16);
    EXPECT_EQ(ReadPaletteByProbe(selected.dc(), 3, 8, probed.data()), 8u);
    for (uint32_t i = 3; i < 8; ++i) EXPECT_TRUE(SameColour(probed[i - 3], palette[i])) << "index " << i;
}

TEST(Probe, OnlyTheTopBitsOfTheFirstByteAreProbed) {
    // A 4-bit picture whose first two pixels are 5 and 10: the probe writes indices into the
    // high nibble only, so while probing the second pixel must stay 10 - which shows in its
    // colour read through GetPixel after each probe step.
    const std::vector<RGBQUAD> palette = Palette(16);
    Dib picture(4, 1, 4, palette);
    picture.bits()[0] = 0x5A;
    Selected selected(picture.get());
    std::vector<RGBQUAD> probed(16);
    ASSERT_EQ(ReadPaletteByProbe(selected.dc(), 0, 16, probed.data()), 16u);
    EXPECT_EQ(picture.bits()[0], 0x5A);
    const COLORREF second = GetPixel(selected.dc(), 1, 0);
    EXPECT_EQ(second, RGB(palette[10].rgbRed, palette[10].rgbGreen, palette[10].rgbBlue));
}

TEST(Probe, RefusesWhatHasNoPalette) {
    std::vector<RGBQUAD> probed(256);
    for (int bits : {16, 24, 32}) {
        Dib picture(4, 4, bits);
        Selected selected(picture.get());
        EXPECT_EQ(ReadPaletteByProbe(selected.dc(), 0, 256, probed.data()), 0u) << bits << " bits";
    }
    Dib picture(4, 4, 8, Palette(256));
    Selected selected(picture.get());
    EXPECT_EQ(ReadPaletteByProbe(selected.dc(), 0, 256, nullptr), 0u);
    HDC empty = CreateCompatibleDC(nullptr);
    EXPECT_EQ(ReadPaletteByProbe(empty, 0, 256, probed.data()), 0u);
    DeleteDC(empty);
}

// ---- DeviceResize --------------------------------------------------------------------------

class DeviceResizeTest : public ::testing::Test {
protected:
    // Resizes a copy of `picture` (DeviceResize takes over its source).
    DeviceResizeResult Resize(Dib &&picture, uint32_t width, uint32_t height) {
        const DIBSECTION ds = Describe(picture.get());
        results_.push_back(DeviceResize(picture.release(), ds, width, height));
        return results_.back();
    }
    void TearDown() override {
        for (const DeviceResizeResult &r : results_) {
            if (r.storeDC != nullptr) DeleteDC(r.storeDC);
            if (r.bitmap != nullptr) DeleteObject(r.bitmap);
        }
    }
    std::vector<DeviceResizeResult> results_;
};

TEST_F(DeviceResizeTest, APalettisedPictureKeepsItsDepthAndColours) {
    const std::vector<RGBQUAD> palette = Palette(16);
    Dib picture(20, 10, 8, palette, BI_RGB, nullptr, 16);
    picture.FillRandom(5);
    for (size_t i = 0; i < picture.stride() * picture.rows(); ++i) picture.bits()[i] &= 0x0F;
    const DeviceResizeResult r = Resize(std::move(picture), 40, 5);
    ASSERT_NE(r.bitmap, nullptr);
    ASSERT_NE(r.storeDC, nullptr);
    EXPECT_EQ(GetCurrentObject(r.storeDC, OBJ_BITMAP), r.bitmap);
    const DIBSECTION ds = Describe(r.bitmap);
    EXPECT_EQ(ds.dsBmih.biWidth, 40);
    EXPECT_EQ(ds.dsBmih.biHeight, 5);
    EXPECT_EQ(ds.dsBmih.biBitCount, 8);
    EXPECT_EQ(ds.dsBmih.biClrUsed, 16u);
    std::vector<RGBQUAD> table(256);
    ASSERT_EQ(GetDIBColorTable(r.storeDC, 0, 256, table.data()), 16u);
    for (size_t i = 0; i < 16; ++i) EXPECT_TRUE(SameColour(table[i], palette[i])) << "entry " << i;
}

TEST_F(DeviceResizeTest, ATopDownPictureComesOutUpright) {
    // Top row red, the rest blue, stored top-down.
    Dib picture(3, -4, 24);
    for (size_t y = 0; y < 4; ++y) {
        for (size_t x = 0; x < 3; ++x) {
            uint8_t *p = picture.Row(y) + 3 * x;
            p[0] = y == 0 ? 0 : 255;  // blue
            p[2] = y == 0 ? 255 : 0;  // red
        }
    }
    const DeviceResizeResult r = Resize(std::move(picture), 3, 4);
    ASSERT_NE(r.bitmap, nullptr);
    EXPECT_EQ(Describe(r.bitmap).dsBmih.biHeight, 4);  // bottom-up
    EXPECT_EQ(GetPixel(r.storeDC, 1, 0), RGB(255, 0, 0));
    EXPECT_EQ(GetPixel(r.storeDC, 1, 3), RGB(0, 0, 255));
}

TEST_F(DeviceResizeTest, BitFieldMasksArePassedOn) {
    const DWORD masks[3] = {0xF800, 0x07E0, 0x001F};  // 5-6-5
    Dib picture(6, 6, 16, {}, BI_BITFIELDS, masks);
    ASSERT_NE(picture.get(), nullptr);
    const DeviceResizeResult r = Resize(std::move(picture), 3, 3);
    ASSERT_NE(r.bitmap, nullptr);
    const DIBSECTION ds = Describe(r.bitmap);
    EXPECT_EQ(ds.dsBmih.biCompression, static_cast<DWORD>(BI_BITFIELDS));
    EXPECT_EQ(ds.dsBitfields[0], 0xF800u);
    EXPECT_EQ(ds.dsBitfields[1], 0x07E0u);
    EXPECT_EQ(ds.dsBitfields[2], 0x001Fu);
}

TEST_F(DeviceResizeTest, AColourCountAbove256IsClampedInTheCopy) {
    // A 24-bit header may claim a colour table it does not use; the copy never claims more
    // than the 256 entries a table can hold.
    Dib picture(4, 4, 24, {}, BI_RGB, nullptr, 300);
    if (picture.get() == nullptr) GTEST_SKIP() << "the graphics layer refuses such a header";
    const DeviceResizeResult r = Resize(std::move(picture), 2, 2);
    ASSERT_NE(r.bitmap, nullptr);
    EXPECT_EQ(Describe(r.bitmap).dsBmih.biClrUsed, 256u);
}

TEST_F(DeviceResizeTest, TheSameSizeGivesAFreshCopy) {
    Dib picture(7, 5, 24);
    picture.FillRandom(11);
    const std::vector<uint8_t> before = picture.Bytes();
    const DeviceResizeResult r = Resize(std::move(picture), 7, 5);
    ASSERT_NE(r.bitmap, nullptr);
    const DIBSECTION ds = Describe(r.bitmap);
    const auto *bits = static_cast<const uint8_t *>(ds.dsBm.bmBits);
    ASSERT_EQ(static_cast<size_t>(ds.dsBm.bmWidthBytes), 24u);
    for (size_t y = 0; y < 5; ++y) {
        EXPECT_TRUE(std::equal(bits + 24 * y, bits + 24 * y + 21, before.begin() + 24 * y)) << "row " << y;
    }
}

TEST_F(DeviceResizeTest, NoSectionMeansNoResult) {
    // A width beyond what a header can hold (and 0) makes no section: both handles null.
    const DeviceResizeResult huge = Resize(Dib(4, 4, 24), 0x80000000u, 4);
    EXPECT_EQ(huge.bitmap, nullptr);
    EXPECT_EQ(huge.storeDC, nullptr);
    const DeviceResizeResult empty = Resize(Dib(4, 4, 24), 0, 4);
    EXPECT_EQ(empty.bitmap, nullptr);
    EXPECT_EQ(empty.storeDC, nullptr);
}

}  // namespace
}  // namespace faltrix
