/*
 * faltrix/gdi.h -- the graphics layer shared by Faltrix and its plug-ins.
 *
 * Pictures travel between the host and its plug-ins as DIB sections: device-independent
 * bitmaps in ordinary memory, reached through handles of this layer. The calls keep the
 * names and meanings of the classic Windows graphics interface, so code written against
 * that interface reads the same here. The implementation is libfaltrix_gdi.so; the host and
 * every plug-in link the same copy, so handles made by one are valid in the other.
 *
 * Coordinates: device coordinates have y = 0 at the top row of the picture, whatever order
 * the rows have in memory (positive biHeight: bottom-up, negative: top-down).
 *
 * Failure: every call gives its failure result (null, 0 or CLR_INVALID) for a null or stale
 * handle, an absurd size or an unknown format, and leaves every other object as it was.
 *
 * Threads: every call may be made from any thread. The handle table is guarded; the pixels
 * of one bitmap are not, so two threads must not write the same bitmap at once.
 */
#ifndef FALTRIX_GDI_H
#define FALTRIX_GDI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(FALTRIX_GDI_BUILD)
#define FALTRIX_GDI_API __attribute__((visibility("default")))
#else
#define FALTRIX_GDI_API
#endif

/* Field widths are the classic platform's, whatever the host's `long` is. */
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef DWORD COLORREF; /* 0x00bbggrr */

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Handles. A generic object handle is an untyped pointer; the typed ones convert to it. */
typedef void *HANDLE;
typedef void *HGDIOBJ;
typedef struct HBITMAP__ *HBITMAP;
typedef struct HBRUSH__ *HBRUSH;
typedef struct HDC__ *HDC;
/* An opaque window handle. In the Qt front end it is the QWidget* of a control or dialog. */
typedef struct HWND__ *HWND;

#define RGB(r, g, b) \
    ((COLORREF)(((BYTE)(r)) | ((DWORD)((BYTE)(g)) << 8) | ((DWORD)((BYTE)(b)) << 16)))
#define GetRValue(c) ((BYTE)((c)&0xFF))
#define GetGValue(c) ((BYTE)(((c) >> 8) & 0xFF))
#define GetBValue(c) ((BYTE)(((c) >> 16) & 0xFF))
#define CLR_INVALID ((COLORREF)0xFFFFFFFF)

/* biCompression values. BI_RLE8 and BI_RLE4 exist only in files: a DIB section is never
 * compressed, so CreateDIBSection refuses them. */
#define BI_RGB 0
#define BI_RLE8 1
#define BI_RLE4 2
#define BI_BITFIELDS 3

#define DIB_RGB_COLORS 0 /* the colour table holds RGBQUADs (the only usage supported) */
#define SRCCOPY ((DWORD)0x00CC0020)
#define OBJ_BRUSH 2
#define OBJ_DC 3
#define OBJ_BITMAP 7
#define OBJ_MEMDC 10
#define WHITE_BRUSH 0
#define BLACK_BRUSH 4

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;  /* exclusive */
    LONG bottom; /* exclusive */
} RECT;

typedef struct tagRGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} RGBQUAD;

typedef struct tagBITMAPINFOHEADER {
    DWORD biSize;         /* bytes of this header: 40 */
    LONG biWidth;         /* pixels */
    LONG biHeight;        /* rows; > 0 bottom-up, < 0 top-down */
    WORD biPlanes;        /* 1 */
    WORD biBitCount;      /* 1, 4, 8, 16, 24 or 32 */
    DWORD biCompression;  /* BI_RGB or BI_BITFIELDS (16 and 32 bits) */
    DWORD biSizeImage;    /* bytes of pixel memory; 0 lets the layer compute it */
    LONG biXPelsPerMeter; /* horizontal resolution, pixels per metre */
    LONG biYPelsPerMeter; /* vertical resolution, pixels per metre */
    DWORD biClrUsed;      /* colour table entries; 0 means 1 << biBitCount for <= 8 bits */
    DWORD biClrImportant; /* kept, never interpreted */
} BITMAPINFOHEADER;

/* A header followed by its colour table (palettised) or by three DWORD masks
 * (BI_BITFIELDS: red, green, blue). bmiColors is declared with one entry; the caller
 * allocates room for as many as it passes. */
typedef struct tagBITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
} BITMAPINFO;

typedef struct tagBITMAP {
    LONG bmType;       /* 0 */
    LONG bmWidth;      /* pixels */
    LONG bmHeight;     /* rows, always positive */
    LONG bmWidthBytes; /* bytes from one row in memory to the next (a multiple of 4) */
    WORD bmPlanes;     /* 1 */
    WORD bmBitsPixel;  /* bits per pixel */
    void *bmBits;      /* first byte of pixel memory: the first row in memory */
} BITMAP;

typedef struct tagDIBSECTION {
    BITMAP dsBm;
    BITMAPINFOHEADER dsBmih; /* as created; biSizeImage filled in; biHeight keeps its sign */
    DWORD dsBitfields[3];    /* red, green, blue masks for 16 and 32 bits, else 0 */
    HANDLE dshSection;       /* always null: no file mappings */
    DWORD dsOffset;          /* always 0 */
} DIBSECTION;

/* Creates a DIB section from pbmi's header and colour table (or masks), with its pixel memory
 * zeroed. *ppvBits receives the first byte of pixel memory (also on failure: null). hdc,
 * hSection and offset are accepted for compatibility: hdc is not used, hSection must be null
 * and offset 0. usage must be DIB_RGB_COLORS. The caller owns the bitmap and ends it with
 * DeleteObject. Returns null for an unknown bit count or compression, a width or height of 0,
 * a width below 0, more than 256 colours claimed for <= 8 bits, a pixel memory above 2 GiB,
 * or no memory; also for biPlanes other than 1, a biSize other than 40 (or 52, 56, 108, 124,
 * whose masks stand at byte 40 of the header), and BI_BITFIELDS masks that are zero, not one
 * run of bits, overlapping or wider than the pixel. biSizeImage is computed, whatever the
 * caller put there. Nothing is allocated before every check has passed. */
FALTRIX_GDI_API HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO *pbmi, UINT usage,
                                         void **ppvBits, HANDLE hSection, DWORD offset);

/* Creates a bitmap in the screen format: a 32-bit top-down DIB section (B, G, R, X), so a
 * QImage of format RGB32 can wrap its memory. hdc may be any valid DC (or null). Returns
 * null for a size <= 0 or too large. */
FALTRIX_GDI_API HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy);

/* Fills pv with the object's description. For a bitmap: with c >= sizeof(DIBSECTION) fills a
 * DIBSECTION and returns sizeof(DIBSECTION); with sizeof(BITMAP) <= c < sizeof(DIBSECTION)
 * fills a BITMAP and returns sizeof(BITMAP). With pv null returns the size it would write.
 * Returns 0 for a stale handle or a c too small. */
FALTRIX_GDI_API int GetObjectW(HGDIOBJ h, int c, void *pv);

/* Creates a memory device context with nothing selected. hdc may be null, a screen context or
 * a memory context. The caller ends it with DeleteDC. */
FALTRIX_GDI_API HDC CreateCompatibleDC(HDC hdc);

/* Selects a bitmap into a memory DC and returns the bitmap selected before (null for the
 * first selection, which is not an error: check the DC instead). A bitmap can be selected in
 * one DC at a time; selecting it again into the DC that holds it returns it. A stock brush may
 * be selected too (the previous brush is returned; a new DC holds WHITE_BRUSH), though no call
 * draws with it. Returns null on failure (stale handles, a bitmap selected elsewhere, a screen
 * context). */
FALTRIX_GDI_API HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);

/* The object of the given type (OBJ_BITMAP or OBJ_BRUSH) selected in hdc, or null. */
FALTRIX_GDI_API HGDIOBJ GetCurrentObject(HDC hdc, UINT type);

/* Ends a memory DC; a bitmap selected in it is deselected, not deleted. FALSE for a stale
 * handle or a screen context (which ends with ReleaseDC). */
FALTRIX_GDI_API BOOL DeleteDC(HDC hdc);

/* Ends a bitmap and frees its pixel memory. A bitmap still selected into a DC is deleted all
 * the same: the DC is left with nothing selected. A blit running on another thread at that
 * moment finishes on the old pixels; the memory is freed when it is done. Stock objects are
 * never deleted (TRUE). FALSE for a stale handle or a DC. */
FALTRIX_GDI_API BOOL DeleteObject(HGDIOBJ h);

/* The screen context: hwnd null (or any window) gives a context of the screen format with no
 * bitmap that can be drawn on. End it with ReleaseDC, not DeleteDC. Returns 1 when released. */
FALTRIX_GDI_API HDC GetDC(HWND hwnd);
FALTRIX_GDI_API int ReleaseDC(HWND hwnd, HDC hdc);

/* Copies a rectangle between the bitmaps selected in two memory DCs (SRCCOPY only), clipped
 * to both bitmaps: a destination pixel whose source pixel lies outside the source bitmap is
 * left as it was. Between two palettised bitmaps of equal depth and equal colour table the
 * indices are copied, and between two bitmaps of the same format the bytes (the fourth byte of
 * a 32-bit pixel included); otherwise colours are converted (a palettised destination takes
 * the nearest entry; a converted 32-bit pixel gets a fourth byte of 0). Both DCs may be the
 * same: overlapping rectangles copy as if through a temporary. Returns FALSE for stale
 * handles, an unknown raster operation, a DC with nothing selected, a zero extent, or
 * rectangles that leave no pixel to copy. */
FALTRIX_GDI_API BOOL BitBlt(HDC hdcDest, int xDest, int yDest, int cx, int cy, HDC hdcSrc, int xSrc,
                            int ySrc, DWORD rop);

/* As BitBlt, scaling the source rectangle onto the destination rectangle by nearest neighbour
 * over the whole rectangles: destination pixel i of an extent of n reads the source pixel
 * under its centre, floor((i + 1/2) * m / n) of the source extent m (every other pixel at 2:1,
 * each three times at 1:3; clipping does not change which). A negative extent covers the
 * pixels from x + extent to x - 1; when exactly one of the two extents of an axis is negative
 * the picture is mirrored along that axis (the mirror image of the unmirrored result). */
FALTRIX_GDI_API BOOL StretchBlt(HDC hdcDest, int xDest, int yDest, int wDest, int hDest, HDC hdcSrc,
                                int xSrc, int ySrc, int wSrc, int hSrc, DWORD rop);

/* The colour of a pixel of the selected bitmap, through its colour table or masks;
 * CLR_INVALID outside the bitmap or for a DC with nothing selected. */
FALTRIX_GDI_API COLORREF GetPixel(HDC hdc, int x, int y);

/* Fills a rectangle (clipped; right and bottom exclusive) of the selected bitmap with a stock
 * brush's colour (a palettised bitmap takes the nearest entry). Returns 1, or 0 on failure,
 * including a rectangle that reaches no pixel. */
FALTRIX_GDI_API int FillRect(HDC hdc, const RECT *lprc, HBRUSH hbr);

/* Copies entries [start, start + count) of the colour table of the DIB section selected in
 * hdc into colors, clipped to the table's size. Returns the number of entries copied; 0 for a
 * bitmap without a colour table (16, 24 and 32 bits) or a DC with nothing selected. */
FALTRIX_GDI_API UINT GetDIBColorTable(HDC hdc, UINT start, UINT count, RGBQUAD *colors);

/* A stock object (WHITE_BRUSH, BLACK_BRUSH); owned by the layer. Null for other numbers. */
FALTRIX_GDI_API HGDIOBJ GetStockObject(int i);

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes on disk and in memory");
static_assert(sizeof(RGBQUAD) == 4, "RGBQUAD is 4 bytes");
#else
_Static_assert(sizeof(BITMAPINFOHEADER) == 40,
               "BITMAPINFOHEADER is 40 bytes on disk and in memory");
_Static_assert(sizeof(RGBQUAD) == 4, "RGBQUAD is 4 bytes");
#endif

#endif /* FALTRIX_GDI_H */
