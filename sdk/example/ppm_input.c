/*
 * An example input plug-in: reads binary PPM (P6, colour) and PGM (P5, grey) pictures of up to
 * 16 bits per sample (a maximum value of 1 to 65535; above 255 each sample takes two bytes, the
 * most significant first).
 *
 * It shows what every input plug-in does: answer GetPluginInfo, judge a file by its content in
 * IsSupported, give the size from the header alone in GetPictureInfo, and decode into a DIB
 * section of the host's allocator in GetPictureDIB. The header is read as hostile: numbers are
 * bounded while they are read, the size is checked against the host's limits before anything
 * is allocated, and a file that ends early is a failure, never a picture with a grey tail.
 * A failure keeps its cause for the optional GetLastFailureText, which the host asks right
 * after the failed call on the same thread.
 * It takes one option through the optional SetPluginOption, "grey-palette": a PGM becomes an
 * 8-bit picture with a grey colour table (1, the default) or a 24-bit one (0), and describes
 * it through the optional GetPluginOptionInfo.
 * A Netpbm file may hold several pictures one after another (ppm_output.c writes animations and
 * documents that way). Through the optional frame calls each is a page; through the optional
 * GetPictureMetadata the host learns how many there are. A file of more than 8 bits per sample
 * gives its frames at full depth through the optional GetFrameSamples, and tells its depth with
 * the "bits-per-sample" item, as the DIB holds 8.
 *
 * Nothing here is global but the option and each thread's failure cause, so the host may call
 * it from the dialog's thread and a job thread at once. Builds from sdk/include and
 * libfaltrix_gdi.so alone: see Makefile and CMakeLists.txt beside this file.
 */
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "faltrix/plugin.h"

/* The frame calls and GetPluginOptionInfo came with 1.1, deep samples with 1.2; everything
 * else used here is in 1.0. */
#if !defined(FALTRIX_PLUGIN_API_VERSION)
#error "needs faltrix/plugin.h 1.2 or later"
#elif FALTRIX_PLUGIN_API_VERSION < FALTRIX_PLUGIN_API(1, 2)
#error "needs faltrix/plugin.h 1.2 or later"
#endif

/* Copies text into the host's buffer of length units, cut to fit and NUL-terminated; returns
 * the number of units written without the NUL. */
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
    case FALTRIX_INFO_TAG: return Answer(FALTRIX_INPUT_TAG, buffer, bufferLength);
    case FALTRIX_INFO_DESCRIPTION:
        return Answer(u"PPM and PGM pictures (SDK example)", buffer, bufferLength);
    case 2: return Answer(u"*.ppm;*.pgm;*.pnm", buffer, bufferLength);
    case 3:
        return Answer(u"Portable pixmap and graymap (*.ppm, *.pgm, *.pnm)", buffer, bufferLength);
    default: return 0;
    }
}

/* The cause of the calling thread's last failure. */
static _Thread_local char lastFailure[256];

/* Keeps the cause, formatted as printf does; answers 0, so that `return Fail(...)` fails a
 * function that answers 1 for success. */
static int Fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
static int Fail(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(lastFailure, sizeof lastFailure, format, arguments);
    va_end(arguments);
    return 0;
}

/* The cause as UTF-16; bytes outside ASCII (the system's words in another language) are shown
 * as '?' here, where a real plug-in would convert UTF-8. */
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

/* Nothing to configure in a dialog: 1 tells the host that nothing changed. */
FALTRIX_PLUGIN_EXPORT int32_t ConfigurationDlg(HWND parent, int32_t reserved) {
    (void)parent;
    (void)reserved;
    return 1;
}

/* The session's "grey-palette" option. The host sets options before the calls they affect and
 * never during them, so a plain variable will do. */
static int greyPalette = 1;

FALTRIX_PLUGIN_EXPORT int32_t SetPluginOption(const WCHAR *name, const WCHAR *value) {
    static const WCHAR known[] = u"grey-palette";
    if (name == NULL || value == NULL) return 1;
    for (size_t i = 0; i < sizeof known / sizeof known[0]; ++i)
        if (name[i] != known[i]) return 1;
    if ((value[0] != '0' && value[0] != '1') || value[1] != 0) return 1;
    greyPalette = value[0] == '1';
    return 0;
}

FALTRIX_PLUGIN_EXPORT int32_t GetPluginOptionInfo(int32_t index, WCHAR *key, int32_t keyLength,
                                                  WCHAR *values, int32_t valuesLength,
                                                  WCHAR *defaultValue, int32_t defaultLength) {
    if (index != 0) return FALTRIX_OPTION_END;
    Answer(u"grey-palette", key, keyLength);
    Answer(u"0|1", values, valuesLength);
    Answer(u"1", defaultValue, defaultLength);
    return FALTRIX_OPTION_FLAG;
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

/* One picture's header. */
typedef struct Header {
    int channels; /* 1 for P5 (grey), 3 for P6 (R, G, B) */
    int32_t width, height;
    int maxval;  /* 1..65535: the sample value that stands for full intensity */
    long pixels; /* where the samples start in the file */
} Header;

/* Skips whitespace and comments ('#' to the end of the line). Answers the next byte, or EOF. */
static int SkipSpace(FILE *file) {
    int c;
    while ((c = fgetc(file)) != EOF) {
        if (c == '#') {
            while ((c = fgetc(file)) != EOF && c != '\n' && c != '\r') {}
        } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') {
            break;
        }
    }
    return c;
}

/* Reads a decimal number of the header, at most `limit`, refusing anything larger while it is
 * read (a hostile header's digits never overflow). Answers 1, or 0 with the cause kept. */
static int ReadNumber(FILE *file, const char *what, long limit, long *value) {
    int c = SkipSpace(file);
    if (c < '0' || c > '9') return Fail("the header has no %s", what);
    *value = 0;
    for (; c >= '0' && c <= '9'; c = fgetc(file)) {
        *value = *value * 10 + (c - '0');
        if (*value > limit) return Fail("the %s is larger than %ld", what, limit);
    }
    /* One whitespace character ends the number; after the maximum value it is the last byte
     * before the samples, so it is consumed here and nothing more. */
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f')
        return Fail("the %s is not followed by a space or a line break", what);
    return 1;
}

/* Reads the header at the file's position; answers 1, or 0 with the cause kept. The size is
 * checked against the host's limits, so that no later allocation can overflow. */
static int ReadHeader(FILE *file, Header *header) {
    const int p = fgetc(file), kind = fgetc(file);
    if (p != 'P' || (kind != '5' && kind != '6')) return Fail("not a binary PPM or PGM file");
    header->channels = kind == '5' ? 1 : 3;
    long width, height, maxval;
    if (!ReadNumber(file, "width", FALTRIX_MAX_PICTURE_SIDE, &width) ||
        !ReadNumber(file, "height", FALTRIX_MAX_PICTURE_SIDE, &height) ||
        !ReadNumber(file, "maximum value", 65535, &maxval))
        return 0;
    if (width == 0 || height == 0) return Fail("the picture is %ld x %ld pixels", width, height);
    if ((uint64_t)width * (uint64_t)height > FALTRIX_MAX_PICTURE_PIXELS)
        return Fail("%ld x %ld pixels is more than this plug-in reads", width, height);
    if (maxval == 0) return Fail("the maximum value is 0");
    header->width = (int32_t)width;
    header->height = (int32_t)height;
    header->maxval = (int)maxval;
    header->pixels = ftell(file);
    return header->pixels >= 0 ? 1 : Fail("the file cannot be positioned");
}

/* Opens path and reads the first picture's header; NULL, with the cause kept, on failure. */
static FILE *OpenPicture(const WCHAR *path, Header *header) {
    char *name = path != NULL ? PathBytes(path) : NULL;
    if (name == NULL) {
        Fail("the path names no file (a lone surrogate outside U+DC80..U+DCFF)");
        return NULL;
    }
    errno = 0;
    FILE *file = fopen(name, "rb");
    free(name);
    if (file == NULL) {
        Fail("%s", errno != 0 ? strerror(errno) : "the file cannot be opened");
        return NULL;
    }
    if (!ReadHeader(file, header)) {
        fclose(file);
        return NULL;
    }
    return file;
}

/* Nonzero when the file starts as a binary PPM or PGM file does. A header this plug-in cannot
 * read (a hostile size, a maximum value of 0) is still taken here, so that GetPictureInfo tells the
 * user why rather than the host saying that no plug-in knows the file. */
FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t reserved1, int32_t reserved2) {
    (void)reserved1;
    (void)reserved2;
    char *name = path != NULL ? PathBytes(path) : NULL;
    FILE *file = name != NULL ? fopen(name, "rb") : NULL;
    free(name);
    unsigned char magic[2] = {0, 0};
    const int read = file != NULL && fread(magic, 1, 2, file) == 2;
    if (file != NULL) fclose(file);
    return read && magic[0] == 'P' && (magic[1] == '5' || magic[1] == '6');
}

FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t reserved1,
                                             int32_t reserved2, PictureInfo *info) {
    (void)reserved1;
    (void)reserved2;
    Header header;
    FILE *file = OpenPicture(path, &header);
    if (file == NULL || info == NULL) {
        if (file != NULL) fclose(file);
        return 1;
    }
    fclose(file);
    info->width = header.width;
    info->height = header.height;
    return 0;
}

/* The bits a sample of the header's maximum value needs: 1..16. */
static int SampleBits(const Header *header) {
    int bits = 1;
    while ((1L << bits) - 1 < header->maxval) ++bits;
    return bits;
}

/* One row of samples as read (bytes) and as numbers (values), allocated for a header. */
typedef struct Row {
    unsigned char *bytes;
    uint16_t *values;
    size_t count; /* samples in a row: width x channels */
} Row;

static int MakeRow(const Header *header, Row *row) {
    row->count = (size_t)header->width * (size_t)header->channels;
    row->bytes = malloc(row->count * 2);
    row->values = malloc(row->count * sizeof *row->values);
    if (row->bytes != NULL && row->values != NULL) return 1;
    free(row->bytes);
    free(row->values);
    return Fail("not enough memory for %d x %d pixels", (int)header->width, (int)header->height);
}

static void FreeRow(Row *row) {
    free(row->bytes);
    free(row->values);
}

/* Reads row y from the file's position into row->values; answers 1, or 0 with the cause kept
 * when the file ends early or a sample is above the maximum value. */
static int ReadRow(FILE *file, const Header *header, int32_t y, Row *row) {
    const int wide = header->maxval > 255;
    const size_t size = row->count << wide;
    if (fread(row->bytes, 1, size, file) != size)
        return Fail("the file ends at row %d of %d", (int)y + 1, (int)header->height);
    for (size_t i = 0; i < row->count; ++i) {
        row->values[i] =
            wide ? (uint16_t)(row->bytes[2 * i] << 8 | row->bytes[2 * i + 1]) : row->bytes[i];
        if (row->values[i] > header->maxval)
            return Fail("a sample of %d above the maximum %d at row %d", row->values[i],
                        header->maxval, (int)y + 1);
    }
    return 1;
}

/* A sample scaled from 0..maxval to 0..top, rounded. */
static uint32_t Scale(uint32_t value, uint32_t maxval, uint32_t top) {
    return (value * top + maxval / 2) / maxval;
}

/* Decodes the picture whose header is `header`, from the file's position at its samples, into
 * a top-down DIB section of alloc's: a grey PGM of 8 bits into 8 bits with a grey colour table
 * when the option asks for it, anything else into 24 bits (deeper samples reduced to 8 bits).
 * NULL, with the cause kept, on failure. */
static HBITMAP Decode(FILE *file, const Header *header, ProgressCallbackFn progress, int32_t data,
                      DibAllocCallbackFn alloc) {
    const int palette = header->channels == 1 && greyPalette && header->maxval <= 255;
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[256];
    } info;
    memset(&info, 0, sizeof info);
    info.header.biSize = sizeof(BITMAPINFOHEADER);
    info.header.biWidth = header->width;
    info.header.biHeight = -header->height; /* rows top-down, as the file stores them */
    info.header.biPlanes = 1;
    info.header.biBitCount = palette ? 8 : 24;
    info.header.biCompression = BI_RGB;
    info.header.biClrUsed = palette ? (DWORD)header->maxval + 1 : 0;
    for (int i = 0; palette && i <= header->maxval; ++i) {
        const BYTE level = (BYTE)Scale((uint32_t)i, (uint32_t)header->maxval, 255);
        info.colours[i] = (RGBQUAD){level, level, level, 0};
    }
    Row row;
    if (!MakeRow(header, &row)) return NULL;
    void *bits = NULL;
    HBITMAP bitmap = alloc(NULL, (const BITMAPINFO *)&info, DIB_RGB_COLORS, &bits, NULL, 0);
    int ok = bitmap != NULL ||
             Fail("not enough memory for %d x %d pixels", (int)header->width, (int)header->height);
    const size_t stride = ((size_t)header->width * info.header.biBitCount + 31) / 32 * 4;
    for (int32_t y = 0; ok && y < header->height; ++y) {
        ok = ReadRow(file, header, y, &row);
        unsigned char *out = (unsigned char *)bits + (size_t)y * stride;
        for (int32_t x = 0; ok && x < header->width; ++x) {
            const uint16_t *in = row.values + (size_t)x * header->channels;
            if (palette) { /* the index is the sample: the colour table scales it */
                out[x] = (unsigned char)in[0];
                continue;
            }
            for (int c = 0; c < 3; ++c) /* R, G, B (or grey three times) to B, G, R */
                out[3 * x + 2 - c] = (unsigned char)Scale(in[header->channels == 3 ? c : 0],
                                                          (uint32_t)header->maxval, 255);
        }
        if (ok && progress != NULL) progress(y + 1, header->height, data);
    }
    FreeRow(&row);
    if (!ok && bitmap != NULL) DeleteObject(bitmap); /* never handed over: still ours */
    return ok ? bitmap : NULL;
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                            ProgressCallbackFn progress, int32_t data,
                                            DibAllocCallbackFn alloc) {
    (void)reserved1;
    (void)reserved2;
    Header header;
    FILE *file = OpenPicture(path, &header);
    if (file == NULL) return NULL;
    HBITMAP bitmap = alloc != NULL ? Decode(file, &header, progress, data, alloc) : NULL;
    fclose(file);
    return bitmap;
}

/* ---- Several pictures in one file: frames (from 1.1 on) -------------------------------- */

/* Everything of one sequence: the file and where each picture's samples start. The host keeps
 * it between the calls, on one thread; nothing is shared with another sequence. */
typedef struct Reader {
    FILE *file;
    int32_t count;
    Header *headers; /* count of them */
} Reader;

/* Finds the pictures of the file after the first (already read into first): each must have
 * the first one's size, as the frames of a sequence share a canvas; what follows the last one
 * that fits is ignored. Answers the headers (free them) and their count in *count. */
static Header *FindPictures(FILE *file, const Header *first, int32_t *count) {
    Header *headers = malloc(sizeof *headers);
    if (headers == NULL) return NULL;
    headers[0] = *first;
    *count = 1;
    for (;;) {
        const Header *last = &headers[*count - 1];
        const long size = (long)last->width * last->height * last->channels << (last->maxval > 255);
        Header next;
        if (*count == FALTRIX_MAX_FRAMES || fseek(file, last->pixels + size, SEEK_SET) != 0) break;
        const int c = SkipSpace(file);
        if (c == EOF || ungetc(c, file) == EOF || !ReadHeader(file, &next)) break;
        /* One canvas, and the same channels and sample size in every frame. */
        if (next.width != first->width || next.height != first->height ||
            next.channels != first->channels || (next.maxval > 255) != (first->maxval > 255))
            break;
        Header *more = realloc(headers, (size_t)(*count + 1) * sizeof *headers);
        if (more == NULL) break;
        headers = more;
        headers[(*count)++] = next;
    }
    lastFailure[0] = 0; /* the end of the pictures is no failure */
    return headers;
}

/* Writes a field of a record the host sized, only when it lies within the host's size. */
#define SET_FIELD(record, field, value)                                       \
    do {                                                                      \
        if ((size_t)(record)->size >=                                         \
            offsetof(__typeof__(*(record)), field) + sizeof((record)->field)) \
            (record)->field = (value);                                        \
    } while (0)

FALTRIX_PLUGIN_EXPORT int32_t OpenFrames(const WCHAR *path, FrameSequenceInfo *info,
                                         void **reader) {
    Header first;
    if (info == NULL || reader == NULL) return !Fail("no sequence to open");
    FILE *file = OpenPicture(path, &first);
    if (file == NULL) return 1;
    Reader *r = malloc(sizeof *r);
    if (r != NULL) r->headers = FindPictures(file, &first, &r->count);
    if (r == NULL || r->headers == NULL) {
        free(r);
        fclose(file);
        return !Fail("not enough memory");
    }
    r->file = file;
    SET_FIELD(info, width, first.width);
    SET_FIELD(info, height, first.height);
    SET_FIELD(info, frameCount, r->count);
    SET_FIELD(info, loopCount, 1);
    SET_FIELD(info, kind, FALTRIX_FRAMES_PAGES); /* a Netpbm file keeps no delays */
    SET_FIELD(info, sampleBits, first.maxval > 255 ? SampleBits(&first) : 0);
    *reader = r;
    return 0;
}

FALTRIX_PLUGIN_EXPORT HBITMAP GetFrameDIB(void *reader, int32_t index, FrameInfo *frame,
                                          ProgressCallbackFn progress, int32_t data,
                                          DibAllocCallbackFn alloc) {
    Reader *r = reader;
    if (r == NULL || index < 0 || index >= r->count || alloc == NULL) {
        Fail("there is no frame %d", (int)index + 1);
        return NULL;
    }
    if (frame != NULL) SET_FIELD(frame, delay, 0);
    if (fseek(r->file, r->headers[index].pixels, SEEK_SET) != 0) {
        Fail("%s", strerror(errno));
        return NULL;
    }
    return Decode(r->file, &r->headers[index], progress, data, alloc);
}

/* From 1.2 on: frame `index` at full depth, each sample scaled from 0..maxval to 0..65535.
 * The host calls it only for a reader whose OpenFrames gave sampleBits 9..16. */
FALTRIX_PLUGIN_EXPORT int32_t GetFrameSamples(void *reader, int32_t index, FrameInfo *frame,
                                              SamplePicture *picture, ProgressCallbackFn progress,
                                              int32_t data, SampleAllocCallbackFn alloc) {
    Reader *r = reader;
    if (r == NULL || index < 0 || index >= r->count || picture == NULL || alloc == NULL)
        return !Fail("there is no frame %d", (int)index + 1);
    const Header *header = &r->headers[index];
    if (header->maxval <= 255) return !Fail("frame %d has 8-bit samples", (int)index + 1);
    if (frame != NULL) SET_FIELD(frame, delay, 0);
    picture->channels = header->channels;
    picture->bits = 16;
    picture->significantBits = SampleBits(header);
    Row row;
    if (fseek(r->file, header->pixels, SEEK_SET) != 0) return !Fail("%s", strerror(errno));
    if (!MakeRow(header, &row)) return 1;
    unsigned char *samples = alloc(picture); /* the host's memory, picture->stride apart */
    int ok = samples != NULL || Fail("the host refused %d channels of 16 bits", header->channels);
    for (int32_t y = 0; ok && y < header->height; ++y) {
        ok = ReadRow(r->file, header, y, &row);
        uint16_t *out = (uint16_t *)(samples + (size_t)y * (size_t)picture->stride);
        for (size_t i = 0; ok && i < row.count; ++i)
            out[i] = (uint16_t)Scale(row.values[i], (uint32_t)header->maxval, 65535);
        if (ok && progress != NULL) progress(y + 1, header->height, data);
    }
    FreeRow(&row);
    return ok ? 0 : 1;
}

FALTRIX_PLUGIN_EXPORT void CloseFrames(void *reader) {
    Reader *r = reader;
    if (r == NULL) return;
    fclose(r->file);
    free(r->headers);
    free(r);
}

/* How many pictures the file holds, when more than one (the host then tells the user that an
 * output without frames keeps the first), and how many bits its samples have, when more than
 * the DIB's 8. */
FALTRIX_PLUGIN_EXPORT int32_t GetPictureMetadata(const WCHAR *path, MetadataSinkFn sink,
                                                 void *context) {
    void *reader = NULL;
    FrameSequenceInfo info;
    memset(&info, 0, sizeof info);
    info.size = sizeof info;
    if (sink == NULL || OpenFrames(path, &info, &reader) != 0) return 1;
    char number[16];
    if (info.frameCount > 1) {
        const int n = snprintf(number, sizeof number, "%d", (int)info.frameCount);
        sink(context, FALTRIX_METADATA_FRAMES, number, n);
    }
    if (info.sampleBits > 8) { /* the DIB holds 8 of them */
        const int n = snprintf(number, sizeof number, "%d", (int)info.sampleBits);
        sink(context, FALTRIX_METADATA_BITS_PER_SAMPLE, number, n);
    }
    CloseFrames(reader);
    return 0;
}
