// A plug-in for tests whose behaviour is chosen when it is built. One source, many
// libraries: each fake_plugin_<variant> target compiles this file with its own definitions.
//
//   FAKE_NAME="variant"       the description (number 1) is "Fake <variant>" (set by the target)
//   FAKE_TAG=n                answer to number 0: 1 "00IN_EX", 2 "00OUT_EX", 3 "NOT_A_TAG",
//                             4 "00iN_EX", 5 "00OUT_eX" (the tags but for the case of a letter)
//   FAKE_KIND_OUTPUT          export the output entry points instead of the input ones
//   FAKE_NO_INFO              export no GetPluginInfo
//   FAKE_NO_OTHERS            export GetPluginInfo only
//   FAKE_FAIL                 every answer fails: IsSupported 0, GetPictureInfo 1,
//                             GetPictureDIB null, SaveDIBPicture 5, ConfigurationDlg 1
//   FAKE_OVERLONG=1           every GetPluginInfo answer fills the whole buffer without a NUL
//                             and claims 100 units more than the buffer holds
//   FAKE_OVERLONG=2           the same for every number but 0 (the tag stays right)
//   FAKE_WIDTH, FAKE_HEIGHT   the picture size answered and decoded (default 3 x 2)
//   FAKE_USES_DEPENDENCY      reference a symbol of fake_dependency (linked through LIBS)
//   FAKE_USES_GDI             GetPictureDIB paints a 24-bit picture and SaveDIBPicture writes
//                             "<width> <height> <bits>\n" to the output file (needs
//                             libfaltrix_gdi); without it SaveDIBPicture writes "stored\n"
//
// Every call is recorded; FakeLastCall(buffer, size) copies a line describing the last call
// into buffer (UTF-8, e.g. "IsSupported(/p/a.png,0,0)"), so a test can check what the host
// passed on. With FALTRIX_FAKE_REPORT_UNLOAD set, the library says "unloaded <variant>" on
// stderr when it is unloaded.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "faltrix/plugin.h"

#ifndef FAKE_TAG
#define FAKE_TAG 1
#endif
#ifndef FAKE_WIDTH
#define FAKE_WIDTH 3
#endif
#ifndef FAKE_HEIGHT
#define FAKE_HEIGHT 2
#endif
#ifndef FAKE_OVERLONG
#define FAKE_OVERLONG 0
#endif
_Static_assert(FAKE_TAG >= 1 && FAKE_TAG <= 5, "unknown FAKE_TAG");

// The record is a convenience for single-threaded tests (last writer wins).
static char g_lastCall[1024];

FALTRIX_PLUGIN_EXPORT int FakeLastCall(char *buffer, int size) {
    if (buffer == NULL || size <= 0) return 0;
    snprintf(buffer, (size_t)size, "%s", g_lastCall);
    return (int)strlen(buffer);
}

// UTF-16 to UTF-8; surrogate pairs are joined, lone ones become '?'.
static void ToUtf8(const WCHAR *text, char *out, size_t size) {
    size_t n = 0;
    for (; text != NULL && *text != 0 && n + 4 < size; ++text) {
        uint32_t c = *text;
        int extra;
        if (c >= 0xD800 && c < 0xDC00 && text[1] >= 0xDC00 && text[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t)(text[1] - 0xDC00);
            ++text;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = '?';
        }
        extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out[n++] = (char)(extra == 0 ? c : ((0xF0u << (3 - extra)) & 0xF0u) | (c >> (6 * extra)));
        while (extra-- > 0) out[n++] = (char)(0x80 | ((c >> (6 * extra)) & 0x3F));
    }
    out[n] = 0;
}

// Records "entry(path,rest)", or "entry(rest)" without a path.
__attribute__((format(printf, 3, 4))) static void Record(const char *entry, const WCHAR *path, const char *format, ...) {
    char path8[700], rest[160];
    va_list args;
    va_start(args, format);
    vsnprintf(rest, sizeof rest, format, args);
    va_end(args);
    ToUtf8(path, path8, sizeof path8);
    snprintf(g_lastCall, sizeof g_lastCall, "%s(%s%s%s)", entry, path ? path8 : "", path ? "," : "", rest);
}

// Writes an ASCII text into the caller's buffer as a well-behaved plug-in does.
__attribute__((unused)) static int32_t Answer(const char *text, WCHAR *buffer, int32_t bufferLength) {
    int32_t n = 0;
    if (buffer == NULL || bufferLength <= 0) return 0;
    for (; text[n] != 0 && n < bufferLength - 1; ++n) buffer[n] = (WCHAR)(unsigned char)text[n];
    buffer[n] = 0;
    return n;
}

#ifndef FAKE_NO_INFO
FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
    static const char *const tags[] = {"", "00IN_EX", "00OUT_EX", "NOT_A_TAG", "00iN_EX", "00OUT_eX"};
    static const char *const texts[] = {"", "Fake " FAKE_NAME, "*.fake", "Fake pictures"};
    Record("GetPluginInfo", NULL, "%d,%d", infoNumber, bufferLength);
    if (FAKE_OVERLONG == 1 || (FAKE_OVERLONG == 2 && infoNumber != 0)) {
        for (int32_t i = 0; i < bufferLength; ++i) buffer[i] = (WCHAR)'X';
        return bufferLength + 100;
    }
    if (infoNumber == 0) return Answer(tags[FAKE_TAG], buffer, bufferLength);
    return infoNumber > 0 && infoNumber <= 3 ? Answer(texts[infoNumber], buffer, bufferLength) : 0;
}
#endif

#ifdef FAKE_FAIL
#define FAKE_ANSWER(good, bad) (bad)
#else
#define FAKE_ANSWER(good, bad) (good)
#endif

#ifndef FAKE_NO_OTHERS
FALTRIX_PLUGIN_EXPORT int32_t ConfigurationDlg(HWND parent, int32_t reserved) {
    Record("ConfigurationDlg", NULL, "%p,%d", (void *)parent, reserved);
    return FAKE_ANSWER(0, 1);
}

#ifndef FAKE_KIND_OUTPUT
FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t reserved1, int32_t reserved2) {
    Record("IsSupported", path, "%d,%d", reserved1, reserved2);
    return FAKE_ANSWER(1, 0);
}

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                             PictureInfo *info) {
    Record("GetPictureInfo", path, "%d,%d,%p", reserved1, reserved2, (void *)info);
#ifndef FAKE_FAIL
    info->width = FAKE_WIDTH;
    info->height = FAKE_HEIGHT;
#endif
    return FAKE_ANSWER(0, 1);
}

FALTRIX_PLUGIN_EXPORT int32_t GetPicture(void) { return 0; }

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                            ProgressCallbackFn progress, int32_t data,
                                            DibAllocCallbackFn alloc) {
    Record("GetPictureDIB", path, "%d,%d,%s,%d,%s", reserved1, reserved2, progress ? "progress" : "null", data,
           alloc ? "alloc" : "null");
#if defined(FAKE_FAIL) || !defined(FAKE_USES_GDI)
    return NULL;
#else
    BITMAPINFO bmi = {.bmiHeader = {.biSize = sizeof(BITMAPINFOHEADER), .biWidth = FAKE_WIDTH, .biHeight = FAKE_HEIGHT,
                                    .biPlanes = 1, .biBitCount = 24, .biCompression = BI_RGB}};
    void *bits = NULL;
    const int32_t stride = ((FAKE_WIDTH * 24 + 31) / 32) * 4;
    HBITMAP bitmap = alloc ? alloc(NULL, &bmi, DIB_RGB_COLORS, &bits, NULL, 0) : NULL;
    if (bitmap == NULL || bits == NULL) return NULL;
    // A gradient: blue = x, green = y (memory rows bottom-up), red = 0x80.
    for (int32_t y = 0; y < FAKE_HEIGHT; ++y) {
        uint8_t *row = (uint8_t *)bits + (size_t)y * (size_t)stride;
        for (int32_t x = 0; x < FAKE_WIDTH; ++x) {
            row[3 * x] = (uint8_t)x;
            row[3 * x + 1] = (uint8_t)(FAKE_HEIGHT - 1 - y);
            row[3 * x + 2] = 0x80;
        }
        if (progress) progress(y + 1, FAKE_HEIGHT, data);
    }
    return bitmap;
#endif
}

#else // FAKE_KIND_OUTPUT
FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                             ProgressCallbackFn progress, int32_t data) {
    char path8[700];
    Record("SaveDIBPicture", path, "%p,%d,%d,%s,%d", (void *)dc, reserved1, reserved2,
           progress ? "progress" : "null", data);
    if (progress) progress(1, 2, data);
    if (FAKE_ANSWER(0, 1)) return 5;
    ToUtf8(path, path8, sizeof path8);
    FILE *out = fopen(path8, "w");
    if (out == NULL) return 2;
#ifdef FAKE_USES_GDI
    DIBSECTION ds;
    HGDIOBJ bitmap = GetCurrentObject(dc, OBJ_BITMAP);
    if (bitmap == NULL || GetObjectW(bitmap, (int)sizeof ds, &ds) == 0) {
        fclose(out);
        return 3;
    }
    fprintf(out, "%d %d %d\n", (int)ds.dsBm.bmWidth, (int)ds.dsBm.bmHeight, (int)ds.dsBm.bmBitsPixel);
#else
    (void)dc;
    fputs("stored\n", out);
#endif
    return fclose(out) == 0 ? 0 : 4;
}
#endif // FAKE_KIND_OUTPUT
#endif // FAKE_NO_OTHERS

#ifdef FAKE_USES_DEPENDENCY
int FakeDependencyMarker(void);
// Keeps the dependency linked (the linker drops unreferenced libraries with --as-needed).
FALTRIX_PLUGIN_EXPORT int FakeDependency(void) { return FakeDependencyMarker(); }
#endif

__attribute__((destructor)) static void ReportUnload(void) {
    if (getenv("FALTRIX_FAKE_REPORT_UNLOAD") != NULL) fprintf(stderr, "unloaded %s\n", FAKE_NAME);
}
