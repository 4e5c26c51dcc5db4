// What the JPEG plug-ins share: their information answers and libjpeg's error handling.
//
// libjpeg reports a fatal error by calling error_exit, which must not return. We longjmp back
// to a setjmp taken in one of the small helpers below; each helper wraps one library call and
// returns false when that call failed. No C++ object with a destructor lives in a helper's
// frame, and the frames the jump crosses are libjpeg's own C frames.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "faltrix/kit/kit.h"

namespace faltrix::jpeg {

#define FALTRIX_JPEG_STR2(x) #x
#define FALTRIX_JPEG_STR(x) FALTRIX_JPEG_STR2(x)

// The information both JPEG plug-ins answer; the input plug-in takes more file-name endings.
inline kit::FormatInfo Format() {
    return {u"JPEG (libjpeg-turbo " FALTRIX_JPEG_STR(LIBJPEG_TURBO_VERSION) u")",
            {{u"*.jpg;*.jpeg;*.jpe;*.jfif", u"JPEG pictures"}},
            {{u"*.jpg;*.jpeg", u"JPEG pictures"}}};
}

// Extends libjpeg's error manager; install with InstallErrorHandler before creating the
// (de)compressor, so that cinfo->err points at `pub`.
struct ErrorState {
    jpeg_error_mgr pub;
    jmp_buf jump;
    // Salvage: pixels libjpeg had to make up (grey, where data ended or was corrupt) are
    // accepted and only described in `damage`; otherwise the first such loss stops decoding.
    bool lenient = false;
    bool endedEarly = false;                 // the file ended before its end marker
    char damage[JMSG_LENGTH_MAX + 48] = "";  // the first loss of pixels, in words; empty: none
};

// Routes errors into `state` and their text into the failure cause (nothing goes to
// stderr), warnings into its counters. A warning that means lost pixels (the entropy data
// ends early, is cut off by a marker or cannot be decoded) is described in state->damage
// with the row where the loss starts, and unless state->lenient it is an error: the guarded
// call fails with that description as the cause. Warnings about data that costs no pixels
// (extraneous bytes between segments, odd scan parameters of a sequential file, an unknown
// JFIF revision or Adobe transform, a bad colour profile) stay warnings.
void InstallErrorHandler(ErrorState *state);

// The description of a decode that libjpeg completed with made-up pixels: state->damage, or
// when the only fault was a missing end (the file stops before its end marker, past the last
// pixel data read), words for that. Empty when the picture is whole.
const char *DamageOf(const ErrorState &state);

// Progressive files may hold any number of scans; a hostile one makes each of them cost a
// pass over the whole picture. Past this many the file is refused. Encoders' progressions
// use about 10 (libjpeg's default script) to a few dozen (scripts that split every band and
// bit); 100 leaves room for any of them and bounds a hostile file to a fifth of the old cost.
inline constexpr int kMaxScans = 100;

// The most memory libjpeg may take for one picture (above all the coefficients a progressive
// file keeps whole: 128 bytes a block per component, 1.6 GB for the largest picture the kit
// allows); more is refused with a cause rather than attempted.
inline constexpr long kMaxDecoderMemory = 1L << 30;

// A progress monitor that stops decoding after kMaxScans scans. Attach to cinfo->progress.
struct ScanLimit {
    jpeg_progress_mgr pub;
};
void InstallScanLimit(jpeg_decompress_struct *cinfo, ScanLimit *limit);

bool GuardedCreate(jpeg_decompress_struct *cinfo);
bool GuardedStdioSource(jpeg_decompress_struct *cinfo, FILE *file);
bool GuardedSaveMarkers(jpeg_decompress_struct *cinfo, int marker, unsigned lengthLimit);
bool GuardedReadHeader(jpeg_decompress_struct *cinfo);
bool GuardedStartDecompress(jpeg_decompress_struct *cinfo);
// Reads up to maxRows rows into rows[]; *got receives how many arrived.
bool GuardedReadScanlines(jpeg_decompress_struct *cinfo, JSAMPARRAY rows, JDIMENSION maxRows,
                          JDIMENSION *got);
bool GuardedFinishDecompress(jpeg_decompress_struct *cinfo);
// The colour profile of the APP2 markers saved while reading the header, joined; *data is
// libjpeg's malloc()ed copy (the caller frees it) or null when there is none or it is damaged.
bool GuardedReadIccProfile(jpeg_decompress_struct *cinfo, JOCTET **data, unsigned *size);

bool GuardedCreate(jpeg_compress_struct *cinfo);
bool GuardedStdioDest(jpeg_compress_struct *cinfo, FILE *file);
// Sets the defaults for cinfo's colour space, then quality (1..100) and baseline tables.
// The defaults at `quality` with optimised Huffman tables, and libjpeg's progression when
// `progressive`.
bool GuardedSetDefaults(jpeg_compress_struct *cinfo, int quality, bool progressive);
bool GuardedStartCompress(jpeg_compress_struct *cinfo);
bool GuardedWriteScanlines(jpeg_compress_struct *cinfo, JSAMPARRAY rows, JDIMENSION count);
bool GuardedFinishCompress(jpeg_compress_struct *cinfo);
// After GuardedStartCompress, before the first row: one marker segment, or a profile split
// over as many APP2 markers as it takes.
bool GuardedWriteMarker(jpeg_compress_struct *cinfo, int marker, const JOCTET *data, unsigned size);
bool GuardedWriteIccProfile(jpeg_compress_struct *cinfo, const JOCTET *data, unsigned size);

// jpeg_destroy_* after any of the above, whether it failed or not.
struct DecompressGuard {
    jpeg_decompress_struct *cinfo;
    bool created = false;
    explicit DecompressGuard(jpeg_decompress_struct *c) : cinfo(c) {}
    ~DecompressGuard() {
        if (created) jpeg_destroy_decompress(cinfo);
    }
    DecompressGuard(const DecompressGuard &) = delete;
    DecompressGuard &operator=(const DecompressGuard &) = delete;
};
struct CompressGuard {
    jpeg_compress_struct *cinfo;
    bool created = false;
    explicit CompressGuard(jpeg_compress_struct *c) : cinfo(c) {}
    ~CompressGuard() {
        if (created) jpeg_destroy_compress(cinfo);
    }
    CompressGuard(const CompressGuard &) = delete;
    CompressGuard &operator=(const CompressGuard &) = delete;
};

}  // namespace faltrix::jpeg
