// Frames (animations and pages) on the plug-in's side of OpenFrames ... CloseFrames and
// BeginFrames ... EndFrames (faltrix/plugin.h): a format implements a reader and a writer
// object; the macros FALTRIX_KIT_FRAMES_INPUT(ns) and FALTRIX_KIT_FRAMES_OUTPUT(ns) of
// entry_points.h export them, guarded, and carry the records across the interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "faltrix/kit/kit.h"
#include "faltrix/plugin.h"

namespace faltrix::kit {

// A file's frames as a format sees them; the records of the interface carry the same.
struct Sequence {
    int32_t width = 0;
    int32_t height = 0;
    int32_t frameCount = 1;
    int32_t loopCount = 1;  // 0 for ever
    int32_t kind = FALTRIX_FRAMES_ANIMATION;
    // Bits per sample beyond 8: the file's depth a reader gives through ReadSamples, or the
    // depth a writer's frames come at through AddSamples. 0: 8-bit frames (DIBs).
    int32_t sampleBits = 0;
};

// A deep frame's 16-bit samples (faltrix/plugin.h, "deep samples"): channels interleaved,
// scaled to the whole 16-bit range from significantBits, rows top first, stride in bytes.
struct SampleView {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;  // 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA
    int32_t significantBits = 16;
    int64_t stride = 0;
    uint16_t *data = nullptr;

    uint16_t *Row(int32_t y) const {
        return reinterpret_cast<uint16_t *>(reinterpret_cast<uint8_t *>(data) + y * stride);
    }
};

// A sample of `bits` bits (0 .. 2^bits - 1) on the whole 16-bit range, and back, rounded.
inline uint16_t WidenSample(uint32_t value, int32_t bits) {
    const uint32_t top = (1u << bits) - 1;
    return static_cast<uint16_t>((uint64_t(value) * 65535 + top / 2) / top);
}
inline uint32_t NarrowSample(uint16_t value, int32_t bits) {
    const uint32_t top = (1u << bits) - 1;
    return static_cast<uint32_t>((uint64_t(value) * top + 32767) / 65535);
}

// Where a reader puts a deep frame: the host's memory, asked for once per frame.
class SampleTarget {
public:
    SampleTarget(SamplePicture *picture, SampleAllocCallbackFn alloc)
        : picture_(picture), alloc_(alloc) {}
    // The canvas's samples with `channels` channels scaled from `significantBits`; a view
    // with null data, the cause recorded, when the host refuses them.
    SampleView Allocate(int32_t channels, int32_t significantBits);

private:
    SamplePicture *picture_;
    SampleAllocCallbackFn alloc_;
};

// Reads frames of one file, in ascending order, on the thread that opened it.
class FrameReader {
public:
    virtual ~FrameReader() = default;
    // Frame `index` on the whole canvas, disposal and blending applied, allocated through
    // alloc; *delay gets its delay in milliseconds. Null, with the cause recorded, on failure.
    virtual HBITMAP Read(int32_t index, int32_t *delay, ProgressCallbackFn progress, int32_t data,
                         DibAllocCallbackFn alloc) = 0;
    // The same frame at full depth, for a reader whose Sequence said sampleBits: every sample
    // of target.Allocate(...) written. False, with the cause recorded, on failure.
    virtual bool ReadSamples(int32_t index, int32_t *delay, ProgressCallbackFn progress,
                             int32_t data, SampleTarget &target);
};

// The first frame of the file at path through `open`: GetPictureDIB of a format whose single
// picture is its first frame.
HBITMAP DecodeFirstFrame(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
                         DibAllocCallbackFn alloc,
                         std::unique_ptr<FrameReader> (*open)(const WCHAR *path, Sequence *out));

// ns::OpenFrames (or OpenFramesAtSize) over a reader whose `bool Open(path, args...)` reads
// the file's head into the Sequence among args: a new Reader, opened; null, with the cause
// Open recorded, when it fails.
template <class Reader, class... Args>
std::unique_ptr<FrameReader> OpenReader(const WCHAR *path, Args... args) {
    auto reader = std::make_unique<Reader>();
    if (!reader->Open(path, args...)) return nullptr;
    return reader;
}

// A format drawn from vectors, over its
// `std::unique_ptr<FrameReader> openAtSize(path, width, height, out)`: OpenFrames as frames of
// the natural size (width and height 0), and GetPictureDIB as the first of them.
template <auto openAtSize>
std::unique_ptr<FrameReader> OpenAtNaturalSize(const WCHAR *path, Sequence *out) {
    return openAtSize(path, 0, 0, out);
}
template <auto openAtSize>
HBITMAP DecodeAtNaturalSize(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
                            DibAllocCallbackFn alloc) {
    return DecodeFirstFrame(path, progress, data, alloc, OpenAtNaturalSize<openAtSize>);
}

// Writes a sequence into the host's temporary, on the thread that began it.
class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // Takes the picture selected in dc as the next frame; false with the cause recorded.
    virtual bool Add(HDC dc, int32_t delay, ProgressCallbackFn progress, int32_t data) = 0;
    // Takes a deep frame, for a writer begun with Sequence::sampleBits; false with the cause
    // recorded.
    virtual bool AddSamples(const SampleView &samples, int32_t delay, ProgressCallbackFn progress,
                            int32_t data);
    // Completes the file after the last frame; false with the cause recorded.
    virtual bool Finish() = 0;
};

// The start of ns::BeginFrames: a Writer made of the path as the bytes of the name on disk
// and args; null, with the cause recorded, when the path is unusable. What the writer needs
// to begin further is the caller's.
template <class Writer, class... Args>
std::unique_ptr<Writer> MakeWriter(const WCHAR *path, Args &&...args) {
    std::string target;
    if (!PathToBytes(path, &target)) return nullptr;
    return std::make_unique<Writer>(std::move(target), std::forward<Args>(args)...);
}

// The entry points' halves, for the macros.
int32_t AnswerOpenFrames(const WCHAR *path, FrameSequenceInfo *info, void **reader,
                         std::unique_ptr<FrameReader> (*open)(const WCHAR *path, Sequence *out));
int32_t AnswerOpenFramesAtSize(const WCHAR *path, int32_t width, int32_t height,
                               FrameSequenceInfo *info, void **reader,
                               std::unique_ptr<FrameReader> (*open)(const WCHAR *path,
                                                                    int32_t width, int32_t height,
                                                                    Sequence *out));
HBITMAP AnswerGetFrameDIB(void *reader, int32_t index, FrameInfo *frame,
                          ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc);
void AnswerCloseFrames(void *reader);
int32_t AnswerBeginFrames(const WCHAR *path, const FrameSequenceInfo *info, void **writer,
                          std::unique_ptr<FrameWriter> (*begin)(const WCHAR *path,
                                                                const Sequence &sequence));
int32_t AnswerAddFrame(void *writer, HDC dc, const FrameInfo *frame, ProgressCallbackFn progress,
                       int32_t data);
int32_t AnswerEndFrames(void *writer, int32_t complete);
int32_t AnswerGetFrameSamples(void *reader, int32_t index, FrameInfo *frame, SamplePicture *picture,
                              ProgressCallbackFn progress, int32_t data,
                              SampleAllocCallbackFn alloc);
int32_t AnswerAddFrameSamples(void *writer, const SamplePicture *picture, const FrameInfo *frame,
                              ProgressCallbackFn progress, int32_t data);

}  // namespace faltrix::kit
