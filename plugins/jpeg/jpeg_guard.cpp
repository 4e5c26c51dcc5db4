// The setjmp side of libjpeg's error handling: one helper per library call.
#include "jpeg_guard.h"

#include <jerror.h>

#include <algorithm>
#include <string_view>

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
    const int code = cinfo->err->msg_code;
    if (code == JERR_NO_BACKING_STORE || code == JERR_OUT_OF_MEMORY) {
        char message[96];
        std::snprintf(message, sizeof message,
                      "JPEG: decoding the picture needs more than %ld MiB of memory",
                      kMaxDecoderMemory >> 20);
        kit::SetLastFailure(message);
    } else {
        KeepMessage(cinfo);
    }
    std::longjmp(StateOf(cinfo)->jump, 1);
}

// True for the warnings after which libjpeg fills pixels with grey: the entropy decoder
// ran out of data at a marker, or met a code or a restart marker it cannot place.
bool LosesPixels(int code) {
    return code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE || code == JWRN_ARITH_BAD_CODE ||
           code == JWRN_MUST_RESYNC;
}

// Describes the loss the current warning announces: where it starts (the first row of the
// band of rows the entropy decoder was filling) and why. Data that stops at the end marker,
// real or the one libjpeg makes up at the end of the file, is truncated; anything else is
// corrupt, in libjpeg's words without its own "Corrupt JPEG data: ".
void DescribeDamage(j_common_ptr cinfo, ErrorState *state) {
    auto *d = reinterpret_cast<j_decompress_ptr>(cinfo);
    const unsigned band = static_cast<unsigned>(d->max_v_samp_factor) * DCTSIZE;
    const unsigned row = std::min<unsigned>(d->input_iMCU_row * band, d->image_height - 1);
    if (cinfo->err->msg_code == JWRN_HIT_MARKER && d->unread_marker == JPEG_EOI) {
        std::snprintf(state->damage, sizeof state->damage, "truncated JPEG data at row %u", row);
        return;
    }
    char words[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, words);
    constexpr std::string_view kPrefix = "Corrupt JPEG data: ";
    const char *reason =
        std::string_view(words).starts_with(kPrefix) ? words + kPrefix.size() : words;
    std::snprintf(state->damage, sizeof state->damage, "corrupt JPEG data at row %u: %s", row,
                  reason);
}

void OnMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // level -1 is a warning about the data; the rest is tracing
    cinfo->err->num_warnings++;
    ErrorState *state = StateOf(cinfo);
    const int code = cinfo->err->msg_code;
    if (code == JWRN_JPEG_EOF) {
        // libjpeg goes on with a made-up end marker; the loss, if any, shows when the entropy
        // decoder reaches it (JWRN_HIT_MARKER), which names the row.
        state->endedEarly = true;
        return;
    }
    if (!cinfo->is_decompressor || !LosesPixels(code) || state->damage[0] != '\0') return;
    DescribeDamage(cinfo, state);
    if (state->lenient) return;
    kit::SetLastFailure(state->damage);
    std::longjmp(state->jump, 1);
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
    state->endedEarly = false;
    state->damage[0] = '\0';
}

const char *DamageOf(const ErrorState &state) {
    if (state.damage[0] != '\0') return state.damage;
    return state.endedEarly ? "truncated JPEG file: it ends before its end marker" : "";
}

void InstallScanLimit(jpeg_decompress_struct *cinfo, ScanLimit *limit) {
    limit->pub = jpeg_progress_mgr{};
    limit->pub.progress_monitor = OnProgress;
    cinfo->progress = &limit->pub;
}

#define FALTRIX_GUARD(cinfo) \
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

bool GuardedSetDefaults(jpeg_compress_struct *cinfo, int quality, bool progressive) {
    FALTRIX_GUARD(cinfo);
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    // Huffman tables made for the picture: a few per cent smaller at the cost of a second
    // pass over the coefficients in memory.
    cinfo->optimize_coding = TRUE;
    if (progressive) jpeg_simple_progression(cinfo);
    return true;
}

bool GuardedReadIccProfile(jpeg_decompress_struct *cinfo, JOCTET **data, unsigned *size) {
    FALTRIX_GUARD(cinfo);
    *data = nullptr;
    *size = 0;
    if (!jpeg_read_icc_profile(cinfo, data, size)) *data = nullptr;
    return true;
}

bool GuardedWriteMarker(jpeg_compress_struct *cinfo, int marker, const JOCTET *data,
                        unsigned size) {
    FALTRIX_GUARD(cinfo);
    jpeg_write_marker(cinfo, marker, data, size);
    return true;
}

bool GuardedWriteIccProfile(jpeg_compress_struct *cinfo, const JOCTET *data, unsigned size) {
    FALTRIX_GUARD(cinfo);
    jpeg_write_icc_profile(cinfo, data, size);
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
