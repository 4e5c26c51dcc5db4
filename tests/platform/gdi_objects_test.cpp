// DIB sections, device contexts and the handle table: what is made, what is refused, and
// that handles stay sound when objects go (also from two threads at once).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "alloc_probe.h"
#include "gdi_test_util.h"

namespace faltrix::test {
namespace {

// ---- What CreateDIBSection refuses ------------------------------------------------------

struct BadHeader {
    const char *name;
    Info info;
};

Info Modified(Info info, void (*change)(Info &)) {
    change(info);
    return info;
}

void PrintTo(const BadHeader &c, std::ostream *os) { *os << c.name; }

class RefusedHeader : public ::testing::TestWithParam<BadHeader> {};

TEST_P(RefusedHeader, GivesNullAndNoBits) {
    // An object made before must come through every refusal untouched.
    Surface witness(Info(24, 2, 2));
    ASSERT_TRUE(witness.ok());
    witness.Row(1)[3] = 77;

    void *bits = reinterpret_cast<void *>(0x1);
    ResetLargestCalloc();
    EXPECT_EQ(CreateDIBSection(nullptr, GetParam().info.get(), DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    EXPECT_EQ(bits, nullptr);
    // Refused before any pixel memory was asked for (a header is at most a few hundred bytes).
    EXPECT_LT(LargestCalloc(), size_t{4096});

    EXPECT_EQ(GetPixel(witness.dc(), 1, 1), RGB(0, 0, 77));
    EXPECT_EQ(GetCurrentObject(witness.dc(), OBJ_BITMAP), witness.bitmap());
}

INSTANTIATE_TEST_SUITE_P(
    CreateDIBSection, RefusedHeader,
    ::testing::Values(
        BadHeader{"ZeroWidth", Info(24, 0, 10)}, BadHeader{"NegativeWidth", Info(24, -5, 10)},
        BadHeader{"ZeroHeight", Info(24, 10, 0)}, BadHeader{"MostNegativeHeight", Info(24, 10, INT32_MIN)},
        BadHeader{"TwoBits", Info(2, 10, 10)}, BadHeader{"SevenBits", Info(7, 10, 10)},
        BadHeader{"ZeroBits", Info(0, 10, 10)}, BadHeader{"FortyEightBits", Info(48, 10, 10)},
        BadHeader{"Rle8", Info(8, 10, 10, BI_RLE8)}, BadHeader{"Rle4", Info(4, 10, 10, BI_RLE4)},
        BadHeader{"UnknownCompression", Info(24, 10, 10, 77)},
        BadHeader{"BitfieldsAt24", Modified(Info(24, 4, 4), [](Info &i) { i.SetMasks(0xFF0000, 0xFF00, 0xFF); })},
        BadHeader{"BitfieldsAt8", Modified(Info(8, 4, 4), [](Info &i) { i.SetMasks(0xE0, 0x1C, 0x03); })},
        BadHeader{"OverlappingMasks", Modified(Info(16, 4, 4), [](Info &i) { i.SetMasks(0xF800, 0x0FE0, 0x1F); })},
        BadHeader{"BrokenMask", Modified(Info(16, 4, 4), [](Info &i) { i.SetMasks(0xF000, 0x05E0, 0x1F); })},
        BadHeader{"ZeroMask", Modified(Info(32, 4, 4), [](Info &i) { i.SetMasks(0xFF0000, 0, 0xFF); })},
        BadHeader{"MaskBeyondPixel", Modified(Info(16, 4, 4), [](Info &i) { i.SetMasks(0x1F0000, 0x7E0, 0x1F); })},
        BadHeader{"ColourTableOf257", Modified(Info(8, 4, 4), [](Info &i) { i.header.biClrUsed = 257; })},
        BadHeader{"ColourTableOfFourBillion",
                  Modified(Info(8, 4, 4), [](Info &i) { i.header.biClrUsed = 0xFFFFFFFF; })},
        BadHeader{"TwoPlanes", Modified(Info(24, 4, 4), [](Info &i) { i.header.biPlanes = 2; })},
        BadHeader{"CoreHeaderSize", Modified(Info(24, 4, 4), [](Info &i) { i.header.biSize = 12; })},
        BadHeader{"UnknownHeaderSize", Modified(Info(24, 4, 4), [](Info &i) { i.header.biSize = 41; })},
        // Sizes: a row whose bytes overflow 32 bits, pixel memory just above 2 GiB, and one of
        // 8 TiB that the sanitizer build would abort on if it were ever asked of the allocator.
        BadHeader{"RowBytesOverflow", Info(32, INT32_MAX, 1)},
        BadHeader{"JustAboveTwoGiB", Info(32, 65536, 8193)},
        BadHeader{"EightTiB", Info(32, 1 << 20, -(1 << 21))},
        BadHeader{"AllMaximal", Info(32, INT32_MAX, INT32_MAX)}),
    [](const ::testing::TestParamInfo<BadHeader> &i) { return std::string(i.param.name); });

TEST(CreateDIBSection, RefusesBadArgumentsBesideTheHeader) {
    Info info(24, 4, 4);
    void *bits = nullptr;
    EXPECT_EQ(CreateDIBSection(nullptr, nullptr, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    EXPECT_EQ(CreateDIBSection(nullptr, info.get(), 1 /* DIB_PAL_COLORS */, &bits, nullptr, 0), nullptr);
    int section = 0;
    EXPECT_EQ(CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits, &section, 0), nullptr);
    EXPECT_EQ(CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits, nullptr, 8), nullptr);
    EXPECT_EQ(bits, nullptr);
}

TEST(CreateDIBSection, PixelMemoryComesFromCalloc) {
    // The watch above only means something if pixel memory is taken with calloc.
    ResetLargestCalloc();
    Surface s(Info(24, 1000, 1000));
    ASSERT_TRUE(s.ok());
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_GE(LargestCalloc(), size_t{3000000});
#endif
}

TEST(CreateDIBSection, NewPixelMemoryIsZeroed) {
    // Dirty the heap first so that a reused block would show.
    for (int i = 0; i < 4; ++i) {
        std::vector<uint8_t> junk(64 * 1024, 0xAB);
        (void)junk;
    }
    Surface s(Info(24, 101, 77));
    ASSERT_TRUE(s.ok());
    for (size_t i = 0; i < size_t{s.stride()} * 77; ++i) ASSERT_EQ(s.bits()[i], 0) << "byte " << i;
}

TEST(CreateDIBSection, WorksWithoutBitsPointer) {
    Info info(8, 3, 3);
    HBITMAP b = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(DeleteObject(b));
}

// ---- GetObjectW -------------------------------------------------------------------------

struct LayoutCase {
    const char *name;
    int bits;
    int32_t width, height;
    DWORD compression;
    DWORD clrUsed;
    LONG stride;
    DWORD masks[3];
};

void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }

class Layout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, DescribesTheSection) {
    const LayoutCase &c = GetParam();
    Info info(c.bits, c.width, c.height);
    info.header.biClrUsed = c.clrUsed;
    info.header.biXPelsPerMeter = 3780;
    info.header.biSizeImage = 12345;  // the caller's figure is replaced by the real one
    if (c.compression == BI_BITFIELDS) info.SetMasks(c.masks[0], c.masks[1], c.masks[2]);
    void *bits = nullptr;
    HBITMAP b = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(b, nullptr);

    DIBSECTION ds;
    ASSERT_EQ(GetObjectW(b, sizeof ds, &ds), static_cast<int>(sizeof(DIBSECTION)));
    const int32_t rows = c.height < 0 ? -c.height : c.height;
    EXPECT_EQ(ds.dsBm.bmType, 0);
    EXPECT_EQ(ds.dsBm.bmWidth, c.width);
    EXPECT_EQ(ds.dsBm.bmHeight, rows);
    EXPECT_EQ(ds.dsBm.bmWidthBytes, c.stride);
    EXPECT_EQ(ds.dsBm.bmPlanes, 1);
    EXPECT_EQ(ds.dsBm.bmBitsPixel, c.bits);
    EXPECT_EQ(ds.dsBm.bmBits, bits);
    EXPECT_EQ(ds.dsBmih.biSize, 40u);
    EXPECT_EQ(ds.dsBmih.biWidth, c.width);
    EXPECT_EQ(ds.dsBmih.biHeight, c.height);  // keeps its sign
    EXPECT_EQ(ds.dsBmih.biCompression, c.compression);
    EXPECT_EQ(ds.dsBmih.biSizeImage, static_cast<DWORD>(c.stride * rows));
    EXPECT_EQ(ds.dsBmih.biClrUsed, c.clrUsed);
    EXPECT_EQ(ds.dsBmih.biXPelsPerMeter, 3780);
    EXPECT_EQ(ds.dsBitfields[0], c.masks[0]);
    EXPECT_EQ(ds.dsBitfields[1], c.masks[1]);
    EXPECT_EQ(ds.dsBitfields[2], c.masks[2]);
    EXPECT_EQ(ds.dshSection, nullptr);
    EXPECT_EQ(ds.dsOffset, 0u);

    BITMAP bm;
    ASSERT_EQ(GetObjectW(b, sizeof bm, &bm), static_cast<int>(sizeof(BITMAP)));
    EXPECT_EQ(std::memcmp(&bm, &ds.dsBm, sizeof bm), 0);
    EXPECT_TRUE(DeleteObject(b));
}

INSTANTIATE_TEST_SUITE_P(
    GetObjectW, Layout,
    ::testing::Values(LayoutCase{"OneBitBottomUp", 1, 33, 5, BI_RGB, 0, 8, {0, 0, 0}},
                      LayoutCase{"FourBitsTopDown", 4, 9, -3, BI_RGB, 16, 8, {0, 0, 0}},
                      LayoutCase{"EightBitsSixteenColours", 8, 5, 2, BI_RGB, 16, 8, {0, 0, 0}},
                      LayoutCase{"Sixteen555", 16, 3, 4, BI_RGB, 0, 8, {0x7C00, 0x03E0, 0x001F}},
                      LayoutCase{"Sixteen565", 16, 2, -4, BI_BITFIELDS, 0, 4, {0xF800, 0x07E0, 0x001F}},
                      LayoutCase{"TwentyFour", 24, 5, 3, BI_RGB, 0, 16, {0, 0, 0}},
                      LayoutCase{"ThirtyTwoTopDown", 32, 7, -2, BI_RGB, 0, 28, {0xFF0000, 0xFF00, 0xFF}},
                      LayoutCase{"ThirtyTwoMasks", 32, 1, 1, BI_BITFIELDS, 0, 4, {0xFF, 0xFF00, 0xFF0000}}),
    [](const ::testing::TestParamInfo<LayoutCase> &i) { return std::string(i.param.name); });

TEST(GetObjectW, SizesAndRefusals) {
    Surface s(Info(24, 4, 4));
    ASSERT_TRUE(s.ok());
    uint8_t buffer[sizeof(DIBSECTION) + 8];
    EXPECT_EQ(GetObjectW(s.bitmap(), 0, nullptr), static_cast<int>(sizeof(DIBSECTION)));
    EXPECT_EQ(GetObjectW(s.bitmap(), sizeof(BITMAP), nullptr), static_cast<int>(sizeof(BITMAP)));
    EXPECT_EQ(GetObjectW(s.bitmap(), sizeof(BITMAP) - 1, buffer), 0);
    EXPECT_EQ(GetObjectW(s.bitmap(), -1, buffer), 0);
    EXPECT_EQ(GetObjectW(s.bitmap(), sizeof buffer, buffer), static_cast<int>(sizeof(DIBSECTION)));
    EXPECT_EQ(GetObjectW(s.dc(), sizeof buffer, buffer), 0);
    EXPECT_EQ(GetObjectW(nullptr, sizeof buffer, buffer), 0);
}

TEST(CreateCompatibleBitmap, IsThirtyTwoBitTopDown) {
    HDC screen = GetDC(nullptr);
    HBITMAP b = CreateCompatibleBitmap(screen, 5, 3);
    ASSERT_NE(b, nullptr);
    DIBSECTION ds;
    ASSERT_EQ(GetObjectW(b, sizeof ds, &ds), static_cast<int>(sizeof ds));
    EXPECT_EQ(ds.dsBm.bmBitsPixel, 32);
    EXPECT_EQ(ds.dsBm.bmWidth, 5);
    EXPECT_EQ(ds.dsBm.bmHeight, 3);
    EXPECT_EQ(ds.dsBmih.biHeight, -3);
    EXPECT_EQ(ds.dsBmih.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_NE(ds.dsBm.bmBits, nullptr);
    EXPECT_TRUE(DeleteObject(b));

    EXPECT_EQ(CreateCompatibleBitmap(screen, 0, 3), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(screen, 3, -1), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(screen, 1 << 20, 1 << 20), nullptr);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
    EXPECT_EQ(CreateCompatibleBitmap(screen, 3, 3), nullptr);  // a released DC is stale
}

// ---- Device contexts and selection ------------------------------------------------------

TEST(SelectObject, ReturnsThePreviousBitmapAndKeepsOneDcPerBitmap) {
    Surface a(Info(24, 2, 2)), b(Info(8, 2, 2));
    HDC dc = CreateCompatibleDC(nullptr);
    HDC other = CreateCompatibleDC(dc);
    Info info(24, 3, 3);
    HBITMAP first = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);
    HBITMAP second = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);

    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), nullptr);
    EXPECT_EQ(SelectObject(dc, first), nullptr);  // the first selection: nothing before
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), first);
    EXPECT_EQ(SelectObject(dc, first), first);     // selecting it again changes nothing
    EXPECT_EQ(SelectObject(other, first), nullptr);  // selected elsewhere: refused
    EXPECT_EQ(GetCurrentObject(other, OBJ_BITMAP), nullptr);
    EXPECT_EQ(SelectObject(dc, second), first);
    EXPECT_EQ(SelectObject(other, first), nullptr);  // free again: taken, nothing was before
    EXPECT_EQ(GetCurrentObject(other, OBJ_BITMAP), first);

    // Deleting a DC deselects, not deletes, its bitmap.
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
    HDC third = CreateCompatibleDC(nullptr);
    EXPECT_EQ(SelectObject(third, second), nullptr);
    EXPECT_EQ(GetCurrentObject(third, OBJ_BITMAP), second);

    EXPECT_TRUE(DeleteDC(third));
    EXPECT_TRUE(DeleteDC(other));
    EXPECT_TRUE(DeleteObject(first));
    EXPECT_TRUE(DeleteObject(second));
}

TEST(SelectObject, RefusesWhatIsNotABitmapInAMemoryDc) {
    Surface s(Info(24, 2, 2));
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    EXPECT_EQ(SelectObject(nullptr, s.bitmap()), nullptr);
    EXPECT_EQ(SelectObject(dc, nullptr), nullptr);
    EXPECT_EQ(SelectObject(dc, s.dc()), nullptr);
    HBITMAP spare = CreateCompatibleBitmap(nullptr, 1, 1);
    EXPECT_EQ(SelectObject(screen, spare), nullptr);
    EXPECT_TRUE(DeleteObject(spare));
    EXPECT_EQ(GetCurrentObject(screen, OBJ_BITMAP), nullptr);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_DC), nullptr);
    // A stock brush can be selected; the DC starts with the white one.
    EXPECT_EQ(SelectObject(dc, GetStockObject(BLACK_BRUSH)), GetStockObject(WHITE_BRUSH));
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BRUSH), GetStockObject(BLACK_BRUSH));
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
}

TEST(DeleteObject, BitmapDeletedWhileSelectedLeavesTheDcEmpty) {
    Surface target(Info(24, 2, 2));
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP b = CreateCompatibleBitmap(nullptr, 2, 2);
    ASSERT_EQ(SelectObject(dc, b), nullptr);
    ASSERT_TRUE(DeleteObject(b));

    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), nullptr);
    EXPECT_EQ(GetPixel(dc, 0, 0), CLR_INVALID);
    EXPECT_FALSE(BitBlt(target.dc(), 0, 0, 2, 2, dc, 0, 0, SRCCOPY));
    EXPECT_FALSE(BitBlt(dc, 0, 0, 2, 2, target.dc(), 0, 0, SRCCOPY));
    RECT r{0, 0, 2, 2};
    EXPECT_EQ(FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))), 0);
    EXPECT_EQ(SelectObject(dc, b), nullptr);  // stale
    EXPECT_FALSE(DeleteObject(b));
    EXPECT_EQ(GetObjectW(b, sizeof(BITMAP), nullptr), 0);

    // The DC itself lives on and takes a new bitmap.
    HBITMAP c = CreateCompatibleBitmap(nullptr, 2, 2);
    EXPECT_EQ(SelectObject(dc, c), nullptr);
    EXPECT_EQ(GetPixel(dc, 1, 1), RGB(0, 0, 0));
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_TRUE(DeleteObject(c));
}

TEST(GdiHandles, StaleAndForeignHandlesFindNothing) {
    HBITMAP b = CreateCompatibleBitmap(nullptr, 1, 1);
    ASSERT_TRUE(DeleteObject(b));
    // The freed slot is taken by the next object; the old handle still finds nothing.
    HBITMAP c = CreateCompatibleBitmap(nullptr, 1, 1);
    EXPECT_NE(c, b);
    EXPECT_EQ(GetObjectW(b, sizeof(BITMAP), nullptr), 0);
    EXPECT_FALSE(DeleteObject(b));
    EXPECT_EQ(GetObjectW(c, 0, nullptr), static_cast<int>(sizeof(DIBSECTION)));

    int local = 0;
    const HGDIOBJ foreign[] = {reinterpret_cast<HGDIOBJ>(&local), reinterpret_cast<HGDIOBJ>(uintptr_t{1}),
                               reinterpret_cast<HGDIOBJ>(uintptr_t{0x6}),
                               reinterpret_cast<HGDIOBJ>(~uintptr_t{0} & ~uintptr_t{0x9})};
    for (HGDIOBJ h : foreign) {
        EXPECT_FALSE(DeleteObject(h));
        EXPECT_FALSE(DeleteDC(static_cast<HDC>(h)));
        EXPECT_EQ(GetObjectW(h, sizeof(BITMAP), nullptr), 0);
        EXPECT_EQ(GetPixel(static_cast<HDC>(h), 0, 0), CLR_INVALID);
        EXPECT_EQ(CreateCompatibleDC(static_cast<HDC>(h)), nullptr);
        EXPECT_EQ(GetCurrentObject(static_cast<HDC>(h), OBJ_BITMAP), nullptr);
    }
    EXPECT_TRUE(DeleteObject(c));
}

TEST(GdiHandles, DcsEndOnlyTheirOwnWay) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    ASSERT_NE(screen, nullptr);
    ASSERT_NE(memory, nullptr);
    EXPECT_FALSE(DeleteDC(screen));       // a screen DC is released
    EXPECT_EQ(ReleaseDC(nullptr, memory), 0);  // a memory DC is deleted
    EXPECT_FALSE(DeleteObject(memory));
    EXPECT_TRUE(DeleteDC(memory));
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 0);
}

TEST(GdiHandles, StockObjectsStay) {
    HGDIOBJ white = GetStockObject(WHITE_BRUSH);
    ASSERT_NE(white, nullptr);
    EXPECT_NE(GetStockObject(BLACK_BRUSH), nullptr);
    EXPECT_EQ(GetStockObject(1), nullptr);
    EXPECT_EQ(GetStockObject(-1), nullptr);
    EXPECT_TRUE(DeleteObject(white));
    EXPECT_EQ(GetStockObject(WHITE_BRUSH), white);
    Surface s(Info(24, 1, 1));
    RECT r{0, 0, 1, 1};
    EXPECT_EQ(FillRect(s.dc(), &r, static_cast<HBRUSH>(white)), 1);
    EXPECT_EQ(GetPixel(s.dc(), 0, 0), RGB(255, 255, 255));
}

TEST(ScreenDc, HasNothingToDrawOn) {
    Surface s(Info(24, 2, 2));
    HDC screen = GetDC(nullptr);
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(GetPixel(screen, 0, 0), CLR_INVALID);
    EXPECT_FALSE(BitBlt(screen, 0, 0, 2, 2, s.dc(), 0, 0, SRCCOPY));
    EXPECT_FALSE(StretchBlt(s.dc(), 0, 0, 2, 2, screen, 0, 0, 1, 1, SRCCOPY));
    RECT r{0, 0, 2, 2};
    EXPECT_EQ(FillRect(screen, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))), 0);
    RGBQUAD q[2];
    EXPECT_EQ(GetDIBColorTable(screen, 0, 2, q), 0u);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
}

TEST(GetDIBColorTable, CopiesTheClippedRange) {
    Info info(4, 2, 2);
    info.header.biClrUsed = 6;
    for (int i = 0; i < 6; ++i) info.colours[i] = Quad(static_cast<uint8_t>(10 * i), 1, 2);
    Surface s(info);
    ASSERT_TRUE(s.ok());
    RGBQUAD out[8]{};
    EXPECT_EQ(GetDIBColorTable(s.dc(), 0, 8, out), 6u);
    EXPECT_EQ(out[5].rgbRed, 50);
    EXPECT_EQ(GetDIBColorTable(s.dc(), 4, 8, out), 2u);
    EXPECT_EQ(out[0].rgbRed, 40);
    EXPECT_EQ(GetDIBColorTable(s.dc(), 6, 1, out), 0u);
    EXPECT_EQ(GetDIBColorTable(s.dc(), 0, 1, nullptr), 0u);

    Surface deep(Info(24, 1, 1));
    EXPECT_EQ(GetDIBColorTable(deep.dc(), 0, 8, out), 0u);
}

// ---- GdiThreads ----------------------------------------------------------------------------

TEST(GdiThreads, TwoThreadsCreateSelectBlitAndDelete) {
    std::atomic<int> failures{0};
    auto work = [&failures](int seed) {
        for (int i = 0; i < 2000; ++i) {
            HDC a = CreateCompatibleDC(nullptr);
            HDC b = CreateCompatibleDC(a);
            HBITMAP x = CreateCompatibleBitmap(nullptr, 8 + (i + seed) % 5, 6);
            Info info(8, 7, -5);
            HBITMAP y = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);
            if (a == nullptr || b == nullptr || x == nullptr || y == nullptr) ++failures;
            if (SelectObject(a, x) != nullptr || SelectObject(b, y) != nullptr) ++failures;
            if (!StretchBlt(a, 0, 0, 8, 6, b, 0, 0, 7, 5, SRCCOPY)) ++failures;
            if (GetPixel(a, 0, 0) != RGB(0, 0, 0)) ++failures;
            if (i % 2 == 0) {  // both orders of ending a DC and its bitmap
                DeleteObject(x);
                DeleteDC(a);
            } else {
                DeleteDC(a);
                DeleteObject(x);
            }
            DeleteDC(b);
            DeleteObject(y);
        }
    };
    std::thread t1(work, 0), t2(work, 1);
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(GdiThreads, DeletingABitmapWhileAnotherThreadBlitsFromIt) {
    // One thread blits from a shared DC while the other keeps replacing (and deleting) the
    // bitmap selected in it. Every blit either works on a whole bitmap or fails cleanly; the
    // sanitizer build shows that no freed memory is read.
    Surface target(Info(32, 64, 64));
    HDC shared = CreateCompatibleDC(nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> blits{0};
    std::thread reader([&] {
        while (!stop.load()) {
            if (StretchBlt(target.dc(), 0, 0, 64, 64, shared, 0, 0, 300, 300, SRCCOPY)) ++blits;
        }
    });
    for (int i = 0; i < 500; ++i) {
        HBITMAP b = CreateCompatibleBitmap(nullptr, 300, 300);
        SelectObject(shared, b);
        std::this_thread::yield();
        DeleteObject(b);
    }
    stop = true;
    reader.join();
    DeleteDC(shared);
    SUCCEED() << blits.load() << " blits succeeded";
}

}  // namespace
}  // namespace faltrix::test
