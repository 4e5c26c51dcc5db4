/*
 * A small binary PPM (P6) plug-in, input or output, built once sound and once per fault that
 * faltrix-plugin-check must find (tests/plugin_check/CMakeLists.txt):
 *   BROKEN_OUTPUT       the output plug-in; otherwise the input plug-in
 *   FAULT=1             crashes when asked for its description
 *   FAULT=2             writes its description past the end of the host's buffer
 *   FAULT=3             (output) answers 0 and writes nothing
 *   FAULT=4             (output) writes a file of its own beside the temporary, then renames it
 *   FAULT=5             (input) crashes on a file that ends early
 *   FAULT=6             (input) decodes into one buffer shared by every thread
 *   FAULT=7             answers a pattern's whole length when it is cut to a short buffer
 *   FAULT=8             keeps no cause for GetLastFailureText
 *   FAULT=9             (input) reports progress past the total
 *   FAULT=10            (output) converts the host's bitmap in place to the colours it stores
 *   FAULT=11            lists a default its option does not take
 *   FAULT=12            (output) takes an XMP packet and stores it nowhere
 *   FAULT=13            (input) ends the process on a path it cannot open
 *   FAULT=14            (input) reads 12-bit files as frames only, and gives their samples
 *                       unscaled
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "faltrix/plugin.h"

#ifndef FAULT
#define FAULT 0
#endif

static int32_t Answer(const char *text, WCHAR *buffer, int32_t length) {
    int32_t n = 0;
    for (; text[n] != 0 && n < length - 1; ++n) buffer[n] = (WCHAR)text[n];
    buffer[n] = 0;
    return n;
}

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t number, WCHAR *buffer, int32_t length) {
#ifdef BROKEN_OUTPUT
    if (number == 0) return Answer("00OUT_EX", buffer, length);
#else
    if (number == 0) return Answer("00IN_EX", buffer, length);
#endif
#if FAULT == 1
    static const char *volatile description = (const char *)16; /* an offset taken as a pointer */
    if (number == 1) return Answer(description, buffer, length);
#elif FAULT == 2
    if (number == 1) { /* copied without regard to the length */
        for (int32_t i = 0; i < length + 8; ++i) buffer[i] = 'x';
        buffer[length + 8] = 0;
        return length + 8;
    }
#endif
#if FAULT == 7
    if (number == 3) return Answer("Portable pixmap", buffer, length), 15;
#endif
    if (number == 1) return Answer("Broken PPM", buffer, length);
    if (number == 2) return Answer("*.ppm", buffer, length);
    return number == 3 ? Answer("Portable pixmap", buffer, length) : 0;
}

static _Thread_local const char *failure = "";

static int32_t Fail(const char *why) {
    failure = FAULT == 8 ? failure : why;
    return 1;
}

FALTRIX_PLUGIN_EXPORT int32_t GetLastFailureText(WCHAR *buffer, int32_t length) {
    return Answer(failure, buffer, length);
}

/* The one option, "quality" 1..100, kept for the session. */
static int quality = 90;

FALTRIX_PLUGIN_EXPORT int32_t SetPluginOption(const WCHAR *name, const WCHAR *value) {
    const WCHAR key[] = u"quality";
    int n = 0;
    for (size_t i = 0; i < sizeof key / sizeof key[0]; ++i)
        if (name[i] != key[i]) return 1;
    for (; *value >= '0' && *value <= '9' && n <= 100; ++value) n = n * 10 + (*value - '0');
    if (*value != 0 || n < 1 || n > 100) return 1;
    quality = n;
    return 0;
}

FALTRIX_PLUGIN_EXPORT int32_t GetPluginOptionInfo(int32_t index, WCHAR *key, int32_t keyLength,
                                                  WCHAR *values, int32_t valuesLength,
                                                  WCHAR *defaultValue, int32_t defaultLength) {
    if (index != 0) return FALTRIX_OPTION_END;
    Answer("quality", key, keyLength);
    Answer("1..100", values, valuesLength);
    Answer(FAULT == 11 ? "0" : "90", defaultValue, defaultLength); /* 0: "not set" */
    return FALTRIX_OPTION_INTEGER;
}

/* Opens path (ASCII and UTF-8 names only) and reads the P6 header; NULL on failure. */
static FILE *OpenPpm(const WCHAR *path, const char *mode, int32_t *width, int32_t *height) {
    char name[4096];
    size_t n = 0;
    for (; path[n] != 0 && n < sizeof name - 1; ++n) name[n] = (char)path[n];
    name[n] = 0;
    FILE *file = fopen(name, mode);
    if (file == NULL || width == NULL) return file;
    int maxval = 0;
    if (fscanf(file, "P6 %d %d %d", width, height, &maxval) != 3 || fgetc(file) == EOF ||
        maxval != 255 || *width < 1 || *height < 1 || *width > 4096 || *height > 4096) {
        fclose(file);
        return NULL;
    }
    return file;
}

#ifdef BROKEN_OUTPUT
/* An XMP packet of one line, stored as a comment of the next picture. */
static _Thread_local char xmp[512];

FALTRIX_PLUGIN_EXPORT int32_t SetPictureMetadata(const char *key, const void *bytes, int32_t size) {
    if (key == NULL) return xmp[0] = 0;
    if (strcmp(key, FALTRIX_METADATA_XMP) != 0 || size < 1 || size >= (int32_t)sizeof xmp ||
        memchr(bytes, '\n', (size_t)size) != NULL)
        return 1;
    memcpy(xmp, bytes, (size_t)size);
    xmp[FAULT == 12 ? 0 : size] = 0;
    return 0;
}

FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t r1, int32_t r2,
                                             ProgressCallbackFn progress, int32_t data) {
    (void)r1, (void)r2, (void)progress, (void)data;
#if FAULT == 3
    (void)dc, (void)path, (void)OpenPpm, (void)Fail;
    return 0;
#else
    BITMAP picture;
    if (GetObjectW(GetCurrentObject(dc, OBJ_BITMAP), sizeof picture, &picture) != sizeof picture)
        return Fail("no picture");
#if FAULT == 10
    DIBSECTION host;
    GetObjectW(GetCurrentObject(dc, OBJ_BITMAP), sizeof host, &host);
    unsigned char *bgr = host.dsBm.bmBits;
    for (size_t i = 0; host.dsBmih.biBitCount == 24 && i + 3 <= host.dsBmih.biSizeImage; i += 3) {
        const unsigned char blue = bgr[i];
        bgr[i] = bgr[i + 2], bgr[i + 2] = blue;
    }
#endif
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), picture.bmWidth, -picture.bmHeight, 1, 24, BI_RGB,
                        0, 0, 0, 0, 0},
                       {{0, 0, 0, 0}}};
    void *bits = NULL;
    HBITMAP copy = CreateDIBSection(NULL, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HDC copyDc = CreateCompatibleDC(dc);
    SelectObject(copyDc, copy);
    BitBlt(copyDc, 0, 0, picture.bmWidth, picture.bmHeight, dc, 0, 0, SRCCOPY);
    WCHAR target[4096];
    size_t n = 0;
    for (; path[n] != 0 && n < 4090; ++n) target[n] = path[n];
#if FAULT == 4
    memcpy(target + n, u".part", 6 * sizeof(WCHAR)); /* its own temporary */
#else
    target[n] = 0;
#endif
    FILE *file = OpenPpm(target, "wb", NULL, NULL);
    const size_t stride = ((size_t)picture.bmWidth * 3 + 3) / 4 * 4;
    int ok = file != NULL && fprintf(file, "P6\n# quality %d %s\n%d %d\n255\n", quality, xmp,
                                     picture.bmWidth, picture.bmHeight) > 0;
    for (int32_t y = 0; ok && y < picture.bmHeight; ++y) {
        for (int32_t x = 0; ok && x < picture.bmWidth; ++x) {
            const unsigned char *bgr = (const unsigned char *)bits + y * stride + 3 * x;
            ok = fputc(bgr[2], file) != EOF && fputc(bgr[1], file) != EOF &&
                 fputc(bgr[0], file) != EOF;
        }
    }
    if (file != NULL) ok = fclose(file) == 0 && ok;
    DeleteDC(copyDc);
    DeleteObject(copy);
#if FAULT == 4
    char from[4096], to[4096];
    for (size_t i = 0; i <= n + 5; ++i) from[i] = (char)target[i], to[i] = (char)target[i];
    to[n] = 0;
    ok = ok && rename(from, to) == 0;
#endif
    return ok ? 0 : Fail("the file could not be written");
#endif
}
#else
FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t r1, int32_t r2) {
    (void)r1, (void)r2;
    int32_t width, height;
    FILE *file = OpenPpm(path, "rb", &width, &height);
    if (file != NULL) fclose(file);
    if (FAULT == 13 && file == NULL) exit(3);
    return file != NULL;
}

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t r1, int32_t r2,
                                             PictureInfo *info) {
    (void)r1, (void)r2;
    FILE *file = OpenPpm(path, "rb", &info->width, &info->height);
    if (file == NULL) return Fail("not a P6 file");
    fclose(file);
    return 0;
}

#if FAULT == 6
static unsigned char *rows; /* every thread's decoding at once */
static int32_t done;
#endif

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t r1, int32_t r2,
                                            ProgressCallbackFn progress, int32_t data,
                                            DibAllocCallbackFn alloc) {
    (void)r1, (void)r2;
    int32_t width, height;
    FILE *file = OpenPpm(path, "rb", &width, &height);
    if (file == NULL) return Fail("not a P6 file"), NULL;
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 24, BI_RGB, 0, 0, 0, 0, 0},
                       {{0, 0, 0, 0}}};
    unsigned char *bits = NULL;
    HBITMAP bitmap = alloc(NULL, &info, DIB_RGB_COLORS, (void **)&bits, NULL, 0);
    const size_t stride = ((size_t)width * 3 + 3) / 4 * 4, size = (size_t)width * 3;
#if FAULT != 6
    unsigned char *rows = malloc(size * (size_t)height);
    int32_t done = 0;
#else
    rows = malloc(size * (size_t)height);
    done = 0;
#endif
    for (; bitmap != NULL && done < height; ++done) {
        const unsigned char *row = rows + (size_t)done * size;
        if (fread(rows + (size_t)done * size, 1, size, file) != size) row = NULL;
#if FAULT != 5
        if (row == NULL) break;
#endif
        for (int32_t x = 0; x < width; ++x) { /* R, G, B to B, G, R */
            unsigned char *to = bits + (size_t)done * stride + 3 * x;
            to[0] = row[3 * x + 2], to[1] = row[3 * x + 1], to[2] = row[3 * x];
        }
        progress(FAULT == 9 ? done + 2 : done + 1, height, data);
    }
    const int complete = done == height;
    free(rows);
    rows = NULL;
    fclose(file);
    if (!complete && bitmap != NULL) DeleteObject(bitmap);
    return complete ? bitmap : (Fail("the file ends early"), NULL);
}

#if FAULT == 14
/* One frame of a P6 file of 12-bit samples, two bytes each. */
typedef struct Frames {
    FILE *file;
    int32_t width, height;
} Frames;

FALTRIX_PLUGIN_EXPORT int32_t OpenFrames(const WCHAR *path, FrameSequenceInfo *info,
                                         void **reader) {
    char name[4096];
    size_t n = 0;
    for (; path[n] != 0 && n < sizeof name - 1; ++n) name[n] = (char)path[n];
    name[n] = 0;
    Frames f = {fopen(name, "rb"), 0, 0};
    int maxval = 0, c = 0;
    if (f.file != NULL && fscanf(f.file, "P6 ") == 0 && (c = fgetc(f.file)) == '#')
        while ((c = fgetc(f.file)) != EOF && c != '\n') {} /* one comment line */
    else if (c != EOF) ungetc(c, f.file);
    if (f.file == NULL || fscanf(f.file, "%d %d %d", &f.width, &f.height, &maxval) != 3 ||
        fgetc(f.file) == EOF || maxval != 4095 || f.width < 1 || f.height < 1 || f.width > 4096 ||
        f.height > 4096 || (*reader = malloc(sizeof f)) == NULL) {
        if (f.file != NULL) fclose(f.file);
        return Fail("not a P6 file of 12 bits");
    }
    *(Frames *)*reader = f;
    *info = (FrameSequenceInfo){info->size, f.width, f.height, 1, 1, FALTRIX_FRAMES_PAGES, 12, {0}};
    return 0;
}

/* The next row's samples as read, 0..4095; 0 when the file ends. */
static int ReadRow(Frames *f, uint16_t *samples) {
    for (int32_t i = 0; i < f->width * 3; ++i) {
        const int high = fgetc(f->file), low = fgetc(f->file);
        if (low == EOF) return 0;
        samples[i] = (uint16_t)(high << 8 | low);
    }
    return 1;
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetFrameDIB(void *reader, int32_t index, FrameInfo *frame,
                                          ProgressCallbackFn progress, int32_t data,
                                          DibAllocCallbackFn alloc) {
    (void)index, (void)frame, (void)progress, (void)data;
    Frames *f = reader;
    BITMAPINFO info = {
        {sizeof(BITMAPINFOHEADER), f->width, -f->height, 1, 24, BI_RGB, 0, 0, 0, 0, 0},
        {{0, 0, 0, 0}}};
    unsigned char *bits = NULL;
    HBITMAP bitmap = alloc(NULL, &info, DIB_RGB_COLORS, (void **)&bits, NULL, 0);
    uint16_t row[3 * 4096];
    for (int32_t y = 0; bitmap != NULL && y < f->height; ++y) {
        if (!ReadRow(f, row)) return DeleteObject(bitmap), Fail("the file ends early"), NULL;
        for (int32_t i = 0; i < 3 * f->width; ++i) /* R, G, B to B, G, R */
            bits[(size_t)y * (((size_t)f->width * 3 + 3) / 4 * 4) + i + 2 - 2 * (i % 3)] =
                (unsigned char)((row[i] * 255 + 2047) / 4095);
    }
    return bitmap;
}

FALTRIX_PLUGIN_EXPORT int32_t GetFrameSamples(void *reader, int32_t index, FrameInfo *frame,
                                              SamplePicture *picture, ProgressCallbackFn progress,
                                              int32_t data, SampleAllocCallbackFn alloc) {
    (void)index, (void)frame, (void)progress, (void)data;
    Frames *f = reader;
    picture->channels = 3, picture->bits = 16, picture->significantBits = 12;
    char *samples = alloc(picture);
    for (int32_t y = 0; samples != NULL && y < f->height; ++y) /* left at 0..4095 */
        if (!ReadRow(f, (uint16_t *)(samples + y * picture->stride)))
            return Fail("the file ends early");
    return samples != NULL ? 0 : Fail("no memory");
}

FALTRIX_PLUGIN_EXPORT void CloseFrames(void *reader) {
    fclose(((Frames *)reader)->file);
    free(reader);
}
#endif
#endif
