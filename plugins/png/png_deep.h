// Deep samples of 16-bit PNGs (faltrix/plugin.h, "deep samples"): what the reader of a still
// picture (png_input.cpp) and the reader of frames (apng_input.cpp) share. Palettes and
// greys of fewer bits stay 8-bit DIBs; a 16-bit file, of any colour type, gives 16-bit
// samples in the machine's order, its tRNS key made alpha.
#pragma once

#include <cstdio>

#include "faltrix/kit/frames.h"
#include "png_common.h"

namespace faltrix::png {

// The depth of a picture's samples when it has more than 8: the bits sBIT gives every channel
// when it gives them all the same 9 to 15, else 16; 0 for pictures of 8 bits or fewer. After
// png_read_info.
int DeepBits(png_structp png, png_infop info);

// The file's own channels: 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA; a tRNS chunk is alpha.
int FileChannels(png_structp png, png_infop info);

// libpng's transformations that give the rows as `channels` 16-bit samples in the machine's
// byte order: greys made RGB, and an opaque alpha added to a file without, as asked. Before
// png_read_update_info, within the caller's setjmp.
void SetDeepTransforms(png_structp png, png_infop info, int channels);

// Every sample of view made the nearest value of `bits` (below 16) widened again. A file
// written from that depth by another rule (bit replication) differs from kit::WidenSample
// in the last bits; this gives every reader of the samples the same exact values.
void SnapSamples(const kit::SampleView &view, int bits);

// The deep layout of the PNG in file, read from its header: *bits as DeepBits (0 for a file of
// 8 bits or fewer) and *channels as FileChannels. False, with the cause, when it cannot be read.
bool ReadDeepLayout(FILE *file, int *bits, int *channels);

// Decodes the PNG at path at full depth into the memory target gives, `channels` channels,
// turned upright as an eXIf before the pixels asks, and notes its items as the still picture's
// decoder does (without the reduction to 8 bits, which does not happen). Also frame 1 of the
// frames.
bool DecodeSamples(const WCHAR *path, int channels, kit::SampleTarget &target,
                   ProgressCallbackFn progress, int32_t data);

}  // namespace faltrix::png
