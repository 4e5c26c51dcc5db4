/*
 * An example output plug-in: stores the picture as a binary PPM file (P6: a short text
 * header, then the rows top to bottom, three bytes R, G, B per pixel).
 *
 * It shows what every output plug-in does: answer GetPluginInfo, read the picture selected
 * in the host's DC through the graphics layer, and write the path it is given in place. That
 * path is already a temporary of the host's: the host checks it, syncs it and puts it over
 * the output only after SaveDIBPicture answered 0, and removes it otherwise, so the plug-in
 * makes no temporary of its own, renames nothing and removes nothing.
 * Any depth the host hands over (1 to 32 bits, either row order) is first copied with
 * BitBlt into a 24-bit top-down section of the plug-in's own, which the graphics layer
 * converts; rows are then read top to bottom. A failure keeps its cause for the optional
 * GetLastFailureText, which the host asks right after the failed call on the same thread.
 * It also takes one option through the optional SetPluginOption: "comment", a line of text
 * written into the file's header, and describes it through the optional GetPluginOptionInfo.
 * Through the optional SetPictureMetadata it keeps the
 * picture's XMP packet, as comment lines of the header; a PPM file has no place for a colour
 * profile or an EXIF block, so it refuses those, and the host converts the colours to sRGB.
 * The optional GetStoredColourType tells the host that every picture is stored as colour.
 * Through the optional frame calls it stores every frame of an animation or a document, and
 * through the optional AddFrameSamples pictures deeper than 8 bits, with two bytes a sample.
 *
 * Builds from sdk/include and libfaltrix_gdi.so alone: see Makefile beside this file.
 */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "faltrix/plugin.h"

/* The frame calls and GetPluginOptionInfo came with 1.1, deep samples with 1.2; everything else
 * used here is in 1.0.
 * Headers before the version macro have none of it. */
#if !defined(FALTRIX_PLUGIN_API_VERSION)
#error "needs faltrix/plugin.h 1.2 or later"
#elif FALTRIX_PLUGIN_API_VERSION < FALTRIX_PLUGIN_API(1, 2)
#error "needs faltrix/plugin.h 1.2 or later"
#endif

/* Copies text into the host's buffer of length units, cut to fit and NUL-terminated;
 * returns the number of units written without the NUL. */
static int32_t Answer(const WCHAR *text, WCHAR *buffer, int32_t length) {
    if (buffer == NULL || length <= 0) return 0;
    int32_t n = 0;
    while (text[n] != 0 && n < length - 1) {
        buffer[n] = text[n];
        ++n;
    }
    buffer[n] = 0;
    return n;
}

FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer,
                                            int32_t bufferLength) {
    switch (infoNumber) {
    case FALTRIX_INFO_TAG: return Answer(FALTRIX_OUTPUT_TAG, buffer, bufferLength);
    case FALTRIX_INFO_DESCRIPTION:
        return Answer(u"PPM pictures (SDK example)", buffer, bufferLength);
    case 2: return Answer(u"*.ppm", buffer, bufferLength);
    case 3: return Answer(u"Portable pixmap (*.ppm)", buffer, bufferLength);
    default: return 0;
    }
}

/* The cause of the calling thread's last failure; each SaveDIBPicture starts with none. */
static _Thread_local char lastFailure[256];

/* Keeps cause and answers 1, SaveDIBPicture's failure. */
static int32_t Fail(const char *cause) {
    snprintf(lastFailure, sizeof lastFailure, "%s", cause);
    return 1;
}

/* The cause as UTF-16. The system's words may be in another language: bytes outside ASCII
 * are shown as '?' here, where a real plug-in would convert UTF-8. */
FALTRIX_PLUGIN_EXPORT int32_t GetLastFailureText(WCHAR *buffer, int32_t bufferLength) {
    if (buffer == NULL || bufferLength <= 0) return 0;
    int32_t n = 0;
    for (; lastFailure[n] != 0 && n < bufferLength - 1; ++n) {
        const unsigned char c = (unsigned char)lastFailure[n];
        buffer[n] = c < 0x80 ? c : '?';
    }
    buffer[n] = 0;
    return n;
}

/* Nothing to configure. The host ignores an output plug-in's answer. */
FALTRIX_PLUGIN_EXPORT int32_t ConfigurationDlg(HWND parent, int32_t reserved) {
    (void)parent;
    (void)reserved;
    return 0;
}

/* The session's "comment" option: printable ASCII, empty for none. The host sets options
 * before it asks for a picture to be stored and never during that, so a plain buffer will do. */
static char comment[80];

/* Takes "comment" with a value of at most 79 printable ASCII characters; refuses anything else,
 * keeping the comment it had. */
FALTRIX_PLUGIN_EXPORT int32_t SetPluginOption(const WCHAR *name, const WCHAR *value) {
    static const WCHAR known[] = u"comment";
    size_t n = 0;
    if (name == NULL || value == NULL) return 1;
    for (size_t i = 0; i < sizeof known / sizeof known[0]; ++i)
        if (name[i] != known[i]) return 1;
    while (value[n] != 0 && n < sizeof comment - 1 && value[n] >= 0x20 && value[n] < 0x7F) ++n;
    if (value[n] != 0) return 1; /* too long, or a character the header cannot hold */
    for (size_t i = 0; i <= n; ++i) comment[i] = (char)value[i];
    return 0;
}

/* From 1.1 on: describes the one option, so that faltrix-convert --list-options names it.
 * Answers FALTRIX_OPTION_END past it. */
FALTRIX_PLUGIN_EXPORT int32_t GetPluginOptionInfo(int32_t index, WCHAR *key, int32_t keyLength,
                                                  WCHAR *values, int32_t valuesLength,
                                                  WCHAR *defaultValue, int32_t defaultLength) {
    if (index != 0) return FALTRIX_OPTION_END;
    Answer(u"comment", key, keyLength);
    Answer(u"up to 79 printable ASCII characters", values, valuesLength);
    Answer(u"", defaultValue, defaultLength);
    return FALTRIX_OPTION_TEXT;
}

/* The XMP packet the host set for the picture this thread stores next (malloc()ed), or NULL.
 * The host sets items on the thread that then calls SaveDIBPicture, which consumes them. */
static _Thread_local char *xmpPacket;
static _Thread_local size_t xmpSize;

static void ForgetMetadata(void) {
    free(xmpPacket);
    xmpPacket = NULL;
    xmpSize = 0;
}

/* A NULL key forgets what was set; "xmp" is copied (the bytes are the host's only during the
 * call) and answered 0; every other key, including ones added later, is refused with 1. */
FALTRIX_PLUGIN_EXPORT int32_t SetPictureMetadata(const char *key, const void *bytes, int32_t size) {
    if (key == NULL) {
        ForgetMetadata();
        return 0;
    }
    if (strcmp(key, FALTRIX_METADATA_XMP) != 0 || size < 0 || (bytes == NULL && size > 0)) return 1;
    /* A NUL would end a header line early. */
    if (size > 0 && memchr(bytes, 0, (size_t)size) != NULL) return 1;
    char *copy = malloc((size_t)size + 1);
    if (copy == NULL) return 1;
    if (size > 0) memcpy(copy, bytes, (size_t)size);
    ForgetMetadata();
    xmpPacket = copy;
    xmpSize = (size_t)size;
    return 0;
}

/* P6 holds R, G, B samples whatever the picture: colour for every layout. A plug-in that
 * stores some layouts as grey answers FALTRIX_STORED_GREY for those, judged from info's header
 * and colour table exactly as SaveDIBPicture judges the bitmap it gets. */
FALTRIX_PLUGIN_EXPORT int32_t GetStoredColourType(const BITMAPINFO *info) {
    return info != NULL ? FALTRIX_STORED_COLOUR : FALTRIX_STORED_UNKNOWN;
}

/* The packet as header comments: "# " before each of its lines. */
static int WriteXmpComments(FILE *file) {
    int ok = 1;
    int lineStart = 1;
    for (size_t i = 0; ok && i < xmpSize; ++i) {
        const char c = xmpPacket[i];
        if (lineStart) ok = fputs("# ", file) >= 0;
        lineStart = c == '\n' || c == '\r';
        ok = ok && fputc(lineStart ? '\n' : c, file) != EOF;
    }
    if (ok && !lineStart) ok = fputc('\n', file) != EOF;
    return ok;
}

/* A path to the bytes of the file's name in a new block (free it): UTF-8, with U+DC80..U+DCFF
 * the bytes 0x80..0xFF of a name that is not UTF-8 (see "Paths" in faltrix/plugin.h). NULL for
 * any other unpaired surrogate, or no memory. */
static char *PathBytes(const WCHAR *path) {
    size_t units = 0;
    while (path[units] != 0) ++units;
    char *out = malloc(units * 3 + 1); /* one unit gives at most three bytes */
    if (out == NULL) return NULL;
    char *p = out;
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = path[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && path[i + 1] >= 0xDC00 &&
            path[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (path[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            *p++ = (char)(c - 0xDC00);
            continue;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            free(out);
            return NULL;
        }
        if (c < 0x80) {
            *p++ = (char)c;
        } else if (c < 0x800) {
            *p++ = (char)(0xC0 | (c >> 6));
            *p++ = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *p++ = (char)(0xE0 | (c >> 12));
            *p++ = (char)(0x80 | ((c >> 6) & 0x3F));
            *p++ = (char)(0x80 | (c & 0x3F));
        } else {
            *p++ = (char)(0xF0 | (c >> 18));
            *p++ = (char)(0x80 | ((c >> 12) & 0x3F));
            *p++ = (char)(0x80 | ((c >> 6) & 0x3F));
            *p++ = (char)(0x80 | (c & 0x3F));
        }
    }
    *p = 0;
    return out;
}

/* Writes a P6 header: the comment and the XMP packet as comment lines, the size and the
 * maximum value. Returns 1 when written. */
static int WriteHeader(FILE *file, int32_t width, int32_t height, long maxval) {
    int ok = fprintf(file, "P6\n") > 0;
    if (ok && comment[0] != 0) ok = fprintf(file, "# %s\n", comment) > 0;
    if (ok && xmpPacket != NULL) ok = WriteXmpComments(file);
    return ok && fprintf(file, "%d %d\n%ld\n", (int)width, (int)height, maxval) > 0;
}

/* Writes the rows of the 24-bit top-down copy as P6 into file. Returns 1 when written. */
static int WritePixels(FILE *file, const uint8_t *bits, int32_t width, int32_t height,
                       ProgressCallbackFn progress, int32_t data) {
    const size_t stride = ((size_t)width * 24 + 31) / 32 * 4;
    uint8_t *line = malloc((size_t)width * 3);
    if (line == NULL) return 0;
    int ok = WriteHeader(file, width, height, 255);
    for (int32_t y = 0; ok && y < height; ++y) {
        const uint8_t *row = bits + (size_t)y * stride;
        for (int32_t x = 0; x < width; ++x) { /* B, G, R in the section; R, G, B in the file */
            line[3 * x] = row[3 * x + 2];
            line[3 * x + 1] = row[3 * x + 1];
            line[3 * x + 2] = row[3 * x];
        }
        ok = fwrite(line, 3, (size_t)width, file) == (size_t)width;
        if (progress != NULL) progress(y + 1, height, data);
    }
    free(line);
    return ok;
}

/* Writes the bitmap selected in dc to file as one P6 picture. The DC and its bitmap stay the
 * host's. Returns 1 when written; 0, with the cause kept, otherwise. */
static int WritePicture(HDC dc, FILE *file, ProgressCallbackFn progress, int32_t data) {
    BITMAP picture;
    HGDIOBJ selected = GetCurrentObject(dc, OBJ_BITMAP);
    if (selected == NULL || GetObjectW(selected, sizeof picture, &picture) != (int)sizeof picture)
        return !Fail("no picture is selected to store");

    /* Our own 24-bit top-down copy: BitBlt converts whatever depth the host has. */
    BITMAPINFO info;
    memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = picture.bmWidth;
    info.bmiHeader.biHeight = -picture.bmHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = NULL;
    HBITMAP copy = CreateDIBSection(NULL, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HDC copyDc = CreateCompatibleDC(dc);
    int written = 0;
    if (copy == NULL || copyDc == NULL) {
        Fail("not enough memory");
    } else if (SelectObject(copyDc, copy),
               !BitBlt(copyDc, 0, 0, picture.bmWidth, picture.bmHeight, dc, 0, 0, SRCCOPY)) {
        Fail("the picture could not be copied");
    } else {
        errno = 0;
        written = WritePixels(file, bits, picture.bmWidth, picture.bmHeight, progress, data);
        if (!written) Fail(errno != 0 ? strerror(errno) : "the file could not be written");
    }
    if (copyDc != NULL) DeleteDC(copyDc); /* the DC before the bitmap selected in it */
    if (copy != NULL) DeleteObject(copy);
    return written;
}

/* Opens the host's temporary at path for writing: "wb" truncates the host's empty file rather
 * than making a new one. Null, with the cause kept, when the path names no file or it cannot
 * be opened. */
static FILE *OpenTarget(const WCHAR *path) {
    char *target = path != NULL ? PathBytes(path) : NULL;
    if (target == NULL) {
        Fail("the path names no file (a lone surrogate outside U+DC80..U+DCFF)");
        return NULL;
    }
    errno = 0;
    FILE *file = fopen(target, "wb");
    if (file == NULL) Fail(errno != 0 ? strerror(errno) : "the file could not be opened");
    free(target);
    return file;
}

/* Closes the file; 1 when everything written reached it. Syncing is the host's work, done
 * once it has checked the file. */
static int CloseTarget(FILE *file) {
    errno = 0;
    if (fclose(file) == 0) return 1;
    return !Fail(errno != 0 ? strerror(errno) : "the file could not be written");
}

/* Stores the bitmap selected in dc under path, written in place. Returns 0 when stored; 1
 * when nothing usable is selected, the path names no file, or the file cannot be written
 * (what was written stays for the host to remove). */
FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t reserved1,
                                             int32_t reserved2, ProgressCallbackFn progress,
                                             int32_t data) {
    (void)reserved1;
    (void)reserved2;
    lastFailure[0] = 0;
    FILE *file = OpenTarget(path);
    int stored = file != NULL && WritePicture(dc, file, progress, data);
    if (file != NULL) stored = CloseTarget(file) && stored;
    ForgetMetadata(); /* nothing outlives the picture it was set for */
    return stored ? 0 : 1;
}

/* Frames (from 1.1 on): a Netpbm file may hold several pictures one after another, so an
 * animation or a document is stored as one P6 picture per frame; delays and the loop count
 * have no place in it. The writer holds everything of one sequence, nothing is in globals, so
 * that two threads may write sequences at once. The host calls BeginFrames, AddFrame (or
 * AddFrameSamples) once per frame announced, then EndFrames, all on one thread; after a
 * failure EndFrames(writer, 0) and the host removes the file. */
typedef struct Writer {
    FILE *file;
    int sampleBits; /* 9..16 when the frames come through AddFrameSamples, else 0 */
} Writer;

FALTRIX_PLUGIN_EXPORT int32_t BeginFrames(const WCHAR *path, const FrameSequenceInfo *info,
                                          void **writer) {
    lastFailure[0] = 0;
    if (info == NULL || writer == NULL) return Fail("no sequence to write");
    FILE *file = OpenTarget(path);
    Writer *w = file != NULL ? malloc(sizeof *w) : NULL;
    if (w == NULL) {
        if (file != NULL) fclose(file);
        return file != NULL ? Fail("not enough memory") : 1;
    }
    w->file = file;
    /* A host older than 1.2 knows no sampleBits: its record ends before it. */
    const size_t end = offsetof(FrameSequenceInfo, sampleBits) + sizeof info->sampleBits;
    w->sampleBits = (size_t)info->size >= end ? info->sampleBits : 0;
    *writer = w;
    return 0;
}

FALTRIX_PLUGIN_EXPORT int32_t AddFrame(void *writer, HDC dc, const FrameInfo *frame,
                                       ProgressCallbackFn progress, int32_t data) {
    (void)frame; /* its delay has no place in a PPM file */
    lastFailure[0] = 0;
    return WritePicture(dc, ((Writer *)writer)->file, progress, data) ? 0 : 1;
}

/* One 16-bit sample scaled to 0..top, rounded. */
static uint32_t Reduce(uint32_t sample, uint32_t top) { return (sample * top + 32767) / 65535; }

/* From 1.2 on: stores a deep frame as a P6 picture of the sequence's depth, two bytes a
 * sample, the most significant first. Grey is written as three equal samples; a picture with
 * alpha is put on white, as PPM has no transparency. */
FALTRIX_PLUGIN_EXPORT int32_t AddFrameSamples(void *writer, const SamplePicture *picture,
                                              const FrameInfo *frame, ProgressCallbackFn progress,
                                              int32_t data) {
    (void)frame;
    lastFailure[0] = 0;
    Writer *w = writer;
    if (w == NULL || w->sampleBits < 9 || w->sampleBits > 16 || picture == NULL ||
        picture->channels < 1 || picture->channels > 4 || picture->bits != 16)
        return Fail("no deep picture to store");
    const uint32_t top = (1u << w->sampleBits) - 1;
    const int channels = picture->channels, alpha = channels % 2 == 0;
    unsigned char *line = malloc((size_t)picture->width * 6);
    int ok = line != NULL ? WriteHeader(w->file, picture->width, picture->height, (long)top)
                          : !Fail("not enough memory");
    for (int32_t y = 0; ok && y < picture->height; ++y) {
        const uint16_t *row = (const uint16_t *)((const char *)picture->data + y * picture->stride);
        for (int32_t x = 0; x < picture->width; ++x) {
            const uint16_t *pixel = row + (size_t)x * channels;
            const uint32_t a = alpha ? pixel[channels - 1] : 65535;
            for (int c = 0; c < 3; ++c) { /* on white: c * a + 65535 * (1 - a) */
                const uint32_t value = pixel[channels >= 3 ? c : 0];
                const uint32_t flat = (value * a + 65535u * (65535u - a) + 32767) / 65535;
                const uint32_t stored = Reduce(flat, top);
                line[6 * x + 2 * c] = (unsigned char)(stored >> 8);
                line[6 * x + 2 * c + 1] = (unsigned char)stored;
            }
        }
        ok = fwrite(line, 6, (size_t)picture->width, w->file) == (size_t)picture->width;
        if (!ok) Fail(strerror(errno));
        if (progress != NULL) progress(y + 1, picture->height, data);
    }
    free(line);
    return ok ? 0 : 1;
}

FALTRIX_PLUGIN_EXPORT int32_t EndFrames(void *writer, int32_t complete) {
    lastFailure[0] = 0;
    Writer *w = writer;
    const int closed = CloseTarget(w->file);
    free(w);
    ForgetMetadata();
    return complete && closed ? 0 : 1;
}
