/*
 * A plug-in for the dialog's tests, configured when it is built:
 *
 *   DP_OUTPUT            an output plug-in ("00OUT_EX"), else an input plug-in ("00IN_EX")
 *   DP_DESCRIPTION="t"   the description (number 1); "" answers 0 characters
 *   DP_PATTERNS=n        how many pattern pairs (0, 1 or 2): "*.dp;*.dpic" described
 *                        "Dialog pictures", then "*.two" with no description
 *
 * Input: a picture file is a text file "<width> <height>"; GetPictureInfo answers that size
 * (0 x 0 is answered as it stands), GetPictureDIB paints a 24-bit picture of it in one colour.
 * While a file "<path>.hold" exists, GetPictureDIB waits (up to 20 s): tests keep a job
 * running that way. Output: SaveDIBPicture writes "<width> <height> <bits>\n".
 *
 * With DIALOG_PLUGIN_LOG set, every load and every call appends a line "<description>
 * <event>" to that file, so a test sees what the dialog asked of which plug-in.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "faltrix/plugin.h"

#ifndef DP_DESCRIPTION
#define DP_DESCRIPTION "Dialog plug-in"
#endif
#ifndef DP_PATTERNS
#define DP_PATTERNS 1
#endif

static void Log(const char *event) {
    const char *log = getenv("DIALOG_PLUGIN_LOG");
    FILE *out;
    if (log == NULL) return;
    out = fopen(log, "a");
    if (out == NULL) return;
    fprintf(out, "%s %s\n", DP_DESCRIPTION, event);
    fclose(out);
}

__attribute__((constructor)) static void Loaded(void) { Log("load"); }

static void Narrow(const WCHAR *path, char *out, size_t size) {
    size_t n = 0;
    for (; path != NULL && path[n] != 0 && n + 1 < size; ++n) out[n] = (char)path[n];
    out[n] = 0;
}

static int32_t Answer(const char *text, WCHAR *buffer, int32_t bufferLength) {
    int32_t n = 0;
    if (buffer == NULL || bufferLength <= 0) return 0;
    for (; text[n] != 0 && n < bufferLength - 1; ++n) buffer[n] = (WCHAR)(unsigned char)text[n];
    buffer[n] = 0;
    return n;
}

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength) {
    switch (infoNumber) {
    case 0:
#ifdef DP_OUTPUT
        return Answer("00OUT_EX", buffer, bufferLength);
#else
        return Answer("00IN_EX", buffer, bufferLength);
#endif
    case 1:
        return Answer(DP_DESCRIPTION, buffer, bufferLength);
    case 2:
        return DP_PATTERNS >= 1 ? Answer("*.dp;*.dpic", buffer, bufferLength) : 0;
    case 3:
        return DP_PATTERNS >= 1 ? Answer("Dialog pictures", buffer, bufferLength) : 0;
    case 4:
        return DP_PATTERNS >= 2 ? Answer("*.two", buffer, bufferLength) : 0;
    default:
        return 0;
    }
}

FALTRIX_PLUGIN_EXPORT int32_t ConfigurationDlg(HWND parent, int32_t reserved) {
    (void)parent;
    (void)reserved;
    Log("ConfigurationDlg");
    return 0;
}

#ifndef DP_OUTPUT

static int ReadSize(const WCHAR *path, int32_t *width, int32_t *height) {
    char name[2048];
    FILE *in;
    int ok;
    Narrow(path, name, sizeof name);
    in = fopen(name, "r");
    if (in == NULL) return 0;
    ok = fscanf(in, "%d %d", width, height) == 2;
    fclose(in);
    return ok;
}

FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t reserved1, int32_t reserved2) {
    int32_t width, height;
    (void)reserved1;
    (void)reserved2;
    return ReadSize(path, &width, &height);
}

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                             PictureInfo *info) {
    (void)reserved1;
    (void)reserved2;
    Log("GetPictureInfo");
    return ReadSize(path, &info->width, &info->height) ? 0 : 1;
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                            ProgressCallbackFn progress, int32_t data,
                                            DibAllocCallbackFn alloc) {
    char hold[2100];
    BITMAPINFO bmi;
    void *bits = NULL;
    HBITMAP bitmap;
    int32_t width, height, stride, y, x;
    (void)reserved1;
    (void)reserved2;
    Log("GetPictureDIB");
    if (!ReadSize(path, &width, &height) || width <= 0 || height <= 0) return NULL;
    Narrow(path, hold, sizeof hold - 8);
    strcat(hold, ".hold");
    for (int i = 0; i < 4000 && access(hold, F_OK) == 0; ++i) usleep(5000);
    memset(&bmi, 0, sizeof bmi);
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 24;
    bmi.bmiHeader.biCompression = BI_RGB;
    bitmap = alloc(NULL, &bmi, DIB_RGB_COLORS, &bits, NULL, 0);
    if (bitmap == NULL || bits == NULL) return NULL;
    stride = ((width * 24 + 31) / 32) * 4;
    for (y = 0; y < height; ++y) {
        unsigned char *row = (unsigned char *)bits + (size_t)y * (size_t)stride;
        for (x = 0; x < width; ++x) {
            row[3 * x] = 0x20;     /* blue */
            row[3 * x + 1] = 0x40; /* green */
            row[3 * x + 2] = 0xC0; /* red */
        }
        if (progress) progress(y + 1, height, data);
    }
    return bitmap;
}

#else

FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                             ProgressCallbackFn progress, int32_t data) {
    char name[2048];
    DIBSECTION ds;
    FILE *out;
    HGDIOBJ bitmap = GetCurrentObject(dc, OBJ_BITMAP);
    (void)reserved1;
    (void)reserved2;
    (void)progress;
    (void)data;
    Log("SaveDIBPicture");
    if (bitmap == NULL || GetObjectW(bitmap, (int)sizeof ds, &ds) == 0) return 3;
    Narrow(path, name, sizeof name);
    out = fopen(name, "w");
    if (out == NULL) return 2;
    fprintf(out, "%d %d %d\n", (int)ds.dsBm.bmWidth, (int)ds.dsBm.bmHeight, (int)ds.dsBm.bmBitsPixel);
    return fclose(out) == 0 ? 0 : 4;
}

#endif
