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

// The sequence of an AVIF file with one (frame 1 the primary picture); null, with no cause
// recorded, for any other file.
std::unique_ptr<kit::FrameReader> OpenAvifSequence(const WCHAR *path, kit::Sequence *out);

}  // namespace faltrix::heif
