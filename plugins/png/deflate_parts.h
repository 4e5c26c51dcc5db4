// One zlib stream out of parts compressed independently by libdeflate, so that a picture is
// compressed a few rows at a time, on several threads, without holding all its filtered rows.
//
// libdeflate compresses a whole buffer into a complete deflate stream whose last block is
// marked final and whose last byte is padded. Parts are joined by reading each part's blocks
// (without producing output) to find where the final block's header and its end of data lie,
// clearing the final mark and ending the part with an empty stored block, which brings the
// stream to a byte boundary: what a sync flush leaves. The next part then follows byte for
// byte; every match of a part stays inside it, so the joined stream inflates to the parts'
// data in order. A part gives up only the matches it could have had into the part before.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

struct libdeflate_compressor;

namespace faltrix::png {

// Room a part of n input bytes needs: libdeflate's bound and the bytes of the sync point.
size_t DeflatePartBound(libdeflate_compressor *compressor, size_t n);

// Compresses in[0, n) as raw deflate into out (capacity DeflatePartBound). A part that is not
// the last ends non-final at a byte boundary, ready for the next part; the last part ends the
// stream. Returns the bytes written, 0 on failure (no memory for the uncompressed fallback).
size_t DeflatePart(libdeflate_compressor *compressor, const uint8_t *in, size_t n, bool last,
                   uint8_t *out, size_t capacity);

// The same for zlib's run-length strategy, whose matches reach back one byte only: on the
// filtered rows of a photo, runs of the same small difference coded by Huffman codes fitted to
// the part, which general matching finds no better at several times the time. stream is set up
// by StartRunLength and reset for each part. A part that is not the last ends at zlib's sync
// point, which is where DeflatePart ends one. Returns the bytes written, 0 when they do not fit.
bool StartRunLength(z_stream *stream);
size_t RunLengthBound(z_stream *stream, size_t n);
size_t RunLengthPart(z_stream *stream, const uint8_t *in, size_t n, bool last, uint8_t *out,
                     size_t capacity);

// Where a complete raw deflate stream's final block begins and where its data ends, in bits
// from the start. False when data[0, size) is not one complete stream ending in its last
// byte. The reader looks up to 32 bytes past size: the buffer must have them.
struct FinalBlock {
    size_t headerBit = 0;
    size_t endBit = 0;
};
bool FindFinalBlock(const uint8_t *data, size_t size, FinalBlock *out);

// The two bytes that open a zlib stream compressed at libdeflate's `level`.
void ZlibHeader(int level, uint8_t out[2]);

}  // namespace faltrix::png
