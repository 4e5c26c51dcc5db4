// Frames (animations and pages) on the plug-in's side of OpenFrames ... CloseFrames and
// BeginFrames ... EndFrames (faltrix/plugin.h): a format implements a reader and a writer
// object; the macros FALTRIX_KIT_FRAMES_INPUT(ns) and FALTRIX_KIT_FRAMES_OUTPUT(ns) of
// entry_points.h export them, guarded, and carry the records across the interface.
#pragma once

#include <cstdint>
#include <memory>

#include "faltrix/plugin.h"

namespace faltrix::kit {

// A file's frames as a format sees them; the records of the interface carry the same.
struct Sequence {
    int32_t width = 0;
    int32_t height = 0;
    int32_t frameCount = 1;
    int32_t loopCount = 1;  // 0 for ever
    int32_t kind = FALTRIX_FRAMES_ANIMATION;
};

// Reads frames of one file, in ascending order, on the thread that opened it.
class FrameReader {
public:
    virtual ~FrameReader() = default;
    // Frame `index` on the whole canvas, disposal and blending applied, allocated through
    // alloc; *delay gets its delay in milliseconds. Null, with the cause recorded, on failure.
    virtual HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                         DibAllocCallbackFn alloc) = 0;
};

// Writes a sequence into the host's temporary, on the thread that began it.
class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // Takes the picture selected in dc as the next frame; false with the cause recorded.
    virtual bool Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) = 0;
    // Completes the file after the last frame; false with the cause recorded.
    virtual bool Finish() = 0;
};

// The entry points' halves, for the macros.
int32_t AnswerOpenFrames(const WCHAR *path, FrameSequenceInfo *info, void **reader,
                         std::unique_ptr<FrameReader> (*open)(const WCHAR *path, Sequence *out));
HBITMAP AnswerGetFrameDIB(void *reader, int32_t index, FrameInfo *frame,
                          ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc);
void AnswerCloseFrames(void *reader);
int32_t AnswerBeginFrames(const WCHAR *path, const FrameSequenceInfo *info, void **writer,
                          std::unique_ptr<FrameWriter> (*begin)(const WCHAR *path,
                                                                const Sequence &sequence));
int32_t AnswerAddFrame(void *writer, HDC dc, const FrameInfo *frame, ProgressCallbackFn progress,
                       int32_t data);
int32_t AnswerEndFrames(void *writer, int32_t complete);

}  // namespace faltrix::kit
