// What the GIF input's single-picture calls and its frame reader share: giflib's handle over
// an open file, the signature check and the colours of a file without a colour table.
#pragma once

#include <cstdio>
#include <memory>

#include "faltrix/kit/frames.h"
#include "gif_common.h"

namespace faltrix::gif {

// giflib's decoder over an open file, whose short reads keep their cause; closed on
// destruction.
struct Handle {
    GifFileType *gif = nullptr;
    int openError = 0;  // giflib's code when the file could not be opened
    explicit Handle(FILE *f);
    ~Handle();
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
};

// Reads the first six bytes; false, with the cause, unless they are GIF87a or GIF89a.
bool HasSignature(kit::InputFile &file);

// Records giflib's words for error as the cause; false.
bool GifFailed(int error);

// The colours of a file without a colour table: index i is grey i.
const ColorMapObject *GreyMap();

// The first frame on the logical screen (GetPictureDIB's picture).
HBITMAP Decode(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
               DibAllocCallbackFn alloc);

// The frame reader of gif_frames_input.cpp: counts the frames and finds the loop count
// without decoding any pixels.
std::unique_ptr<kit::FrameReader> OpenFrames(const WCHAR *path, kit::Sequence *out);

}  // namespace faltrix::gif
