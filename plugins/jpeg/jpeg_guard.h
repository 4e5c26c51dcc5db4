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
    bool truncated = false;  // the data ended before the picture did
};

// Routes errors into `state` and their text into the failure cause (nothing goes to
// stderr), warnings into its counters; a truncation warning is kept as the cause too.
void InstallErrorHandler(ErrorState *state);

// Progressive files may hold any number of scans; a hostile one makes each of them cost a
// pass over the whole picture. Past this many the file is refused.
inline constexpr int kMaxScans = 500;

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

bool GuardedCreate(jpeg_compress_struct *cinfo);
bool GuardedStdioDest(jpeg_compress_struct *cinfo, FILE *file);
// Sets the defaults for cinfo's colour space, then quality (1..100) and baseline tables.
bool GuardedSetDefaults(jpeg_compress_struct *cinfo, int quality);
bool GuardedStartCompress(jpeg_compress_struct *cinfo);
bool GuardedWriteScanlines(jpeg_compress_struct *cinfo, JSAMPARRAY rows, JDIMENSION count);
bool GuardedFinishCompress(jpeg_compress_struct *cinfo);

// jpeg_destroy_* after any of the above, whether it failed or not.
struct DecompressGuard {
    jpeg_decompress_struct *cinfo;
    bool created = false;
    ~DecompressGuard() {
        if (created) jpeg_destroy_decompress(cinfo);
    }
};
struct CompressGuard {
    jpeg_compress_struct *cinfo;
    bool created = false;
    ~CompressGuard() {
        if (created) jpeg_destroy_compress(cinfo);
    }
};

}  // namespace faltrix::jpeg
