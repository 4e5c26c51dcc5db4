// The row layout of DIB sections; DIB sections, device contexts and the handle table: what
// is made, what is refused, and that handles stay sound when objects go (also from two
// threads at once).
#include <atomic>
#include <climits>
#include <thread>
#include <tuple>

#include "gdi_test_util.h"

namespace faltrix::test {
namespace {

// ---- Row layout, shared by the graphics layer, the codecs and the resampler ----------------

TEST(DibLayout, StridesImageBytesAndRows) {
    // Rows padded to whole words (each depth's stride is also read in the format table of the
    // copy tests; INT32_MAX / 4 pixels of 32 bits is the widest row that fits), or 0 for what
    // no row can hold.
    const std::tuple<int64_t, int, uint32_t> strides[] = {
        {32, 1, 4}, {33, 1, 8}, {4, 24, 12}, {5, 24, 16}, {INT32_MAX / 4, 32, 2147483644u}};
    const std::pair<int64_t, int> noRow[] = {{0, 24},
                                             {-1, 24},
                                             {10, 0},
                                             {10, 33},
                                             {INT32_MAX, 32},
                                             {INT64_MAX, 1},
                                             {INT64_MAX / 24 + 1, 24},
                                             {INT32_MAX / 4 + 1, 32}};
    for (auto [width, bits, stride] : strides)
        EXPECT_EQ(DibStride(width, bits), stride) << width << " x " << bits;
    for (auto [width, bits] : noRow)
        EXPECT_EQ(DibStride(width, bits), 0u) << width << " x " << bits;
    // Image bytes take either sign of height.
    const std::tuple<uint32_t, int64_t, uint64_t> sizes[] = {
        {12, 5, 60},
        {12, -5, 60},
        {12, 0, 0},
        {4, INT32_MIN, uint64_t{4} << 31},
        {0xFFFFFFFFu, INT32_MIN, uint64_t{0xFFFFFFFFu} << 31},
        {4, INT64_MIN, 0}};
    for (auto [stride, rows, bytes] : sizes)
        EXPECT_EQ(DibImageBytes(stride, rows), bytes) << stride << " x " << rows;
    // Rows count from the top either way.
    uint8_t bits[3 * 8] = {};
    EXPECT_EQ(DibRow(bits, 8, 3, true, 0), bits);
    EXPECT_EQ(DibRow(bits, 8, 3, true, 2), bits + 16);
    EXPECT_EQ(DibRow(bits, 8, 3, false, 0), bits + 16);
    EXPECT_EQ(DibRow(static_cast<const uint8_t *>(bits), 8, 3, false, 2), bits);
}

TEST(DibLayout, PixelHelpersAgainstWorkedValues) {
    // Masked fields round to the nearest of 0..255: (v * 255 + max / 2) / max. The 10- and
    // 16-bit rows are where cutting off the low bits would give one less.
    const std::pair<uint32_t, std::vector<std::pair<uint32_t, int>>> fields[] = {
        {0x7C00, {{0, 0}, {1, 8}, {16, 132}, {31, 255}}},
        {0x07E0, {{1, 4}, {32, 130}, {63, 255}}},
        {0x3FF00000, {{3, 1}, {513, 128}, {1023, 255}}},
        {0xFFFF0000, {{128, 0}, {129, 1}, {0xFFFF, 255}}},
        {0, {{0, 0}}}};
    for (const auto &[mask, values] : fields) {
        const MaskedChannel channel(mask);
        for (auto [field, byte] : values)  // the bits outside the mask set, to be ignored
            EXPECT_EQ(channel((field << channel.shift) | ~mask), byte)
                << std::hex << mask << " " << field;
    }
    for (uint32_t v = 0; v < 256; ++v) EXPECT_EQ(MaskedChannel(0xFF00)(v << 8), v);
    EXPECT_TRUE(OneRunOfBits(0x7C00) && OneRunOfBits(0) && OneRunOfBits(0xFFFFFFFF));
    EXPECT_FALSE(OneRunOfBits(0x5) || OneRunOfBits(0x80000001));

    // Packed indices: the first pixel of a byte in its high bits; a write changes only its own
    // bits, cut to the depth, at either end of a byte.
    using Row = std::vector<uint8_t>;
    const struct {
        int bits;
        Row before;
        size_t x;
        uint32_t index;
        Row after;
    } writes[] = {{1, {0xFF, 0xFF}, 7, 0, {0xFE, 0xFF}},    {1, {0xFF, 0xFF}, 8, 0, {0xFF, 0x7F}},
                  {2, {0x00, 0x00}, 3, 3, {0x03, 0x00}},    {2, {0x00, 0x00}, 4, 6, {0x00, 0x80}},
                  {4, {0xAB, 0xCD}, 1, 5, {0xA5, 0xCD}},    {4, {0xAB, 0xCD}, 2, 0, {0xAB, 0x0D}},
                  {4, {0xAB, 0xCD}, 3, 0x1F, {0xAB, 0xCF}}, {8, {1, 2}, 1, 0x1FF, {1, 0xFF}}};
    for (const auto &w : writes) {
        Row row = w.before;
        WriteDibIndex(row.data(), w.x, w.bits, w.index);
        EXPECT_EQ(row, w.after) << w.bits << " bits, pixel " << w.x;
        EXPECT_EQ(ReadDibIndex(row.data(), w.x, w.bits), w.index & ((1u << w.bits) - 1));
    }
    const uint8_t twoBits[] = {0xE4};
    for (size_t x = 0; x < 4; ++x) EXPECT_EQ(ReadDibIndex(twoBits, x, 2), 3 - x);

    // B, G, R (A) and R, G, B (A): alpha kept, dropped or made opaque; in place when shrinking.
    const Row bgra = {1, 2, 3, 4, 5, 6, 7, 8}, bgr = {1, 2, 3, 5, 6, 7};
    Row out(8, 0);
    SwapRedBlue<4, 4>(bgra.data(), out.data(), 2);
    EXPECT_EQ(out, (Row{3, 2, 1, 4, 7, 6, 5, 8}));
    SwapRedBlue<3, 4>(bgr.data(), out.data(), 2);
    EXPECT_EQ(out, (Row{3, 2, 1, 255, 7, 6, 5, 255}));
    Row shrunk = bgra;
    SwapRedBlue(shrunk.data(), 4, shrunk.data(), 3, 2);
    EXPECT_EQ(Row(shrunk.begin(), shrunk.begin() + 6), (Row{3, 2, 1, 7, 6, 5}));
    Row same = bgr;
    SwapRedBlue(same.data(), 3, same.data(), 3, 2);
    EXPECT_EQ(same, (Row{3, 2, 1, 7, 6, 5}));
}

// ---- What CreateDIBSection makes and refuses ----------------------------------------------

TEST(CreateDIBSection, PixelMemoryComesZeroedAndBadHeadersAreRefused) {
    for (int i = 0; i < 4; ++i)
        std::vector<uint8_t>(80, 0xAB);  // freed blocks of the pixel memory's size, dirty
    Surface zeroed(Info(24, 5, 5));
    EXPECT_EQ(zeroed.Pixels(), std::vector<COLORREF>(25, RGB(0, 0, 0)));
    using H = BITMAPINFOHEADER;
    const struct {
        const char *name;
        Info info;
        UINT usage = DIB_RGB_COLORS;
        HANDLE section = nullptr;
        DWORD offset = 0;
    } cases[] = {
        // One case for each check of the header; the other widths and depths that have no row
        // are in the row layout test above.
        {"ZeroWidth", Info(24, 0, 10)},
        {"ZeroHeight", Info(24, 10, 0)},
        {"MostNegativeHeight", Info(24, 10, INT32_MIN)},
        {"TwoBits", Info(2, 10, 10)},
        {"Rle8", Info(8, 10, 10, BI_RLE8)},
        {"BitfieldsAt24", Info(24, 4, 4).Masks(0xFF0000, 0xFF00, 0xFF)},
        {"OverlappingMasks", Info(16, 4, 4).Masks(0xF800, 0x0FE0, 0x1F)},
        {"BrokenMask", Info(16, 4, 4).Masks(0xF000, 0x05E0, 0x1F)},
        {"ZeroMask", Info(32, 4, 4).Masks(0xFF0000, 0, 0xFF)},
        {"MaskBeyondPixel", Info(16, 4, 4).Masks(0x1F0000, 0x7E0, 0x1F)},
        {"ColourTableOf257", Info(8, 4, 4).Set(&H::biClrUsed, 257)},
        {"ColourTableOf2^32-1", Info(8, 4, 4).Set(&H::biClrUsed, ~0u)},
        {"TwoPlanes", Info(24, 4, 4).Set(&H::biPlanes, 2)},
        {"UnknownHeaderSize", Info(24, 4, 4).Set(&H::biSize, 41)},
        // Sizes: a row whose bytes overflow 32 bits, pixel memory just above 2 GiB, and one of
        // 8 TiB that the sanitizer build would abort on if it were ever asked of the allocator.
        {"RowBytesOverflow", Info(32, INT32_MAX, 1)},
        {"JustAboveTwoGiB", Info(32, 65536, 8193)},
        {"EightTiB", Info(32, 1 << 20, -(1 << 21))},
        // Arguments beside the header: palette indices, a file mapping, an offset into it.
        {"PaletteIndices", Info(24, 4, 4), 1 /* DIB_PAL_COLORS */},
        {"Section", Info(24, 4, 4), DIB_RGB_COLORS, reinterpret_cast<HANDLE>(8)},
        {"Offset", Info(24, 4, 4), DIB_RGB_COLORS, nullptr, 8}};
    for (const auto &c : cases) {
        void *bits = reinterpret_cast<void *>(0x1);
        EXPECT_EQ(CreateDIBSection(nullptr, c.info.get(), c.usage, &bits, c.section, c.offset),
                  nullptr)
            << c.name;
        EXPECT_EQ(bits, nullptr) << c.name;
    }
    EXPECT_EQ(CreateDIBSection(nullptr, nullptr, DIB_RGB_COLORS, nullptr, nullptr, 0), nullptr);
}

// ---- Device contexts, selection and stock objects -----------------------------------------

// A compatible bitmap is a 32-bit top-down section. Only a bitmap or a stock brush goes into
// a memory DC, which starts with the white brush; a bitmap is selected in one DC at a time,
// and SelectObject answers what it replaced.
TEST(SelectObject, ReturnsThePreviousObjectAndKeepsOneDcPerBitmap) {
    HDC dc = CreateCompatibleDC(nullptr), other = CreateCompatibleDC(dc), screen = GetDC(nullptr);
    HBITMAP first = CreateCompatibleBitmap(nullptr, 3, 3),
            second = CreateCompatibleBitmap(screen, 5, 2);
    DIBSECTION ds;
    ASSERT_EQ(GetObjectW(second, sizeof ds, &ds), static_cast<int>(sizeof ds));
    EXPECT_EQ(std::tuple(ds.dsBm.bmBitsPixel, ds.dsBm.bmWidth, ds.dsBm.bmHeight, ds.dsBmih.biHeight,
                         ds.dsBmih.biCompression),
              std::tuple(32, 5, 2, -2, DWORD{BI_RGB}));
    for (auto [w, h] :
         std::initializer_list<std::pair<int, int>>{{0, 3}, {3, -1}, {1 << 20, 1 << 20}})
        EXPECT_EQ(CreateCompatibleBitmap(screen, w, h), nullptr);
    const HGDIOBJ black = GetStockObject(BLACK_BRUSH);
    // The answers in order; a braced list calls from left to right.
    const std::vector<HGDIOBJ> answers{
        GetCurrentObject(dc, OBJ_BITMAP),
        SelectObject(dc, first),
        GetCurrentObject(dc, OBJ_BITMAP),
        SelectObject(dc, first),  // again: nothing changes
        SelectObject(other, first),
        GetCurrentObject(other, OBJ_BITMAP),  // selected elsewhere: refused
        SelectObject(dc, second),
        SelectObject(other, first),
        GetCurrentObject(other, OBJ_BITMAP),  // free again: taken
        SelectObject(nullptr, second),
        SelectObject(screen, second),
        SelectObject(other, nullptr),
        SelectObject(other, dc),
        GetCurrentObject(other, OBJ_DC),
        SelectObject(other, black),
        GetCurrentObject(other, OBJ_BRUSH),
        GetCurrentObject(other, OBJ_BITMAP)};
    EXPECT_EQ(answers, (std::vector<HGDIOBJ>{nullptr, nullptr, first, first, nullptr, nullptr,
                                             first, nullptr, first, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, kWhiteBrush, black, first}));
    // Deleting a DC deselects, not deletes, its bitmap.
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_EQ(SelectObject(screen, second), nullptr);
    EXPECT_EQ(SelectObject(other, second), first);
    // A screen DC is released, a memory DC deleted; neither is an object to delete or describe.
    EXPECT_FALSE(DeleteDC(screen) || DeleteObject(screen) || DeleteObject(other) ||
                 ReleaseDC(nullptr, other));
    EXPECT_EQ(GetObjectW(other, 0, nullptr) + GetObjectW(screen, 0, nullptr) +
                  GetObjectW(nullptr, 0, nullptr),
              0);
    EXPECT_EQ(ReleaseDC(nullptr, screen), 1);
    // Stock objects stay, whatever is asked.
    EXPECT_EQ((std::vector<HGDIOBJ>{GetStockObject(1), GetStockObject(-1)}),
              (std::vector<HGDIOBJ>{nullptr, nullptr}));
    EXPECT_TRUE(DeleteObject(kWhiteBrush) && DeleteObject(black));
    EXPECT_EQ(GetStockObject(WHITE_BRUSH), kWhiteBrush);
    RECT r{0, 0, 3, 3};
    EXPECT_EQ(FillRect(other, &r, kWhiteBrush), 1);
    EXPECT_TRUE(DeleteDC(other) && DeleteObject(first) && DeleteObject(second));
}

// Every pixel call refuses a DC with no bitmap to draw on or read from.
void ExpectNothingToDrawOn(HDC dc, const char *name) {
    Surface live(Info(4, 2, 2));
    RECT r{0, 0, 2, 2};
    RGBQUAD q[2];
    EXPECT_EQ(GetPixel(dc, 0, 0), CLR_INVALID) << name;
    EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), nullptr) << name;
    EXPECT_FALSE(BitBlt(dc, 0, 0, 2, 2, live.dc, 0, 0, SRCCOPY) ||
                 StretchBlt(live.dc, 0, 0, 2, 2, dc, 0, 0, 1, 1, SRCCOPY))
        << name;
    EXPECT_EQ(FillRect(dc, &r, kWhiteBrush) + GetDIBColorTable(dc, 0, 2, q), 0u) << name;
}

// A handle whose object was deleted or released, even when its slot holds a new object, and
// a value that never was a handle find nothing in any call; a DC without a bitmap (a screen
// DC, or one whose bitmap was deleted while selected) lives on but has nothing to draw on.
TEST(GdiHandles, DeadAndForeignHandlesFindNothingAndEmptyDcsDrawNothing) {
    HDC emptied = CreateCompatibleDC(nullptr), deletedDc = CreateCompatibleDC(nullptr),
        released = GetDC(nullptr);
    HBITMAP deleted = CreateCompatibleBitmap(nullptr, 2, 2);
    ASSERT_EQ(SelectObject(emptied, deleted), nullptr);
    ASSERT_TRUE(DeleteObject(deleted) && DeleteDC(deletedDc) && ReleaseDC(nullptr, released) == 1);
    // The freed slots are taken by the next objects.
    HBITMAP fresh = CreateCompatibleBitmap(nullptr, 2, 2);
    HDC freshDc = CreateCompatibleDC(nullptr), screen = GetDC(nullptr);
    EXPECT_TRUE(fresh != deleted && freshDc != deletedDc && screen != released);
    int local = 0;
    const std::pair<const char *, HDC> dead[] = {
        {"DeletedBitmap", reinterpret_cast<HDC>(deleted)},
        {"DeletedDc", deletedDc},
        {"ReleasedScreenDc", released},
        {"StackAddress", reinterpret_cast<HDC>(&local)},
        {"One", reinterpret_cast<HDC>(1)},
        {"TagAlone", reinterpret_cast<HDC>(6)},
        {"AllButNine", reinterpret_cast<HDC>(~uintptr_t{9})}};
    for (auto [name, h] : dead) {
        RECT r{0, 0, 2, 2};
        EXPECT_FALSE(DeleteObject(h) || DeleteDC(h) || ReleaseDC(nullptr, h) ||
                     GetObjectW(h, sizeof(BITMAP), nullptr))
            << name;
        EXPECT_EQ((std::vector<void *>{CreateCompatibleDC(h), CreateCompatibleBitmap(h, 2, 2),
                                       GetCurrentObject(h, OBJ_BRUSH), SelectObject(h, fresh),
                                       SelectObject(freshDc, h)}),
                  std::vector<void *>(5, nullptr))
            << name;
        EXPECT_EQ(FillRect(freshDc, &r, reinterpret_cast<HBRUSH>(h)), 0) << name;
        ExpectNothingToDrawOn(h, name);
    }
    for (auto [name, dc] :
         {std::pair{"Fresh", freshDc}, {"BitmapDeleted", emptied}, {"Screen", screen}})
        ExpectNothingToDrawOn(dc, name);
    // The DC whose bitmap was deleted takes a new one.
    EXPECT_EQ(SelectObject(emptied, fresh), nullptr);
    EXPECT_EQ(GetPixel(emptied, 1, 1), RGB(0, 0, 0));
    EXPECT_TRUE(DeleteDC(emptied) && DeleteDC(freshDc) && DeleteObject(fresh) &&
                ReleaseDC(nullptr, screen) == 1);
}

// ---- Two threads ------------------------------------------------------------------------

// Two threads make and delete sections of their own while both blit from one shared DC whose
// white bitmap the first keeps replacing and deleting: each such blit copies the whole bitmap
// or fails cleanly, and a deleted bitmap is gone at once.
TEST(GdiThreads, ObjectsComeAndGoWhileAnotherThreadBlitsFromThem) {
    HDC shared = CreateCompatibleDC(nullptr);
    const Info white(32, 300, -300);
    std::atomic<int> failures{0};
    auto work = [&](bool replacing) {
        Surface own(Info(24, 4, 4));
        for (int i = 0; i < 1000; ++i) {
            void *bits = nullptr;
            HBITMAP w = CreateDIBSection(nullptr, white.get(), DIB_RGB_COLORS, &bits, nullptr, 0);
            ASSERT_NE(w, nullptr);
            std::memset(bits, 0xFF, 300 * 300 * 4);
            std::memset(own.bits, 0, 4 * 12);
            if (replacing) SelectObject(shared, w);
            const bool copied = StretchBlt(own.dc, 0, 0, 4, 4, shared, 0, 0, 300, 300, SRCCOPY);
            if (GetPixel(own.dc, 3, 3) != (copied ? RGB(255, 255, 255) : RGB(0, 0, 0)) ||
                (replacing && !copied))
                ++failures;
            if (!DeleteObject(w) || GetObjectW(w, 0, nullptr) != 0 ||
                GetCurrentObject(shared, OBJ_BITMAP) == w)
                ++failures;
        }
    };
    std::thread other(work, false);
    work(true);
    other.join();
    EXPECT_EQ(failures.load(), 0);
    DeleteDC(shared);
}

}  // namespace
}  // namespace faltrix::test
