// What the HEIF input's frame reading shares between heif_input.cpp (pictures as pages, over
// libheif) and avif_frames.cpp (AVIF sequences, over libavif, where the build has it).
#pragma once

#include <memory>

#include "faltrix/kit/frames.h"
#include "faltrix/plugin.h"

namespace faltrix::heif {

// The primary picture, as GetPictureDIB gives it, and its size, as GetPictureInfo does.
HBITMAP DecodePrimary(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
                      DibAllocCallbackFn alloc);
bool ReadPrimarySize(const WCHAR *path, PictureInfo *info);

// What the primary picture's samples are: its depth beyond 8 bits (0 for 8) and whether it
// has alpha. False, with the cause recorded, when the file cannot be read.
bool ReadPrimaryDepth(const WCHAR *path, int32_t *deepBits, bool *alpha);
// The primary picture at full depth into the host's memory, as RGB or RGBA (`channels`)
// scaled from `deepBits` bits, its colour and blocks noted. False, with the cause recorded,
// on failure.
bool DecodePrimarySamples(const WCHAR *path, int32_t channels, int32_t deepBits,
                          kit::SampleTarget &target, ProgressCallbackFn progress, int32_t data);

// Decoded RGB or RGBA samples (`from` channels) of `bits` bits, one byte each up to 8 bits,
// else two in the machine's order, put at the top-left of view (RGB or RGBA) widened to 16
// bits: opaque where the picture has no alpha, transparent (or white without alpha) where it
// does not reach. Values past `bits` bits are taken as the largest.
void WidenOnto(const kit::SampleView &view, const uint8_t *pixels, size_t stride, int32_t width,
               int32_t height, int32_t from, int32_t bits);

// The sequence of an AVIF file with one (frame 1 the primary picture); null, with no cause
// recorded, for any other file.
std::unique_ptr<kit::FrameReader> OpenAvifSequence(const WCHAR *path, kit::Sequence *out);

}  // namespace faltrix::heif
