// The setjmp side of libjpeg's error handling: one helper per library call.
#include "jpeg_guard.h"

#include <jerror.h>

namespace faltrix::jpeg {
namespace {

ErrorState *StateOf(j_common_ptr cinfo) { return reinterpret_cast<ErrorState *>(cinfo->err); }

// libjpeg's own words, "JPEG: " before them.
void KeepMessage(j_common_ptr cinfo) {
    char message[JMSG_LENGTH_MAX + 8] = "JPEG: ";
    (*cinfo->err->format_message)(cinfo, message + 6);
    kit::SetLastFailure(message);
}

[[noreturn]] void OnError(j_common_ptr cinfo) {
    KeepMessage(cinfo);
    std::longjmp(StateOf(cinfo)->jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
    // Level -1 is a warning about corrupt data. The one that loses the picture's end is
    // remembered: a truncated file is a failure, not a picture with a grey bottom.
    if (level < 0) {
        if (cinfo->err->msg_code == JWRN_JPEG_EOF) {
            StateOf(cinfo)->truncated = true;
            KeepMessage(cinfo);
        }
        cinfo->err->num_warnings++;
    }
}

void OnOutputMessage(j_common_ptr) {}

void OnProgress(j_common_ptr cinfo) {
    if (cinfo->is_decompressor) {
        auto *d = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (d->input_scan_number > kMaxScans) {
            char message[64];
            std::snprintf(message, sizeof message, "JPEG: more than %d scans", kMaxScans);
            kit::SetLastFailure(message);
            std::longjmp(StateOf(cinfo)->jump, 1);
        }
    }
}

}  // namespace

void InstallErrorHandler(ErrorState *state) {
    jpeg_std_error(&state->pub);
    state->pub.error_exit = OnError;
    state->pub.emit_message = OnMessage;
    state->pub.output_message = OnOutputMessage;
    state->truncated = false;
}

void InstallScanLimit(jpeg_decompress_struct *cinfo, ScanLimit *limit) {
    limit->pub = jpeg_progress_mgr{};
    limit->pub.progress_monitor = OnProgress;
    cinfo->progress = &limit->pub;
}

#define FALTRIX_GUARD(cinfo)                                                     \
    if (setjmp(reinterpret_cast<ErrorState *>((cinfo)->err)->jump)) return false

bool GuardedCreate(jpeg_decompress_struct *cinfo) {
    FALTRIX_GUARD(cinfo);
    jpeg_create_decompress(cinfo);
    return true;
}

bool GuardedStdioSource(jpeg_decompress_struct *cinfo, FILE *file) {
    FALTRIX_GUARD(cinfo);
    jpeg_stdio_src(cinfo, file);
    return true;
}

bool GuardedSaveMarkers(jpeg_decompress_struct *cinfo, int marker, unsigned lengthLimit) {
    FALTRIX_GUARD(cinfo);
    jpeg_save_markers(cinfo, marker, lengthLimit);
    return true;
}

bool GuardedReadHeader(jpeg_decompress_struct *cinfo) {
    FALTRIX_GUARD(cinfo);
    return jpeg_read_header(cinfo, TRUE) == JPEG_HEADER_OK;
}

bool GuardedStartDecompress(jpeg_decompress_struct *cinfo) {
    FALTRIX_GUARD(cinfo);
    return jpeg_start_decompress(cinfo) == TRUE;
}

bool GuardedReadScanlines(jpeg_decompress_struct *cinfo, JSAMPARRAY rows, JDIMENSION maxRows,
                          JDIMENSION *got) {
    FALTRIX_GUARD(cinfo);
    *got = jpeg_read_scanlines(cinfo, rows, maxRows);
    return true;
}

bool GuardedFinishDecompress(jpeg_decompress_struct *cinfo) {
    FALTRIX_GUARD(cinfo);
    jpeg_finish_decompress(cinfo);
    return true;
}

bool GuardedCreate(jpeg_compress_struct *cinfo) {
    FALTRIX_GUARD(cinfo);
    jpeg_create_compress(cinfo);
    return true;
}

bool GuardedStdioDest(jpeg_compress_struct *cinfo, FILE *file) {
    FALTRIX_GUARD(cinfo);
    jpeg_stdio_dest(cinfo, file);
    return true;
}

bool GuardedSetDefaults(jpeg_compress_struct *cinfo, int quality) {
    FALTRIX_GUARD(cinfo);
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    return true;
}

bool GuardedStartCompress(jpeg_compress_struct *cinfo) {
    FALTRIX_GUARD(cinfo);
    jpeg_start_compress(cinfo, TRUE);
    return true;
}

bool GuardedWriteScanlines(jpeg_compress_struct *cinfo, JSAMPARRAY rows, JDIMENSION count) {
    FALTRIX_GUARD(cinfo);
    return jpeg_write_scanlines(cinfo, rows, count) == count;
}

bool GuardedFinishCompress(jpeg_compress_struct *cinfo) {
    FALTRIX_GUARD(cinfo);
    jpeg_finish_compress(cinfo);
    return true;
}

#undef FALTRIX_GUARD

}  // namespace faltrix::jpeg
