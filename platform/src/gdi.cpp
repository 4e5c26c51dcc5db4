// The C entry points of libfaltrix_gdi.so (faltrix/gdi.h).
//
// Each call checks its arguments, finds its objects in the handle table, and gives the
// failure result (null, 0, FALSE or CLR_INVALID) for anything it cannot use, leaving every
// object as it was. No C++ exception leaves this file.
#include <cstring>
#include <mutex>

#include "blit.h"
#include "faltrix/dib_layout.h"
#include "faltrix/gdi.h"
#include "objects.h"
#include "pixel_format.h"

namespace faltrix::gdi {
namespace {

// Pixel memory of one bitmap may not exceed 2 GiB.
constexpr uint64_t kMaxPixelBytes = uint64_t{1} << 31;

HandleTable &Table() { return HandleTable::Get(); }

// Builds a bitmap from a header and what follows it (colour table or masks). Null for
// anything a DIB section cannot be; allocates nothing before every check has passed.
std::shared_ptr<Bitmap> MakeBitmap(const BITMAPINFO *info) {
    BITMAPINFOHEADER h;
    std::memcpy(&h, &info->bmiHeader, sizeof h);
    // The 40-byte header and its longer successors (which keep the first 40 bytes and put
    // the bit-field masks at byte 40); the colour table follows the header, whatever its size.
    const DWORD headerSize = h.biSize;
    if (headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 108 &&
        headerSize != 124) {
        return nullptr;
    }
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN || h.biPlanes != 1)
        return nullptr;
    const int bits = h.biBitCount;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return nullptr;
    if (h.biCompression != BI_RGB &&
        !(h.biCompression == BI_BITFIELDS && (bits == 16 || bits == 32))) {
        return nullptr;
    }

    const uint32_t stride = DibStride(h.biWidth, bits);
    const uint64_t bytes = DibImageBytes(stride, h.biHeight);
    if (stride == 0 || bytes == 0 || bytes > kMaxPixelBytes) return nullptr;

    const auto *after = reinterpret_cast<const uint8_t *>(info) + headerSize;
    auto bitmap = std::make_shared<Bitmap>();
    PixelFormat &f = bitmap->format;
    f.bitCount = bits;
    if (bits <= 8) {
        const DWORD entries = h.biClrUsed == 0 ? (DWORD{1} << bits) : h.biClrUsed;
        if (entries > 256) return nullptr;
        f.palette.resize(entries);
        std::memcpy(f.palette.data(), after, entries * sizeof(RGBQUAD));
    } else if (h.biCompression == BI_BITFIELDS) {
        const uint8_t *maskBytes =
            headerSize > 40 ? reinterpret_cast<const uint8_t *>(info) + 40 : after;
        std::memcpy(f.masks, maskBytes, sizeof f.masks);
        if (!ValidMasks(f.masks, bits)) return nullptr;
    } else if (bits == 16) {
        std::memcpy(f.masks, kDefault16Masks, sizeof f.masks);
    } else if (bits == 32) {
        std::memcpy(f.masks, kDefault32Masks, sizeof f.masks);
    }

    bitmap->width = h.biWidth;
    bitmap->height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    bitmap->topDown = h.biHeight < 0;
    bitmap->stride = stride;
    bitmap->bytes = static_cast<size_t>(bytes);
    bitmap->header = h;
    bitmap->header.biSize = sizeof(BITMAPINFOHEADER);
    bitmap->header.biSizeImage = static_cast<DWORD>(bytes);
    bitmap->reader = std::make_unique<const ColourReader>(f);
    bitmap->bits = static_cast<uint8_t *>(std::calloc(bitmap->bytes, 1));
    if (bitmap->bits == nullptr) return nullptr;
    return bitmap;
}

HBITMAP InsertBitmap(std::shared_ptr<Bitmap> bitmap, void **ppvBits) {
    void *bits = bitmap->bits;
    void *handle;
    {
        std::unique_lock lock(Table().mutex());
        handle = Table().InsertLocked(std::move(bitmap));
    }
    if (handle != nullptr && ppvBits != nullptr) *ppvBits = bits;
    return static_cast<HBITMAP>(handle);
}

// The bitmap selected in a memory DC, taken with the table's lock; null for anything else.
std::shared_ptr<Bitmap> SelectedBitmap(HDC hdc) {
    std::shared_lock lock(Table().mutex());
    const std::shared_ptr<Object> *p = Table().FindLocked(hdc);
    if (p == nullptr || (*p)->kind != Kind::MemoryDc) return nullptr;
    return static_cast<Dc &>(**p).bitmap;
}

bool IsDc(const std::shared_ptr<Object> *p) {
    return p != nullptr && ((*p)->kind == Kind::MemoryDc || (*p)->kind == Kind::ScreenDc);
}

void FillBitmapRecord(const Bitmap &b, BITMAP *out) {
    std::memset(out, 0, sizeof *out);
    out->bmType = 0;
    out->bmWidth = b.width;
    out->bmHeight = b.height;
    out->bmWidthBytes = static_cast<LONG>(b.stride);
    out->bmPlanes = 1;
    out->bmBitsPixel = static_cast<WORD>(b.format.bitCount);
    out->bmBits = b.bits;
}

}  // namespace
}  // namespace faltrix::gdi

using namespace faltrix::gdi;

extern "C" {

HBITMAP CreateDIBSection(HDC, const BITMAPINFO *pbmi, UINT usage, void **ppvBits, HANDLE hSection,
                         DWORD offset) {
    if (ppvBits != nullptr) *ppvBits = nullptr;
    if (pbmi == nullptr || usage != DIB_RGB_COLORS || hSection != nullptr || offset != 0)
        return nullptr;
    try {
        std::shared_ptr<Bitmap> bitmap = MakeBitmap(pbmi);
        if (!bitmap) return nullptr;
        return InsertBitmap(std::move(bitmap), ppvBits);
    } catch (...) {
        return nullptr;
    }
}

HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
    if (cx <= 0 || cy <= 0) return nullptr;
    try {
        if (hdc != nullptr) {
            std::shared_lock lock(Table().mutex());
            if (!IsDc(Table().FindLocked(hdc))) return nullptr;
        }
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = cx;
        info.bmiHeader.biHeight = -cy;  // top-down, as the screen is
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        std::shared_ptr<Bitmap> bitmap = MakeBitmap(&info);
        if (!bitmap) return nullptr;
        return InsertBitmap(std::move(bitmap), nullptr);
    } catch (...) {
        return nullptr;
    }
}

int GetObjectW(HGDIOBJ h, int c, void *pv) {
    try {
        const std::shared_ptr<Bitmap> b = Table().Find<Bitmap>(h, Kind::Bitmap);
        if (!b || c < 0) return 0;
        const auto size = static_cast<size_t>(c);
        if (pv == nullptr)
            return size >= sizeof(BITMAP) && size < sizeof(DIBSECTION) ? sizeof(BITMAP)
                                                                       : sizeof(DIBSECTION);
        if (size >= sizeof(DIBSECTION)) {
            DIBSECTION ds;
            std::memset(&ds, 0, sizeof ds);
            FillBitmapRecord(*b, &ds.dsBm);
            ds.dsBmih = b->header;
            if (b->format.bitCount == 16 || b->format.bitCount == 32) {
                std::memcpy(ds.dsBitfields, b->format.masks, sizeof ds.dsBitfields);
            }
            ds.dshSection = nullptr;
            ds.dsOffset = 0;
            std::memcpy(pv, &ds, sizeof ds);
            return sizeof(DIBSECTION);
        }
        if (size >= sizeof(BITMAP)) {
            BITMAP bm;
            FillBitmapRecord(*b, &bm);
            std::memcpy(pv, &bm, sizeof bm);
            return sizeof(BITMAP);
        }
        return 0;
    } catch (...) {
        return 0;
    }
}

HDC CreateCompatibleDC(HDC hdc) {
    try {
        auto dc = std::make_shared<Dc>(Kind::MemoryDc);
        std::unique_lock lock(Table().mutex());
        if (hdc != nullptr && !IsDc(Table().FindLocked(hdc))) return nullptr;
        dc->brush = Table().StockBrush(WHITE_BRUSH);
        return static_cast<HDC>(Table().InsertLocked(std::move(dc)));
    } catch (...) {
        return nullptr;
    }
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
    try {
        std::shared_ptr<Bitmap> previous;  // dropped after unlocking
        std::unique_lock lock(Table().mutex());
        const std::shared_ptr<Object> *d = Table().FindLocked(hdc);
        const std::shared_ptr<Object> *o = Table().FindLocked(h);
        if (d == nullptr || o == nullptr || (*d)->kind != Kind::MemoryDc) return nullptr;
        Dc &dc = static_cast<Dc &>(**d);
        if ((*o)->kind == Kind::Brush) {
            void *old = dc.brush;
            dc.brush = h;
            return old;
        }
        if ((*o)->kind != Kind::Bitmap) return nullptr;
        auto bitmap = std::static_pointer_cast<Bitmap>(*o);
        if (bitmap->selectedIn == &dc) return h;
        if (bitmap->selectedIn != nullptr) return nullptr;  // one DC at a time
        previous = std::move(dc.bitmap);
        if (previous) previous->selectedIn = nullptr;
        bitmap->selectedIn = &dc;
        dc.bitmap = std::move(bitmap);
        return previous ? previous->handle : nullptr;
    } catch (...) {
        return nullptr;
    }
}

HGDIOBJ GetCurrentObject(HDC hdc, UINT type) {
    try {
        std::shared_lock lock(Table().mutex());
        const std::shared_ptr<Object> *d = Table().FindLocked(hdc);
        if (!IsDc(d)) return nullptr;
        const Dc &dc = static_cast<const Dc &>(**d);
        if (type == OBJ_BITMAP) return dc.bitmap ? dc.bitmap->handle : nullptr;
        if (type == OBJ_BRUSH) return dc.brush;
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

BOOL DeleteDC(HDC hdc) {
    try {
        std::shared_ptr<Object> removed;  // dropped after unlocking
        std::unique_lock lock(Table().mutex());
        const std::shared_ptr<Object> *d = Table().FindLocked(hdc);
        if (d == nullptr || (*d)->kind != Kind::MemoryDc) return FALSE;
        Dc &dc = static_cast<Dc &>(**d);
        if (dc.bitmap) {
            dc.bitmap->selectedIn = nullptr;
            dc.bitmap.reset();
        }
        removed = Table().RemoveLocked(hdc);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL DeleteObject(HGDIOBJ h) {
    try {
        std::shared_ptr<Object> removed;  // dropped after unlocking: frees the pixel memory
        std::unique_lock lock(Table().mutex());
        const std::shared_ptr<Object> *o = Table().FindLocked(h);
        if (o == nullptr) return FALSE;
        if ((*o)->kind == Kind::Brush) {
            // Stock brushes are the only brushes and are never deleted.
            return TRUE;
        }
        if ((*o)->kind != Kind::Bitmap) return FALSE;  // DCs end with DeleteDC or ReleaseDC
        Bitmap &bitmap = static_cast<Bitmap &>(**o);
        if (bitmap.selectedIn != nullptr) {
            bitmap.selectedIn->bitmap.reset();  // the DC is left with nothing selected
            bitmap.selectedIn = nullptr;
        }
        removed = Table().RemoveLocked(h);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

HDC GetDC(HWND) {
    try {
        auto dc = std::make_shared<Dc>(Kind::ScreenDc);
        std::unique_lock lock(Table().mutex());
        dc->brush = Table().StockBrush(WHITE_BRUSH);
        return static_cast<HDC>(Table().InsertLocked(std::move(dc)));
    } catch (...) {
        return nullptr;
    }
}

int ReleaseDC(HWND, HDC hdc) {
    try {
        std::shared_ptr<Object> removed;
        std::unique_lock lock(Table().mutex());
        const std::shared_ptr<Object> *d = Table().FindLocked(hdc);
        if (d == nullptr || (*d)->kind != Kind::ScreenDc) return 0;
        removed = Table().RemoveLocked(hdc);
        return 1;
    } catch (...) {
        return 0;
    }
}

BOOL StretchBlt(HDC hdcDest, int xDest, int yDest, int wDest, int hDest, HDC hdcSrc, int xSrc,
                int ySrc, int wSrc, int hSrc, DWORD rop) {
    if (rop != SRCCOPY) return FALSE;
    try {
        // Both bitmaps are held for the whole copy, so deleting them meanwhile on another
        // thread cannot free the memory under it.
        const std::shared_ptr<Bitmap> dst = SelectedBitmap(hdcDest);
        const std::shared_ptr<Bitmap> src = SelectedBitmap(hdcSrc);
        if (!dst || !src) return FALSE;
        return StretchPixels(*dst, xDest, yDest, wDest, hDest, *src, xSrc, ySrc, wSrc, hSrc)
                   ? TRUE
                   : FALSE;
    } catch (...) {
        return FALSE;
    }
}

BOOL BitBlt(HDC hdcDest, int xDest, int yDest, int cx, int cy, HDC hdcSrc, int xSrc, int ySrc,
            DWORD rop) {
    return StretchBlt(hdcDest, xDest, yDest, cx, cy, hdcSrc, xSrc, ySrc, cx, cy, rop);
}

COLORREF GetPixel(HDC hdc, int x, int y) {
    try {
        const std::shared_ptr<Bitmap> b = SelectedBitmap(hdc);
        if (!b || x < 0 || y < 0 || x >= b->width || y >= b->height) return CLR_INVALID;
        return ColorrefFromColour(b->reader->Pixel(b->Row(y), x));
    } catch (...) {
        return CLR_INVALID;
    }
}

int FillRect(HDC hdc, const RECT *lprc, HBRUSH hbr) {
    if (lprc == nullptr) return 0;
    try {
        const std::shared_ptr<Brush> brush = Table().Find<Brush>(hbr, Kind::Brush);
        const std::shared_ptr<Bitmap> b = SelectedBitmap(hdc);
        if (!brush || !b) return 0;
        return FillPixels(*b, *lprc, ColourFromColorref(brush->colour)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

UINT GetDIBColorTable(HDC hdc, UINT start, UINT count, RGBQUAD *colors) {
    if (colors == nullptr) return 0;
    try {
        const std::shared_ptr<Bitmap> b = SelectedBitmap(hdc);
        if (!b) return 0;
        const std::vector<RGBQUAD> &palette = b->format.palette;
        if (start >= palette.size()) return 0;
        const size_t n = std::min<size_t>(count, palette.size() - start);
        std::memcpy(colors, palette.data() + start, n * sizeof(RGBQUAD));
        return static_cast<UINT>(n);
    } catch (...) {
        return 0;
    }
}

HGDIOBJ GetStockObject(int i) {
    try {
        return Table().StockBrush(i);
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"
