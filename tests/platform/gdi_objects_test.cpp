// DIB sections, device contexts and the handle table: what is made, what is refused, and
// that handles stay sound when objects go (also from two threads at once).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "gdi_test_util.h"

// The largest calloc request (count * size) seen, so that a test can tell that a refused size
// was never asked of the allocator, which the layer uses for pixel memory. In sanitizer
// builds the sanitizer owns calloc (and aborts on absurd requests itself): nothing is seen.
namespace {
std::atomic<size_t> g_largestCalloc{0};
}
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define FALTRIX_WATCH_CALLOC 1
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *calloc(size_t count, size_t size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) bytes = static_cast<size_t>(-1);
    size_t seen = g_largestCalloc.load(std::memory_order_relaxed);
    while (bytes > seen && !g_largestCalloc.compare_exchange_weak(seen, bytes, std::memory_order_relaxed)) {
    }
    return __libc_calloc(count, size);
}
#endif

namespace faltrix::test {
namespace {

// ---- What CreateDIBSection refuses ------------------------------------------------------

TEST(CreateDIBSection, BadHeaderGivesNullAndNoBitsBeforeAnyPixelMemoryIsAskedFor) {
    Surface witness(Info(24, 2, 2));  // must come through every refusal untouched
    ASSERT_TRUE(witness.ok());
    witness.Row(1)[3] = 77;
    using H = BITMAPINFOHEADER;
    const std::pair<const char *, Info> cases[] = {
        {"ZeroWidth", Info(24, 0, 10)}, {"NegativeWidth", Info(24, -5, 10)}, {"ZeroHeight", Info(24, 10, 0)},
        {"MostNegativeHeight", Info(24, 10, INT32_MIN)}, {"TwoBits", Info(2, 10, 10)}, {"SevenBits", Info(7, 10, 10)},
        {"ZeroBits", Info(0, 10, 10)}, {"FortyEightBits", Info(48, 10, 10)}, {"Rle8", Info(8, 10, 10, BI_RLE8)},
        {"Rle4", Info(4, 10, 10, BI_RLE4)}, {"UnknownCompression", Info(24, 10, 10, 77)},
        {"BitfieldsAt24", Info(24, 4, 4).Masks(0xFF0000, 0xFF00, 0xFF)}, {"BitfieldsAt8", Info(8, 4, 4).Masks(0xE0, 0x1C, 0x03)},
        {"OverlappingMasks", Info(16, 4, 4).Masks(0xF800, 0x0FE0, 0x1F)}, {"BrokenMask", Info(16, 4, 4).Masks(0xF000, 0x05E0, 0x1F)},
        {"ZeroMask", Info(32, 4, 4).Masks(0xFF0000, 0, 0xFF)}, {"MaskBeyondPixel", Info(16, 4, 4).Masks(0x1F0000, 0x7E0, 0x1F)},
        {"ColourTableOf257", Info(8, 4, 4).Set(&H::biClrUsed, 257)}, {"ColourTableOf2^32-1", Info(8, 4, 4).Set(&H::biClrUsed, ~0u)},
        {"TwoPlanes", Info(24, 4, 4).Set(&H::biPlanes, 2)}, {"CoreHeaderSize", Info(24, 4, 4).Set(&H::biSize, 12)},
        {"UnknownHeaderSize", Info(24, 4, 4).Set(&H::biSize, 41)},
        // Sizes: a row whose bytes overflow 32 bits, pixel memory just above 2 GiB, and one of
        // 8 TiB that the sanitizer build would abort on if it were ever asked of the allocator.
        {"RowBytesOverflow", Info(32, INT32_MAX, 1)}, {"JustAboveTwoGiB", Info(32, 65536, 8193)},
        {"EightTiB", Info(32, 1 << 20, -(1 << 21))}, {"AllMaximal", Info(32, INT32_MAX, INT32_MAX)}};
    for (const auto &[name, info] : cases) {
        void *bits = reinterpret_cast<void *>(0x1);
        g_largestCalloc = 0;
        EXPECT_EQ(CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits, nullptr, 0), nullptr) << name;
        EXPECT_EQ(bits, nullptr) << name;
        EXPECT_LT(g_largestCalloc.load(), size_t{4096}) << name;  // a header is at most a few hundred bytes
    }
    EXPECT_EQ(GetPixel(witness.dc(), 1, 1), RGB(0, 0, 77));
    EXPECT_EQ(GetCurrentObject(witness.dc(), OBJ_BITMAP), witness.bitmap());
}

TEST(CreateDIBSection, ArgumentsBesideTheHeader) {
    Info info(24, 4, 4);
    void *bits = nullptr;
    int section = 0;
    EXPECT_EQ(CreateDIBSection(nullptr, nullptr, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
    EXPECT_EQ(CreateDIBSection(nullptr, info.get(), 1 /* DIB_PAL_COLORS */, &bits, nullptr, 0), nullptr);
    EXPECT_EQ(CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits, &section, 0), nullptr);
    EXPECT_EQ(CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits, nullptr, 8), nullptr);
    EXPECT_EQ(bits, nullptr);
    HBITMAP b = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);  // no bits pointer
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(DeleteObject(b));
}

TEST(CreateDIBSection, PixelMemoryComesZeroedFromCalloc) {
    for (int i = 0; i < 4; ++i) std::vector<uint8_t>(64 * 1024, 0xAB);  // dirty the heap first
    g_largestCalloc = 0;
    Surface s(Info(24, 1000, 1000));
    ASSERT_TRUE(s.ok());
#ifdef FALTRIX_WATCH_CALLOC
    EXPECT_GE(g_largestCalloc.load(), size_t{3000000});  // else the watch above means nothing
#endif
    const std::vector<uint8_t> zeros(size_t{s.stride()} * 1000, 0);
    EXPECT_EQ(std::memcmp(s.bits(), zeros.data(), zeros.size()), 0);
}

// ---- GetObjectW -------------------------------------------------------------------------

struct LayoutCase {
    const char *name;
    int bits;
    int32_t width, height;
    DWORD compression, clrUsed;
    LONG stride;
    DWORD masks[3];
};
void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }

class Layout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, DescribesTheSection) {
    const LayoutCase &c = GetParam();
    Info info(c.bits, c.width, c.height);
    if (c.compression == BI_BITFIELDS) info.Masks(c.masks[0], c.masks[1], c.masks[2]);
    // The caller's biSizeImage is replaced by the real figure.
    info.Set(&BITMAPINFOHEADER::biClrUsed, c.clrUsed).Set(&BITMAPINFOHEADER::biXPelsPerMeter, 3780).Set(&BITMAPINFOHEADER::biSizeImage, 12345);
    void *bits = nullptr;
    HBITMAP b = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, &bits, nullptr, 0);
    struct {
        DIBSECTION ds;
        char spare[8];
    } out;  // a larger buffer takes a DIBSECTION
    DIBSECTION &ds = out.ds;
    ASSERT_EQ(GetObjectW(b, sizeof out, &out), static_cast<int>(sizeof(DIBSECTION)));
    const BITMAP &bm = ds.dsBm;
    const BITMAPINFOHEADER &h = ds.dsBmih;
    const LONG rows = std::abs(c.height);
    EXPECT_EQ(std::tuple(bm.bmType, bm.bmWidth, bm.bmHeight, bm.bmWidthBytes, bm.bmPlanes, bm.bmBitsPixel, bm.bmBits),
              std::tuple(0, c.width, rows, c.stride, 1, c.bits, bits));
    EXPECT_EQ(std::tuple(h.biSize, h.biWidth, h.biHeight, h.biCompression, h.biSizeImage, h.biClrUsed, h.biXPelsPerMeter),
              std::tuple(40u, c.width, c.height, c.compression, DWORD(c.stride * rows), c.clrUsed, 3780));
    EXPECT_EQ(std::tuple(ds.dsBitfields[0], ds.dsBitfields[1], ds.dsBitfields[2], ds.dshSection, ds.dsOffset),
              std::tuple(c.masks[0], c.masks[1], c.masks[2], nullptr, 0u));
    // A BITMAP alone for a smaller buffer, nothing for a buffer too small; without a buffer, the size.
    BITMAP alone;
    ASSERT_EQ(GetObjectW(b, sizeof alone, &alone), static_cast<int>(sizeof(BITMAP)));
    EXPECT_EQ(std::memcmp(&alone, &bm, sizeof alone), 0);
    EXPECT_EQ(GetObjectW(b, sizeof(BITMAP) - 1, &ds), 0);
    EXPECT_EQ(GetObjectW(b, -1, &ds), 0);
    EXPECT_EQ(GetObjectW(b, 0, nullptr), static_cast<int>(sizeof(DIBSECTION)));
    EXPECT_EQ(GetObjectW(b, sizeof(BITMAP), nullptr), static_cast<int>(sizeof(BITMAP)));
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

TEST(CreateCompatibleBitmap, IsThirtyTwoBitTopDown) {
    HDC screen = GetDC(nullptr);
    HBITMAP b = CreateCompatibleBitmap(screen, 5, 3);
    DIBSECTION ds;
    ASSERT_EQ(GetObjectW(b, sizeof ds, &ds), static_cast<int>(sizeof ds));
    EXPECT_EQ(std::tuple(ds.dsBm.bmBitsPixel, ds.dsBm.bmWidth, ds.dsBm.bmHeight, ds.dsBmih.biHeight, ds.dsBmih.biCompression),
              std::tuple(32, 5, 3, -3, DWORD{BI_RGB}));
    EXPECT_NE(ds.dsBm.bmBits, nullptr);
    EXPECT_TRUE(DeleteObject(b));
    EXPECT_EQ(CreateCompatibleBitmap(screen, 0, 3), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(screen, 3, -1), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(screen, 1 << 20, 1 << 20), nullptr);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
    EXPECT_EQ(CreateCompatibleBitmap(screen, 3, 3), nullptr);  // a released DC is stale
}

// ---- Device contexts and selection ------------------------------------------------------

TEST(SelectObject, ReturnsThePreviousObjectAndKeepsOneDcPerBitmap) {
    HDC dc = CreateCompatibleDC(nullptr);
    HDC other = CreateCompatibleDC(dc);
    HBITMAP first = CreateCompatibleBitmap(nullptr, 3, 3);
    HBITMAP second = CreateCompatibleBitmap(nullptr, 3, 3);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), nullptr);
    EXPECT_EQ(SelectObject(dc, first), nullptr);  // the first selection: nothing before
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), first);
    EXPECT_EQ(SelectObject(dc, first), first);       // selecting it again changes nothing
    EXPECT_EQ(SelectObject(other, first), nullptr);  // selected elsewhere: refused
    EXPECT_EQ(GetCurrentObject(other, OBJ_BITMAP), nullptr);
    EXPECT_EQ(SelectObject(dc, second), first);
    EXPECT_EQ(SelectObject(other, first), nullptr);  // free again: taken, nothing was before
    EXPECT_EQ(GetCurrentObject(other, OBJ_BITMAP), first);
    // Deleting a DC deselects, not deletes, its bitmap.
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
    // Only a bitmap or a stock brush goes into a memory DC; the DC starts with the white brush.
    HDC third = CreateCompatibleDC(nullptr);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(SelectObject(nullptr, second), nullptr);
    EXPECT_EQ(SelectObject(screen, second), nullptr);
    EXPECT_EQ(SelectObject(third, second), nullptr);
    EXPECT_EQ(SelectObject(third, nullptr), nullptr);
    EXPECT_EQ(SelectObject(third, other), nullptr);
    EXPECT_EQ(GetCurrentObject(screen, OBJ_BITMAP), nullptr);
    EXPECT_EQ(GetCurrentObject(third, OBJ_DC), nullptr);
    EXPECT_EQ(SelectObject(third, GetStockObject(BLACK_BRUSH)), GetStockObject(WHITE_BRUSH));
    EXPECT_EQ(GetCurrentObject(third, OBJ_BRUSH), GetStockObject(BLACK_BRUSH));
    EXPECT_EQ(GetCurrentObject(third, OBJ_BITMAP), second);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
    EXPECT_TRUE(DeleteDC(third) && DeleteDC(other) && DeleteObject(first) && DeleteObject(second));
}

TEST(GdiHandles, DeletedWhileSelectedStaleAndForeignHandlesFindNothing) {
    Surface target(Info(24, 2, 2));
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP b = CreateCompatibleBitmap(nullptr, 2, 2);
    ASSERT_EQ(SelectObject(dc, b), nullptr);
    ASSERT_TRUE(DeleteObject(b));  // deleted while selected: the DC is left empty
    // The freed slot is taken by the next object; the old handle still finds nothing.
    HBITMAP c = CreateCompatibleBitmap(nullptr, 2, 2);
    EXPECT_NE(c, b);
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), nullptr);
    EXPECT_EQ(GetPixel(dc, 0, 0), CLR_INVALID);
    EXPECT_FALSE(BitBlt(target.dc(), 0, 0, 2, 2, dc, 0, 0, SRCCOPY));
    EXPECT_FALSE(BitBlt(dc, 0, 0, 2, 2, target.dc(), 0, 0, SRCCOPY));
    RECT r{0, 0, 2, 2};
    EXPECT_EQ(FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))), 0);
    EXPECT_EQ(SelectObject(dc, b), nullptr);
    EXPECT_FALSE(DeleteObject(b));
    EXPECT_EQ(GetObjectW(b, sizeof(BITMAP), nullptr), 0);
    // The DC itself lives on and takes a new bitmap.
    EXPECT_EQ(SelectObject(dc, c), nullptr);
    EXPECT_EQ(GetPixel(dc, 1, 1), RGB(0, 0, 0));
    int local = 0;
    for (uintptr_t h : {reinterpret_cast<uintptr_t>(&local), uintptr_t{1}, uintptr_t{6}, ~uintptr_t{9}}) {
        HDC foreign = reinterpret_cast<HDC>(h);
        EXPECT_FALSE(DeleteObject(foreign));
        EXPECT_FALSE(DeleteDC(foreign));
        EXPECT_EQ(GetObjectW(foreign, sizeof(BITMAP), nullptr), 0);
        EXPECT_EQ(GetPixel(foreign, 0, 0), CLR_INVALID);
        EXPECT_EQ(CreateCompatibleDC(foreign), nullptr);
        EXPECT_EQ(GetCurrentObject(foreign, OBJ_BITMAP), nullptr);
    }
    EXPECT_TRUE(DeleteDC(dc) && DeleteObject(c));
}

TEST(GdiHandles, ScreenDcAndStockObjects) {
    Surface s(Info(24, 2, 2));
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    ASSERT_TRUE(screen != nullptr && memory != nullptr);
    // Nothing to draw on or read from.
    RECT r{0, 0, 2, 2};
    RGBQUAD q[2];
    EXPECT_EQ(GetPixel(screen, 0, 0), CLR_INVALID);
    EXPECT_FALSE(BitBlt(screen, 0, 0, 2, 2, s.dc(), 0, 0, SRCCOPY));
    EXPECT_FALSE(StretchBlt(s.dc(), 0, 0, 2, 2, screen, 0, 0, 1, 1, SRCCOPY));
    EXPECT_EQ(FillRect(screen, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))), 0);
    EXPECT_EQ(GetDIBColorTable(screen, 0, 2, q), 0u);
    // A screen DC is released, a memory DC deleted; neither is an object to delete.
    EXPECT_FALSE(DeleteDC(screen));
    EXPECT_EQ(ReleaseDC(nullptr, memory), 0);
    EXPECT_FALSE(DeleteObject(memory));
    EXPECT_EQ(GetObjectW(memory, 0, nullptr) + GetObjectW(nullptr, 0, nullptr), 0);
    EXPECT_TRUE(DeleteDC(memory));
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 0);
    // Stock objects stay.
    HGDIOBJ white = GetStockObject(WHITE_BRUSH);
    EXPECT_TRUE(white != nullptr && GetStockObject(BLACK_BRUSH) != nullptr);
    EXPECT_EQ(GetStockObject(1), nullptr);
    EXPECT_EQ(GetStockObject(-1), nullptr);
    EXPECT_TRUE(DeleteObject(white));
    EXPECT_EQ(GetStockObject(WHITE_BRUSH), white);
    EXPECT_EQ(FillRect(s.dc(), &r, static_cast<HBRUSH>(white)), 1);
    EXPECT_EQ(GetPixel(s.dc(), 1, 1), RGB(255, 255, 255));
}

TEST(GetDIBColorTable, CopiesTheClippedRange) {
    Info info(4, 2, 2);
    for (uint8_t i = 0; i < 6; ++i) info.colours[i] = Quad(10 * i, 1, 2);
    info.header.biClrUsed = 6;
    Surface s(info), deep(Info(24, 1, 1));
    RGBQUAD out[8]{};
    EXPECT_EQ(GetDIBColorTable(s.dc(), 0, 8, out), 6u);
    EXPECT_EQ(out[5].rgbRed, 50);
    EXPECT_EQ(GetDIBColorTable(s.dc(), 4, 8, out), 2u);
    EXPECT_EQ(out[0].rgbRed, 40);
    EXPECT_EQ(GetDIBColorTable(s.dc(), 6, 1, out), 0u);
    EXPECT_EQ(GetDIBColorTable(s.dc(), 0, 1, nullptr), 0u);
    EXPECT_EQ(GetDIBColorTable(deep.dc(), 0, 8, out), 0u);
}

// ---- Two threads ------------------------------------------------------------------------

TEST(GdiThreads, TwoThreadsCreateSelectBlitAndDelete) {
    std::atomic<int> failures{0};
    auto work = [&failures](int seed) {
        const Info info(8, 7, -5);
        for (int i = 0; i < 2000; ++i) {
            HDC a = CreateCompatibleDC(nullptr);
            HDC b = CreateCompatibleDC(a);
            HBITMAP x = CreateCompatibleBitmap(nullptr, 8 + (i + seed) % 5, 6);
            HBITMAP y = CreateDIBSection(nullptr, info.get(), DIB_RGB_COLORS, nullptr, nullptr, 0);
            if (!a || !b || !x || !y || SelectObject(a, x) != nullptr || SelectObject(b, y) != nullptr) ++failures;
            if (!StretchBlt(a, 0, 0, 8, 6, b, 0, 0, 7, 5, SRCCOPY) || GetPixel(a, 0, 0) != RGB(0, 0, 0)) ++failures;
            if (i % 2 == 0) DeleteObject(x);  // both orders of ending a DC and its bitmap
            DeleteDC(a);
            if (i % 2 == 1) DeleteObject(x);
            DeleteDC(b);
            DeleteObject(y);
        }
    };
    std::thread t1(work, 0), t2(work, 1);
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
}

// One thread blits from a shared DC while the other keeps replacing (and deleting) the bitmap
// selected in it: every blit works on a whole bitmap or fails cleanly, and the sanitizer build
// shows that no freed memory is read.
TEST(GdiThreads, DeletingABitmapWhileAnotherThreadBlitsFromIt) {
    Surface target(Info(32, 64, 64));
    HDC shared = CreateCompatibleDC(nullptr);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) StretchBlt(target.dc(), 0, 0, 64, 64, shared, 0, 0, 300, 300, SRCCOPY);
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
}

}  // namespace
}  // namespace faltrix::test
