/*
 * faltrix/plugin.h -- what a Faltrix plug-in implements.
 *
 * A plug-in is a shared library NAME.so in plugins/input/ (it decodes picture files) or
 * plugins/output/ (it encodes and stores pictures), in the folder of the Faltrix executable.
 * It exports plain C functions, the entry points below, and links libfaltrix_gdi.so for the
 * graphics calls of faltrix/gdi.h. Build it with hidden visibility and mark the entry points
 * with FALTRIX_PLUGIN_EXPORT so that nothing else is exported.
 *
 * The order in which the host calls a plug-in:
 *
 *   1. Scan, when a program starts: every NAME.so of the folder that is a regular file is
 *      examined in a helper process (faltrix-plugin-probe), never in the program itself: it is
 *      loaded and asked GetPluginInfo(0, ...) for its type tag. Only a library whose tag is
 *      exactly "00IN_EX" (input folder) or "00OUT_EX" (output folder) is taken.
 *   2. Description and patterns, in the same helper right after the tag: GetPluginInfo(1, ...),
 *      the text the user sees in the plug-in list, then (2, ...), (3, ...), (4, ...) ... for
 *      the file-name patterns that the file chooser and the output-name matching use. The
 *      answers are kept with the verdict, in the user's cache folder, until the library's file
 *      changes; a library that crashes, hangs (5 s) or writes past a buffer while being asked
 *      is refused. So answer the same texts every time, and keep them within their buffers.
 *      A folder that other users may write (group or others, without the sticky bit) is not
 *      read at all.
 *   3. The user's choice: at most one plug-in of each folder is loaded at a time. Choosing
 *      another unloads the current one.
 *   4. File chooser: it shows the patterns of step 2; the plug-in is not asked again.
 *   5. A conversion, on a job thread: IsSupported -> GetPictureInfo -> GetPictureDIB on the
 *      input plug-in, then SaveDIBPicture on the output plug-in. A preview makes the same
 *      three input calls on a job thread of its own.
 *   6. ConfigurationDlg when the user presses the plug-in's "Detail" button (dialog thread).
 *   7. After GetPictureInfo, GetPictureDIB or SaveDIBPicture failed: GetLastFailureText, on
 *      the same thread, when the plug-in exports it (see "Optional entry points").
 *   8. What the picture holds besides its pixels, when the plug-ins export the optional calls
 *      for it: GetPictureMetadata on the input plug-in right after a successful GetPictureDIB,
 *      then SetPictureMetadata on the output plug-in (once with a null key, then once per
 *      item, with GetStoredColourType asked before the profile) right before SaveDIBPicture,
 *      all on the job's thread. When SaveDIBPicture fails after items were set, the host
 *      clears them (null key) and calls it once more, with a fresh temporary.
 *   9. Frames (animations, pages), when the plug-ins export the optional calls for them
 *      (see "frames" below): OpenFrames, GetFrameDIB per frame and CloseFrames take the place
 *      of GetPictureDIB, and BeginFrames, AddFrame per frame and EndFrames the place of
 *      SaveDIBPicture when more than one frame is stored. GetPictureMetadata then follows the
 *      reader's first GetFrameDIB that returned a bitmap.
 *  10. Deep samples (more than 8 bits), when both plug-ins export the calls for them (see
 *      "deep samples" below): GetFrameSamples and AddFrameSamples take the place of
 *      GetFrameDIB and AddFrame for every frame, a single picture included.
 *  11. Frames at a size (pictures drawn from vectors), when the input plug-in exports
 *      OpenFramesAtSize and the picture is stored at another size than GetPictureInfo gave:
 *      OpenFramesAtSize takes the place of OpenFrames (see "frames at a size" below).
 *
 * Threads: GetPluginInfo, ConfigurationDlg and the size query (GetPictureInfo) come from the
 * dialog's thread; IsSupported, GetPictureInfo, GetPictureDIB, GetPictureMetadata,
 * SetPictureMetadata and SaveDIBPicture from a job thread. A plug-in can be called from both
 * at the same time (a size query while a job decodes), so it must keep no unguarded global
 * state.
 *
 * Text: every string is NUL-terminated UTF-16 (WCHAR). Every buffer length counts WCHAR
 * units, not bytes.
 *
 * Paths: UTF-16 here, bytes on disk. A file name on Linux is any bytes but NUL, nearly always
 * UTF-8 but not always ("caf\xE9.png" from an older system). So that every name reaches the
 * plug-in, a path is its bytes decoded as UTF-8 with each byte that is not part of valid UTF-8
 * given as the lone surrogate U+DC00 + byte: the bytes 0x80..0xFF become U+DC80..U+DCFF, one
 * unit per byte (a sequence cut short, an overlong form, an encoded surrogate such as
 * ED A0 80: each of its bytes alone). To open the file, turn the path back into bytes: pairs
 * and other characters as UTF-8, U+DC80..U+DCFF as the byte 0x80..0xFF. A name in valid UTF-8
 * has no lone surrogate, so a plug-in that handles only such names sees them unchanged. The
 * host never passes a high surrogate alone nor a lone surrogate below U+DC80; treat one as a
 * path that names no file. A plug-in that refuses lone surrogates fails for these files only,
 * and the host tells the user that the name may be why. sdk/example/ppm_output.c shows the
 * conversion.
 *
 * Results: 32-bit signed. The host never throws and a plug-in must not let a C++ exception
 * or a longjmp leave an entry point.
 *
 * Version and additions: FALTRIX_PLUGIN_API_VERSION names the state of this interface. The
 * entry points and records here never change. What is added later is an optional exported
 * function (or a new metadata key), documented here like the rest, that the host looks up by
 * name and does without when a plug-in lacks it: a plug-in built against an older header
 * loads and works unchanged, and a newer plug-in in an older host is simply not asked. Each
 * addition raises the minor number by one and its comment says from which version on it is
 * there; the major number would rise only if an entry point changed, which it does not.
 * Version 1.0 is everything in this header, the optional entry points included, but what is
 * marked "from 1.1 on" (the frames and GetPluginOptionInfo), "from 1.2 on" (deep samples:
 * GetFrameSamples, AddFrameSamples and FrameSequenceInfo.sampleBits) or "from 1.3 on"
 * (OpenFramesAtSize and GetFramesPerFile).
 */
#ifndef FALTRIX_PLUGIN_H
#define FALTRIX_PLUGIN_H

#include <stdint.h>

#include "faltrix/gdi.h"

#ifdef __cplusplus
extern "C" {
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif

#ifdef __cplusplus
#define FALTRIX_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define FALTRIX_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

/* The interface's version: FALTRIX_PLUGIN_API(major, minor), comparable with < and >, so that
 * a plug-in can insist on the additions it uses:
 *   #if FALTRIX_PLUGIN_API_VERSION < FALTRIX_PLUGIN_API(1, 0)
 *   #error "needs faltrix/plugin.h 1.0 or later"
 *   #endif */
#define FALTRIX_PLUGIN_API(major, minor) (((major) << 16) | (minor))
#define FALTRIX_PLUGIN_API_VERSION_MAJOR 1
#define FALTRIX_PLUGIN_API_VERSION_MINOR 3
#define FALTRIX_PLUGIN_API_VERSION \
    FALTRIX_PLUGIN_API(FALTRIX_PLUGIN_API_VERSION_MAJOR, FALTRIX_PLUGIN_API_VERSION_MINOR)

/* The type tags, answers to GetPluginInfo(0, ...). */
#define FALTRIX_INPUT_TAG u"00IN_EX"
#define FALTRIX_OUTPUT_TAG u"00OUT_EX"

/* Information numbers of GetPluginInfo. */
#define FALTRIX_INFO_TAG 0         /* the type tag */
#define FALTRIX_INFO_DESCRIPTION 1 /* the description shown in the plug-in list */
/* 2n (n = 1, 2, ...): the n-th file-name pattern, e.g. u"*.png" or u"*.jpg;*.jpeg";
 * 2n + 1: the description of the n-th pattern, e.g. u"PNG pictures". The first even number
 * answered with 0 ends the list; at most 64 patterns are asked. */

/* The record GetPictureInfo fills: 28 bytes. The host reads only width and height, and only
 * after GetPictureInfo returned 0; the rest is the plug-in's own. */
typedef struct PictureInfo {
    uint8_t pluginOwn0[8];
    int32_t width;  /* pixels, as the picture is shown (after any orientation the file asks for) */
    int32_t height; /* pixels */
    uint8_t pluginOwn1[12];
} PictureInfo;

/* The largest picture the bundled input plug-ins read: at most FALTRIX_MAX_PICTURE_PIXELS
 * pixels (2^28, about 16384 x 16384) and no side over FALTRIX_MAX_PICTURE_SIDE. The host
 * refuses to resize a picture to more than this, since no bundled plug-in could read the
 * result back; a plug-in may refuse larger pictures by the same numbers. */
#define FALTRIX_MAX_PICTURE_PIXELS (UINT64_C(1) << 28)
#define FALTRIX_MAX_PICTURE_SIDE ((INT64_C(1) << 20) - 1)

/* Progress report: done units of total are finished. The host shows done * 100 / total
 * percent (0 when total is 0) and always returns 1; data is passed back as the plug-in got
 * it. Cheap enough to call once per row or even per pixel. Called on the thread that
 * received it. */
typedef int32_t (*ProgressCallbackFn)(int32_t done, int32_t total, int32_t data);

/* The host's bitmap allocator, handed to GetPictureDIB: it passes its arguments unchanged to
 * CreateDIBSection (see gdi.h) and returns what that returns. */
typedef HBITMAP (*DibAllocCallbackFn)(HDC hdc, const BITMAPINFO *pbmi, uint32_t usage,
                                      void **ppvBits, HANDLE hSection, uint32_t offset);

/* ---- Entry points of both kinds -------------------------------------------------------- */

/* Writes information number infoNumber as a NUL-terminated string into buffer, which holds
 * bufferLength WCHAR units (256 for the tag and the description, 1024 for patterns).
 * Returns the number of units written, not counting the NUL; 0 when the plug-in has no
 * information of that number. The host clamps a longer answer to the buffer and terminates
 * it, but the answer must equal the length of the text written: the file chooser advances by
 * it. The buffer is the host's and valid only during the call; a write past its end refuses
 * the plug-in. [the examining helper's only thread; the programs may still ask the current
 * plug-in on the dialog's thread] */
typedef int32_t (*GetPluginInfoFn)(int32_t infoNumber, WCHAR *buffer, int32_t bufferLength);

/* Shows the plug-in's own settings dialog, modal, with parent (a QWidget*) as its parent;
 * the second argument is always 0. Settings last for the session. An input plug-in answers 0
 * when the user confirmed (the host then re-reads the picture's size); the host ignores an
 * output plug-in's answer. [dialog thread, never while a job runs] */
typedef int32_t (*ConfigurationDlgFn)(HWND parent, int32_t reserved);

/* ---- Input plug-ins ("00IN_EX") -------------------------------------------------------- */

/* Nonzero when the plug-in can read the file, judged by its content; 0 when it cannot. The
 * two integers are always 0. path: the file, lone surrogates U+DC80..U+DCFF standing for the
 * bytes of a name that is not UTF-8 (see "Paths" above); the same in every call that takes a
 * path. [job thread] */
typedef int32_t (*IsSupportedFn)(const WCHAR *path, int32_t reserved1, int32_t reserved2);

/* Fills info's width and height from the file's header, without decoding the pixels.
 * Returns 0 on success, anything else on failure. Writes no more than sizeof(PictureInfo)
 * bytes; the record is the host's and is not cleared before the call.
 * [dialog thread and job thread, possibly at once] */
typedef int32_t (*GetPictureInfoFn)(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                    PictureInfo *info);

/* Never called by the host; a plug-in may export it with any arguments. */
typedef int32_t (*GetPictureFn)(void);

/* Decodes the file into a DIB section and returns it; null on failure. Allocate the section
 * with alloc (or CreateDIBSection: the same thing). From the moment it is returned the bitmap
 * belongs to the host, which deletes it: the plug-in neither keeps nor deletes it. Report
 * progress with progress(done, total, data) as rows are decoded. [job thread] */
typedef HBITMAP (*GetPictureDIBFn)(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                   ProgressCallbackFn progress, int32_t data,
                                   DibAllocCallbackFn alloc);

/* ---- Output plug-ins ("00OUT_EX") ------------------------------------------------------ */

/* Encodes the bitmap selected in the memory device context dc (read it with
 * GetCurrentObject(dc, OBJ_BITMAP) and GetObjectW) and stores it under path. The DC and the
 * bitmap stay the host's: do not select anything into the DC or delete either. Any depth
 * (1, 4, 8, 16, 24, 32 bits) and either row order may arrive. Returns 0 when stored, anything
 * else on failure; the host reads nothing more into the number, so give the cause through
 * GetLastFailureText. path is a temporary file of the host's, already there and empty, in the
 * output's folder and with the output's extension: write it in place. Its folder's bytes may
 * be escaped as U+DC80..U+DCFF (see "Paths" above). The host puts it over
 * the output only after a 0, once it has checked that the file is not empty and has synced
 * it, and removes it otherwise, so the plug-in need not protect an existing output itself.
 * The host reports 0% before and 100% after the call. [job thread] */
typedef int32_t (*SaveDIBPictureFn)(HDC dc, const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                    ProgressCallbackFn progress, int32_t data);

/* ---- Optional entry points ------------------------------------------------------------
 * A plug-in may leave any of these out; the host then behaves as it did before they existed.
 * The host binds each one by name, like the entry points above. */

/* Writes the cause of the last call that failed on the calling thread, in words for the user
 * ("No space left on device", "truncated JPEG data at row 1234"), as a NUL-terminated string
 * into buffer, which holds bufferLength WCHAR units (512). Returns the number of units
 * written, not counting the NUL; 0 when no cause is known. The host asks right after
 * GetPictureInfo, GetPictureDIB or SaveDIBPicture failed, or SetPictureMetadata refused an
 * item (then for the reason, see there), on the thread that made that call,
 * before it makes any other call there; the answer is meaningless at any other time. The
 * host clamps a longer answer to the buffer and terminates it. The buffer is the host's and
 * valid only during the call. [the thread of the failed call] */
typedef int32_t (*GetLastFailureTextFn)(WCHAR *buffer, int32_t bufferLength);

/* Sets the plug-in's option `name` to `value` for the rest of the session, as the plug-in's
 * own settings dialog would; a front end without dialogs (faltrix-convert) sets options this
 * way. Called after the plug-in is loaded and before the calls the option is to affect, never
 * while they run. Both strings are the host's, NUL-terminated and valid only during the call;
 * names and values are the plug-in's own, documented by it (u"lenient" = u"1"). Returns 0
 * when the plug-in knows the option and took the value, anything else when it does not know
 * the option or refuses the value (the option then keeps what it had). Optional: a host
 * that finds no SetPluginOption treats every option as unknown; an older host never calls
 * it. [dialog thread or the thread that then makes the calls] */
typedef int32_t (*SetPluginOptionFn)(const WCHAR *name, const WCHAR *value);

/* ---- Optional from 1.1 on: the options a plug-in takes --------------------------------- */

/* Kinds of option: the answers of GetPluginOptionInfo. */
#define FALTRIX_OPTION_END 0     /* no option of that index: the list has ended */
#define FALTRIX_OPTION_INTEGER 1 /* a whole number in a range, e.g. a quality */
#define FALTRIX_OPTION_FLAG 2    /* on or off: SetPluginOption takes u"1" or u"0" */
#define FALTRIX_OPTION_CHOICE 3  /* one of a few names, e.g. a compression scheme */
#define FALTRIX_OPTION_TEXT 4    /* free text, e.g. a comment to store */

/* The lengths, in WCHAR units with the NUL, of the buffers the host passes. */
#define FALTRIX_OPTION_KEY_LENGTH 64
#define FALTRIX_OPTION_VALUES_LENGTH 512
#define FALTRIX_OPTION_DEFAULT_LENGTH 64

/* Describes option number index (0, 1, 2, ...) of those SetPluginOption takes, in the order
 * the plug-in's own settings dialog shows them, so that a front end can list them
 * (faltrix-convert --list-options) or build a form of them. Writes three NUL-terminated
 * strings into the host's buffers: into key (keyLength units, FALTRIX_OPTION_KEY_LENGTH) the
 * option's name as SetPluginOption takes it, u"quality"; into values (valuesLength units,
 * FALTRIX_OPTION_VALUES_LENGTH) what it takes: for FALTRIX_OPTION_INTEGER the range as
 * u"MIN..MAX" in decimal (u"1..100"), for FALTRIX_OPTION_FLAG u"0|1", for
 * FALTRIX_OPTION_CHOICE the names separated by '|' (u"none|lzw|deflate"), for
 * FALTRIX_OPTION_TEXT what it takes in words (u"up to 79 characters"); into defaultValue
 * (defaultLength units, FALTRIX_OPTION_DEFAULT_LENGTH) the value the option has before anyone
 * sets it, as SetPluginOption takes it (u"90"). Returns the option's kind; for an index past
 * the last option (or below 0) FALTRIX_OPTION_END (0), and what it wrote is not read. The host
 * asks 0, 1, 2, ... until the first 0, at most 256 times, at any time after loading the
 * plug-in; the answers must be the same every time in a session. A string too long for its
 * buffer is cut to fit and terminated; the host terminates each buffer again after the call.
 * The buffers are the host's and valid only during the call. Optional: without it the
 * options can be found only by trying them with SetPluginOption; an older host never asks.
 * [dialog thread or the thread that then makes the calls, never while a job runs on the
 * plug-in] */
typedef int32_t (*GetPluginOptionInfoFn)(int32_t index, WCHAR *key, int32_t keyLength,
                                         WCHAR *values, int32_t valuesLength, WCHAR *defaultValue,
                                         int32_t defaultLength);

/* ---- Optional entry points: what the picture holds besides its pixels ------------------
 * A DIB carries pixels only. These two calls carry the rest from the input plug-in to the
 * output plug-in, as items named by a key and made of bytes:
 *
 *   "icc"              the ICC colour profile, the whole profile as stored (its header's
 *                      size field equals the item's size)
 *   "exif"             the EXIF block as a TIFF structure: it starts with the byte-order mark
 *                      ("II*\0" or "MM\0*"); the "Exif\0\0" prefix of a JPEG APP1 segment
 *                      is NOT part of it
 *   "xmp"              the XMP packet, UTF-8, as stored (with or without its <?xpacket?> ends)
 *   "frames"           (input only) how many frames or pages the file holds when more than
 *                      one; the DIB is the first. Decimal ASCII digits, e.g. "5"
 *   "bits-per-sample"  (input only) the source's bits per sample when more than 8 reach the
 *                      file; the DIB holds 8. Decimal ASCII digits, e.g. "16"
 *   "dropped"          (input only) words, UTF-8, for anything else the DIB does not keep,
 *                      shown after "dropped " ("the second alpha channel"); may be given
 *                      more than once
 *   "source-jpeg"      (output only, handed by the host, never by an input plug-in) the
 *                      bytes of the input file, when it is a JPEG (starts FF D8 FF) of at
 *                      most FALTRIX_METADATA_MAX_SIZE bytes and the picture is stored as
 *                      decoded (same size, no --strip, pixels not converted by the host),
 *                      for an output that can store the JPEG itself rather than its pixels.
 *                      The host first offers it empty (size 0) whenever the picture is stored
 *                      as decoded: an output that answers 0 to that gets the bytes in a second
 *                      call if the input is such a JPEG, and nothing more if not; a refusal is
 *                      never reported to the user
 *   "transparency"     (output only, handed by the host, from 1.1 on) offered empty (size 0)
 *                      when the picture to store has transparency (32 bits, alpha bytes
 *                      neither all 0 nor all 255). An output that keeps it, in full or as one
 *                      transparent colour, answers 0; any other answer (an output that puts
 *                      the picture on white, or one older than 1.1 that does not know the
 *                      key) makes the host tell the user "flattened the transparency on
 *                      white". An output without SetPictureMetadata is not asked
 *
 * Sizes count bytes, never WCHAR units; no item is NUL-terminated by the protocol. No item is
 * larger than FALTRIX_METADATA_MAX_SIZE: the host drops a larger one without copying it. The
 * keys are lower-case ASCII and NUL-terminated; a plug-in ignores a key it does not know, so
 * that keys can be added. */

#define FALTRIX_METADATA_ICC "icc"
#define FALTRIX_METADATA_EXIF "exif"
#define FALTRIX_METADATA_XMP "xmp"
#define FALTRIX_METADATA_FRAMES "frames"
#define FALTRIX_METADATA_BITS_PER_SAMPLE "bits-per-sample"
#define FALTRIX_METADATA_DROPPED "dropped"
#define FALTRIX_METADATA_SOURCE_JPEG "source-jpeg"
#define FALTRIX_METADATA_TRANSPARENCY "transparency" /* from 1.1 on */
#define FALTRIX_METADATA_MAX_SIZE (16 * 1024 * 1024) /* bytes per item */

/* Where an input plug-in hands over one item: context is the one GetPictureMetadata got, key
 * one of the keys above, bytes and size the item (size in bytes, 0 to
 * FALTRIX_METADATA_MAX_SIZE). The bytes stay the plug-in's: the host copies what it keeps
 * before returning, so they need to be valid during the call only. [the calling thread] */
typedef void (*MetadataSinkFn)(void *context, const char *key, const void *bytes, int32_t size);

/* Input plug-ins: hands every item of the picture at path to sink(context, ...), one call
 * per item, in any order, and returns 0; nonzero when the file's items cannot be read (the
 * host then carries none, and the pixels are stored all the same). The host calls it only
 * right after a GetPictureDIB that returned a bitmap for the same path, on the same thread,
 * so the plug-in may hand over what that decoding kept rather than read the file again. An
 * item the plug-in found damaged is left out, with a "dropped" item saying so.
 * [job thread] */
typedef int32_t (*GetPictureMetadataFn)(const WCHAR *path, MetadataSinkFn sink, void *context);

/* Output plug-ins: key null clears every item the plug-in holds for the calling thread
 * (bytes null, size 0); otherwise the plug-in copies the item to write it with the next
 * SaveDIBPicture on this thread. bytes are the host's, valid during the call only; size is
 * in bytes and at most FALTRIX_METADATA_MAX_SIZE. Returns 0 when the output will keep the
 * item, nonzero when its format cannot (or the key is unknown): the host then tells the user
 * and, for "icc", converts the pixels to sRGB so that the picture looks the same. The host
 * calls it with a null key before every SaveDIBPicture, so nothing outlives one picture.
 * Only "icc", "exif", "xmp", "source-jpeg" and "transparency" are handed to outputs; the EXIF says
 * orientation 1 (the pixels are upright) and gives the stored size.
 *
 * Decide here, not in SaveDIBPicture: refuse an item that the format or its library would
 * refuse while storing (a profile libpng's checks reject, say), since an item must never fail
 * the picture. A profile handed over always suits the colour type GetStoredColourType
 * answered (an RGB profile for colour, a grey one for grey). After a refusal the host asks
 * GetLastFailureText, on the same thread, for the reason, worded to follow "which" in the
 * user's notice ("libpng rejects: PCS illuminant is not D50"); no reason is fine.
 * [job thread] */
typedef int32_t (*SetPictureMetadataFn)(const char *key, const void *bytes, int32_t size);

/* Answers of GetStoredColourType. */
#define FALTRIX_STORED_UNKNOWN 0 /* the plug-in cannot tell */
#define FALTRIX_STORED_GREY 1    /* one grey channel (with or without alpha) */
#define FALTRIX_STORED_COLOUR 2  /* colour: RGB channels, or a palette of RGB entries */

/* Output plug-ins: which colour type SaveDIBPicture would write for a bitmap of this layout,
 * judged from the header and colour table alone, exactly as SaveDIBPicture itself decides (a
 * grey palette written as grey, 24 bits as RGB, ...). The host asks before it hands over the
 * colour profile, so that a profile goes only with pixels it describes: a grey profile with
 * grey pixels, an RGB one with colour pixels; otherwise it converts the pixels to sRGB and
 * keeps the profile back. info is the host's, valid during the call only: a BITMAPINFOHEADER
 * (biSize 40, biHeight negative for top-down rows) followed, for 1, 4 and 8 bits, by the
 * colour table of biClrUsed entries (1 to 2^biBitCount) and, for BI_BITFIELDS, by the three
 * masks. Returns FALTRIX_STORED_GREY, FALTRIX_STORED_COLOUR, or FALTRIX_STORED_UNKNOWN (0)
 * for a layout it would not store. Optional: a host that finds no GetStoredColourType takes
 * 16 bits and more as colour and a palette as unknown (it then keeps RGB profiles, and grey
 * ones only on palettes); an older host never asks. Called only when the picture has a
 * profile, right before SetPictureMetadata hands it over (and again before a second try of
 * SaveDIBPicture), for the bitmap that SaveDIBPicture then stores. [job thread] */
typedef int32_t (*GetStoredColourTypeFn)(const BITMAPINFO *info);

/* ---- Optional entry points: frames (animations and pages), from 1.1 on -----------------
 * A file may hold several pictures of one size: the frames of an animation (GIF, WebP, APNG,
 * AVIF and JPEG XL animations), or the pages of a document (a multi-page TIFF). These calls
 * carry them one at a time, in order, from the input plug-in to the output plug-in; the host
 * never holds more than one frame (and its resized copy) at a time.
 *
 * An input plug-in that exports OpenFrames, GetFrameDIB and CloseFrames (all three or none)
 * gives every frame as a full-canvas picture, with disposal and blending already applied:
 * frame k is what a viewer shows while frame k is on screen. Without them the host reads
 * frame 1 alone with GetPictureDIB, as before. Frame 1 from GetFrameDIB is the picture
 * GetPictureDIB gives.
 *
 * An output plug-in that exports BeginFrames, AddFrame and EndFrames (all three or none) takes
 * a sequence; SaveDIBPicture stays for a single picture, and the host uses it whenever only one
 * frame is stored. An output without them gets frame 1 alone, and the user is told
 * "kept frame 1 of N".
 *
 * Calling order on one job thread, never interleaved with another sequence of the same
 * thread:
 *   input:  IsSupported, GetPictureInfo, OpenFrames, then GetFrameDIB for the frames wanted,
 *           in ascending order, each at most once (the host may skip frames), then
 *           CloseFrames, always once after OpenFrames succeeded (also after a failure);
 *   output: SetPictureMetadata (as before SaveDIBPicture), BeginFrames, AddFrame once per
 *           frame announced, EndFrames(writer, 1); after any failure, or when the input fails
 *           part way, EndFrames(writer, 0) instead, and the host removes the temporary.
 * Different threads may run sequences of their own at the same time (a preview and a
 * conversion): keep everything in the reader or writer, nothing in globals.
 *
 * The records below are filled by the side named; `size` is sizeof the record as the filler
 * knows it, so that later versions may append fields: a reader of a record looks only at
 * fields that lie within `size`. Reserved fields are written 0 and not read: later versions
 * give them meaning (sampleBits took the first of FrameSequenceInfo's in 1.2; 0 there is what
 * a 1.1 plug-in writes and means 8 bits).
 */

/* What FrameSequenceInfo.kind says of the frames. */
#define FALTRIX_FRAMES_ANIMATION 0 /* frames shown one after another, each for its delay */
#define FALTRIX_FRAMES_PAGES 1     /* pages of a document: no delays, no loop */

/* The most frames and the most pixels over all frames the host takes from one file: a file
 * that says more is refused before any frame is decoded. */
#define FALTRIX_MAX_FRAMES 10000
#define FALTRIX_MAX_SEQUENCE_PIXELS (UINT64_C(1) << 32)

typedef struct FrameSequenceInfo {
    int32_t size;       /* sizeof(FrameSequenceInfo) as its filler knows it */
    int32_t width;      /* the canvas every frame covers, pixels (the picture's size) */
    int32_t height;     /* pixels */
    int32_t frameCount; /* 1 or more */
    int32_t loopCount;  /* how often an animation plays: 0 for ever, 1 once, n n times; the
                         * number GIF's loop extension, WebP's loop count and APNG's num_plays
                         * store (1 where a GIF has no loop extension) */
    int32_t kind;       /* FALTRIX_FRAMES_ANIMATION or FALTRIX_FRAMES_PAGES */
    int32_t sampleBits; /* from 1.2 on, see "deep samples": from OpenFrames, the file's bits
                         * per sample when more than 8 and GetFrameSamples gives them at
                         * full depth, else 0; to BeginFrames, 9..16 when every frame comes
                         * through AddFrameSamples at that depth, else 0 (frames through
                         * AddFrame) */
    int32_t reserved[5];
} FrameSequenceInfo;

typedef struct FrameInfo {
    int32_t size;  /* sizeof(FrameInfo) as its filler knows it */
    int32_t delay; /* milliseconds this frame is shown, as the file says (0 kept as 0:
                    * players clamp it); 0 for pages */
    int32_t reserved[6];
} FrameInfo;

/* Input plug-ins: opens the file at path for reading its frames and fills info (the host
 * sets info->size before the call; write no field beyond it). Returns 0 and a reader of the
 * plug-in's own in *reader, or nonzero on failure (nothing to close; the cause through
 * GetLastFailureText). A file of one picture answers frameCount 1. The count must be known
 * here: scan the file if it must be, without decoding the pixels. [job thread] */
typedef int32_t (*OpenFramesFn)(const WCHAR *path, FrameSequenceInfo *info, void **reader);

/* Input plug-ins: decodes frame `index` (0 = the first; ascending, see above) of the reader
 * into a DIB section of the canvas's size and returns it, as GetPictureDIB does (allocated
 * with alloc, the host's from then on), filling *frame (its size set by the host) with the
 * frame's delay. Null on failure: the file ends early, a frame is damaged; the host keeps the
 * frames it got before, with a notice, and closes the reader. Progress counts this frame's
 * rows. [the thread of OpenFrames] */
typedef HBITMAP (*GetFrameDIBFn)(void *reader, int32_t index, FrameInfo *frame,
                                 ProgressCallbackFn progress, int32_t data,
                                 DibAllocCallbackFn alloc);

/* Input plug-ins: releases the reader. [the thread of OpenFrames] */
typedef void (*CloseFramesFn)(void *reader);

/* Output plug-ins: starts writing a sequence of info->frameCount frames of info->width x
 * info->height pixels (the stored size, after any resize) into path, the host's temporary as
 * for SaveDIBPicture. info is the host's, valid during the call only. Returns 0 and a writer
 * of the plug-in's own in *writer; nonzero on failure (no EndFrames follows). An output that
 * keeps no delays or loops (pages) ignores them. [job thread] */
typedef int32_t (*BeginFramesFn)(const WCHAR *path, const FrameSequenceInfo *info, void **writer);

/* Output plug-ins: adds the next frame: the bitmap selected in dc, as for SaveDIBPicture (any
 * depth, either row order; the DC and bitmap stay the host's and are valid during the call
 * only: copy what must outlive it). frame is the host's. Returns 0 when taken, nonzero on
 * failure (the host then calls EndFrames(writer, 0)). [the thread of BeginFrames] */
typedef int32_t (*AddFrameFn)(void *writer, HDC dc, const FrameInfo *frame,
                              ProgressCallbackFn progress, int32_t data);

/* Output plug-ins: complete 1 finishes the file (every announced frame was added) and answers
 * 0 when it is stored, nonzero otherwise; complete 0 abandons it, and the answer is ignored.
 * Either way the writer is released. [the thread of BeginFrames] */
typedef int32_t (*EndFramesFn)(void *writer, int32_t complete);

/* ---- Optional entry points: deep samples, from 1.2 on --------------------------------------
 * A file may hold more than 8 bits per sample: 16-bit PNG and TIFF, 10- and 12-bit AVIF and
 * HEIC, JPEG XL up to 16 bits. A DIB holds 8, so these calls carry such frames as 16-bit
 * samples in a plain picture record, SamplePicture, on the frame readers and writers above.
 *
 * An input plug-in that gives frames and exports GetFrameSamples says in OpenFrames'
 * info->sampleBits how deep the file is (10, 12, 16; 0 when 8 bits or fewer). The host then
 * reads every frame of that reader one way: through GetFrameSamples when the output takes deep
 * samples, else through GetFrameDIB, which gives the picture reduced to 8 bits as before (with
 * the "bits-per-sample" item that tells the user).
 *
 * An output plug-in that gives frames and exports AddFrameSamples takes deep samples: the
 * host says so in BeginFrames' info->sampleBits (9..16, the source's depth: store that many
 * bits where the format can, more where it cannot), and then hands every frame, a single
 * picture too (a sequence of one frame; SaveDIBPicture is not called), through
 * AddFrameSamples. With info->sampleBits 0 the frames come through AddFrame as before.
 * An output that takes deep samples takes all four layouts below.
 *
 * Samples: unsigned 16 bits, in the machine's byte order, scaled to the whole range whatever
 * the file's depth n: a stored value v is v * 65535 / (2^n - 1), rounded (a 10-bit 1023 is
 * 65535, 512 is 32800); an output storing n bits writes v * (2^n - 1) / 65535, rounded.
 * Channels in this order: grey; grey, alpha; red, green, blue; red, green, blue, alpha. Alpha
 * is straight (not premultiplied), 65535 opaque. Colour values are the file's, described by
 * its "icc" item as for a DIB. Rows top first. Every frame of one sequence has the same
 * channels.
 */
#define FALTRIX_SAMPLES_MAX_BITS 16

typedef struct SamplePicture {
    int32_t size;            /* sizeof(SamplePicture) as the host knows it */
    int32_t width;           /* pixels: the canvas of the sequence */
    int32_t height;          /* pixels */
    int32_t channels;        /* 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA */
    int32_t bits;            /* bits per sample in data: 16 */
    int32_t significantBits; /* the file's own depth, 9..16, that the samples were scaled from */
    int64_t stride;          /* bytes from the start of one row to the next, >= width *
                              * channels * 2 and a multiple of 2 */
    void *data;              /* the first sample of the top row */
    void *owner;             /* the host's: leave it as it is */
    int32_t reserved[4];
} SamplePicture;

/* The host's allocation of a deep frame, which an input plug-in calls once in GetFrameSamples
 * with the record it was given, its channels, bits and significantBits set (width and height
 * are the host's: the canvas). The host checks them, allocates, sets stride and data and
 * returns data; null when it refuses them or has no memory (then fail). The memory is the
 * host's; write every sample of every row. */
typedef void *(*SampleAllocCallbackFn)(SamplePicture *picture);

/* Input plug-ins: decodes frame `index` of the reader (the rules of GetFrameDIB: ascending,
 * each at most once, the whole canvas with disposal and blending applied) at full depth into
 * the memory alloc gives for picture, and fills *frame with its delay. Returns 0 when every
 * sample is written, nonzero on failure (the cause through GetLastFailureText); the host
 * keeps the frames before, as for GetFrameDIB. Progress counts this frame's rows. [the thread
 * of OpenFrames] */
typedef int32_t (*GetFrameSamplesFn)(void *reader, int32_t index, FrameInfo *frame,
                                     SamplePicture *picture, ProgressCallbackFn progress,
                                     int32_t data, SampleAllocCallbackFn alloc);

/* Output plug-ins: adds the next frame at full depth, for a writer begun with
 * info->sampleBits 9..16; otherwise as AddFrame. picture and its samples are the host's,
 * valid during the call only. [the thread of BeginFrames] */
typedef int32_t (*AddFrameSamplesFn)(void *writer, const SamplePicture *picture,
                                     const FrameInfo *frame, ProgressCallbackFn progress,
                                     int32_t data);

/* ---- Optional entry point: frames at a size, from 1.3 on ---------------------------------
 * A picture drawn from vectors (an SVG drawing, the pages of a PDF) has no pixels of its own:
 * it is rendered at whatever size is asked, and rendering it at the size it is stored at is
 * sharper than scaling the pixels of its natural size. GetPictureInfo answers that natural
 * size, which a front end fits its size fields to as for any picture.
 *
 * An input plug-in that gives frames may export OpenFramesAtSize too. When the picture is to
 * be stored at another size than GetPictureInfo answered (a conversion with a new size; the
 * preview keeps OpenFrames), the host calls it in place of OpenFrames, with that size, within
 * FALTRIX_MAX_PICTURE_PIXELS and FALTRIX_MAX_PICTURE_SIDE. Everything else is as after
 * OpenFrames: GetFrameDIB (and GetFrameSamples) then give frames of width x height pixels,
 * and CloseFrames releases the reader. The host resizes nothing more; a frame of another
 * size is a failure, as for OpenFrames.
 */

/* Input plug-ins: as OpenFrames, with the canvas width x height pixels (1 or more each): the
 * frames are rendered to fill it, stretched when its sides do not keep the picture's aspect.
 * info->width and info->height must answer exactly width and height; the host closes a reader
 * that answers another canvas and fails the decoding. Returns 0 and a reader, or nonzero on
 * failure (nothing to close; the cause through GetLastFailureText). [job thread] */
typedef int32_t (*OpenFramesAtSizeFn)(const WCHAR *path, int32_t width, int32_t height,
                                      FrameSequenceInfo *info, void **reader);

/* ---- Optional entry point: one picture a file, from 1.3 on -------------------------------
 * An output whose format holds one picture (JPEG 2000, OpenEXR, Radiance HDR) exports the
 * sequence calls only to take deep samples. So that the user still learns what a file of
 * several frames loses, it exports GetFramesPerFile too, answering 1: the host then hands it
 * the first frame chosen alone, a sequence of one, and says "kept frame F of N", as for an
 * output without the sequence calls. Without it, or with another answer, the host hands every
 * frame chosen. [any thread; the same answer every time] */
typedef int32_t (*GetFramesPerFileFn)(void);

/* Declarations for plug-in authors: define the entry points with these names and types. */
#ifndef FALTRIX_HOST
FALTRIX_PLUGIN_EXPORT int32_t GetPluginInfo(int32_t infoNumber, WCHAR *buffer,
                                            int32_t bufferLength);
FALTRIX_PLUGIN_EXPORT int32_t ConfigurationDlg(HWND parent, int32_t reserved);
FALTRIX_PLUGIN_EXPORT int32_t IsSupported(const WCHAR *path, int32_t reserved1, int32_t reserved2);
FALTRIX_PLUGIN_EXPORT int32_t GetPictureInfo(const WCHAR *path, int32_t reserved1,
                                             int32_t reserved2, PictureInfo *info);
FALTRIX_PLUGIN_EXPORT HBITMAP GetPictureDIB(const WCHAR *path, int32_t reserved1, int32_t reserved2,
                                            ProgressCallbackFn progress, int32_t data,
                                            DibAllocCallbackFn alloc);
FALTRIX_PLUGIN_EXPORT int32_t SaveDIBPicture(HDC dc, const WCHAR *path, int32_t reserved1,
                                             int32_t reserved2, ProgressCallbackFn progress,
                                             int32_t data);
FALTRIX_PLUGIN_EXPORT int32_t GetLastFailureText(WCHAR *buffer, int32_t bufferLength);
FALTRIX_PLUGIN_EXPORT int32_t SetPluginOption(const WCHAR *name, const WCHAR *value);
FALTRIX_PLUGIN_EXPORT int32_t GetPluginOptionInfo(int32_t index, WCHAR *key, int32_t keyLength,
                                                  WCHAR *values, int32_t valuesLength,
                                                  WCHAR *defaultValue, int32_t defaultLength);
FALTRIX_PLUGIN_EXPORT int32_t GetPictureMetadata(const WCHAR *path, MetadataSinkFn sink,
                                                 void *context);
FALTRIX_PLUGIN_EXPORT int32_t SetPictureMetadata(const char *key, const void *bytes, int32_t size);
FALTRIX_PLUGIN_EXPORT int32_t GetStoredColourType(const BITMAPINFO *info);
FALTRIX_PLUGIN_EXPORT int32_t OpenFrames(const WCHAR *path, FrameSequenceInfo *info, void **reader);
FALTRIX_PLUGIN_EXPORT HBITMAP GetFrameDIB(void *reader, int32_t index, FrameInfo *frame,
                                          ProgressCallbackFn progress, int32_t data,
                                          DibAllocCallbackFn alloc);
FALTRIX_PLUGIN_EXPORT void CloseFrames(void *reader);
FALTRIX_PLUGIN_EXPORT int32_t OpenFramesAtSize(const WCHAR *path, int32_t width, int32_t height,
                                               FrameSequenceInfo *info, void **reader);
FALTRIX_PLUGIN_EXPORT int32_t GetFramesPerFile(void);
FALTRIX_PLUGIN_EXPORT int32_t BeginFrames(const WCHAR *path, const FrameSequenceInfo *info,
                                          void **writer);
FALTRIX_PLUGIN_EXPORT int32_t AddFrame(void *writer, HDC dc, const FrameInfo *frame,
                                       ProgressCallbackFn progress, int32_t data);
FALTRIX_PLUGIN_EXPORT int32_t EndFrames(void *writer, int32_t complete);
FALTRIX_PLUGIN_EXPORT int32_t GetFrameSamples(void *reader, int32_t index, FrameInfo *frame,
                                              SamplePicture *picture, ProgressCallbackFn progress,
                                              int32_t data, SampleAllocCallbackFn alloc);
FALTRIX_PLUGIN_EXPORT int32_t AddFrameSamples(void *writer, const SamplePicture *picture,
                                              const FrameInfo *frame, ProgressCallbackFn progress,
                                              int32_t data);
#endif

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(PictureInfo) == 28, "PictureInfo is 28 bytes");
static_assert(__builtin_offsetof(PictureInfo, width) == 8, "width at offset 8");
static_assert(__builtin_offsetof(PictureInfo, height) == 12, "height at offset 12");
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
#else
_Static_assert(sizeof(PictureInfo) == 28, "PictureInfo is 28 bytes");
_Static_assert(__builtin_offsetof(PictureInfo, width) == 8, "width at offset 8");
_Static_assert(__builtin_offsetof(PictureInfo, height) == 12, "height at offset 12");
#endif

#endif /* FALTRIX_PLUGIN_H */
