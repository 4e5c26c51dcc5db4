// The kit's side of the frame entry points: records checked and copied field by field, within
// the size their filler gave, and nothing thrown across the interface.
#include "faltrix/kit/frames.h"

#include <cstddef>
#include <new>
#include <type_traits>

#include "faltrix/kit/kit.h"
#include "faltrix/kit/metadata.h"

namespace faltrix::kit {
namespace {

// Whether a record of `size` bytes, as its filler knows it, has the field ending at `end`.
bool Holds(int32_t size, size_t end) { return size >= 0 && size_t(size) >= end; }

#define FALTRIX_KIT_HOLDS_(record, field) \
    Holds((record).size,                  \
          offsetof(std::remove_reference_t<decltype(record)>, field) + sizeof(int32_t))

void FillInfo(const Sequence &sequence, FrameSequenceInfo *info) {
    if (FALTRIX_KIT_HOLDS_(*info, width)) info->width = sequence.width;
    if (FALTRIX_KIT_HOLDS_(*info, height)) info->height = sequence.height;
    if (FALTRIX_KIT_HOLDS_(*info, frameCount)) info->frameCount = sequence.frameCount;
    if (FALTRIX_KIT_HOLDS_(*info, loopCount)) info->loopCount = sequence.loopCount;
    if (FALTRIX_KIT_HOLDS_(*info, kind)) info->kind = sequence.kind;
    if (FALTRIX_KIT_HOLDS_(*info, sampleBits)) info->sampleBits = sequence.sampleBits;
}

Sequence ReadInfo(const FrameSequenceInfo &info) {
    Sequence sequence;
    if (FALTRIX_KIT_HOLDS_(info, width)) sequence.width = info.width;
    if (FALTRIX_KIT_HOLDS_(info, height)) sequence.height = info.height;
    if (FALTRIX_KIT_HOLDS_(info, frameCount)) sequence.frameCount = info.frameCount;
    if (FALTRIX_KIT_HOLDS_(info, loopCount)) sequence.loopCount = info.loopCount;
    if (FALTRIX_KIT_HOLDS_(info, kind)) sequence.kind = info.kind;
    if (FALTRIX_KIT_HOLDS_(info, sampleBits)) sequence.sampleBits = info.sampleBits;
    return sequence;
}

int32_t DelayOf(const FrameInfo *frame) {
    return frame != nullptr && FALTRIX_KIT_HOLDS_(*frame, delay) ? frame->delay : 0;
}

}  // namespace

namespace {

// OpenFrames' and OpenFramesAtSize's work: open(&sequence) makes the reader.
template <class Open>
int32_t OpenReader(const WCHAR *path, FrameSequenceInfo *info, void **reader, Open open) {
    return Guarded(1, [&] {
        if (info == nullptr || reader == nullptr) return Fail("no record to fill", 1);
        *reader = nullptr;
        // What opening notes (a profile in the header) goes with the first frame.
        BeginNotingMetadata(path);
        Sequence sequence;
        std::unique_ptr<FrameReader> made = open(&sequence);
        if (!made) {
            ForgetNotedMetadata();
            return 1;
        }
        if (sequence.frameCount < 1 || !WithinLimits(sequence.width, sequence.height) ||
            sequence.sampleBits < 0 || sequence.sampleBits > FALTRIX_SAMPLES_MAX_BITS) {
            ForgetNotedMetadata();
            return Fail("the file's frame count or canvas is out of bounds", 1);
        }
        FillInfo(sequence, info);
        *reader = made.release();
        return 0;
    });
}

}  // namespace

int32_t AnswerOpenFrames(const WCHAR *path, FrameSequenceInfo *info, void **reader,
                         std::unique_ptr<FrameReader> (*open)(const WCHAR *path, Sequence *out)) {
    return OpenReader(path, info, reader, [&](Sequence *out) { return open(path, out); });
}

int32_t AnswerOpenFramesAtSize(const WCHAR *path, int32_t width, int32_t height,
                               FrameSequenceInfo *info, void **reader,
                               std::unique_ptr<FrameReader> (*open)(const WCHAR *path,
                                                                    int32_t width, int32_t height,
                                                                    Sequence *out)) {
    return OpenReader(path, info, reader, [&](Sequence *out) -> std::unique_ptr<FrameReader> {
        if (!WithinLimits(width, height)) return nullptr;
        std::unique_ptr<FrameReader> made = open(path, width, height, out);
        // The canvas is the one asked for, whatever the format would make of it.
        if (made && (out->width != width || out->height != height))
            return Fail<std::unique_ptr<FrameReader>>("the frames came at another size than asked",
                                                      nullptr);
        return made;
    });
}

HBITMAP AnswerGetFrameDIB(void *reader, int32_t index, FrameInfo *frame,
                          ProgressCallbackFn progress, int32_t data, DibAllocCallbackFn alloc) {
    return Guarded(static_cast<HBITMAP>(nullptr), [&]() -> HBITMAP {
        if (reader == nullptr || index < 0) return Fail<HBITMAP>("no such frame", nullptr);
        int32_t delay = 0;
        HBITMAP bitmap =
            static_cast<FrameReader *>(reader)->Read(index, &delay, progress, data, alloc);
        if (bitmap != nullptr && frame != nullptr && FALTRIX_KIT_HOLDS_(*frame, delay))
            frame->delay = delay;
        return bitmap;
    });
}

void AnswerCloseFrames(void *reader) { delete static_cast<FrameReader *>(reader); }

int32_t AnswerBeginFrames(const WCHAR *path, const FrameSequenceInfo *info, void **writer,
                          std::unique_ptr<FrameWriter> (*begin)(const WCHAR *path,
                                                                const Sequence &sequence)) {
    return Guarded(1, [&] {
        if (info == nullptr || writer == nullptr) return Fail("no sequence to write", 1);
        *writer = nullptr;
        const Sequence sequence = ReadInfo(*info);
        if (sequence.frameCount < 1 || sequence.width < 1 || sequence.height < 1)
            return Fail("the sequence announced has no frames or no canvas", 1);
        if (sequence.sampleBits < 0 || sequence.sampleBits > FALTRIX_SAMPLES_MAX_BITS)
            return Fail("the sequence announced has samples of an unknown depth", 1);
        std::unique_ptr<FrameWriter> made = begin(path, sequence);
        if (!made) return 1;
        *writer = made.release();
        return 0;
    });
}

int32_t AnswerAddFrame(void *writer, HDC dc, const FrameInfo *frame, ProgressCallbackFn progress,
                       int32_t data) {
    return Guarded(1, [&] {
        if (writer == nullptr) return Fail("no sequence begun", 1);
        return static_cast<FrameWriter *>(writer)->Add(dc, DelayOf(frame), progress, data) ? 0 : 1;
    });
}

int32_t AnswerEndFrames(void *writer, int32_t complete) {
    return Guarded(1, [&] {
        std::unique_ptr<FrameWriter> owned(static_cast<FrameWriter *>(writer));
        if (!owned) return Fail("no sequence begun", 1);
        return complete != 0 && owned->Finish() ? 0 : 1;
    });
}

SampleView SampleTarget::Allocate(int32_t channels, int32_t significantBits) {
    SampleView view;
    if (picture_ == nullptr || alloc_ == nullptr) {
        Fail("no memory given for the samples", 0);
        return view;
    }
    picture_->channels = channels;
    picture_->bits = 16;
    picture_->significantBits = significantBits;
    if (alloc_(picture_) == nullptr || picture_->data == nullptr) {
        Fail("the host gave no memory for the samples", 0);
        return view;
    }
    view.width = picture_->width;
    view.height = picture_->height;
    view.channels = channels;
    view.significantBits = significantBits;
    view.stride = picture_->stride;
    view.data = static_cast<uint16_t *>(picture_->data);
    return view;
}

bool FrameReader::ReadSamples(int32_t, int32_t *, ProgressCallbackFn, int32_t, SampleTarget &) {
    return Fail("this reader gives 8-bit frames only", false);
}

bool FrameWriter::AddSamples(const SampleView &, int32_t, ProgressCallbackFn, int32_t) {
    return Fail("this output takes 8-bit frames only", false);
}

int32_t AnswerGetFrameSamples(void *reader, int32_t index, FrameInfo *frame, SamplePicture *picture,
                              ProgressCallbackFn progress, int32_t data,
                              SampleAllocCallbackFn alloc) {
    return Guarded(1, [&] {
        if (reader == nullptr || index < 0) return Fail("no such frame", 1);
        if (picture == nullptr || alloc == nullptr || picture->size < int32_t(sizeof *picture))
            return Fail("no sample record to fill", 1);
        SampleTarget target(picture, alloc);
        int32_t delay = 0;
        if (!static_cast<FrameReader *>(reader)->ReadSamples(index, &delay, progress, data, target))
            return 1;
        if (frame != nullptr && FALTRIX_KIT_HOLDS_(*frame, delay)) frame->delay = delay;
        return 0;
    });
}

int32_t AnswerAddFrameSamples(void *writer, const SamplePicture *picture, const FrameInfo *frame,
                              ProgressCallbackFn progress, int32_t data) {
    return Guarded(1, [&] {
        if (writer == nullptr) return Fail("no sequence begun", 1);
        if (picture == nullptr || picture->data == nullptr || picture->bits != 16 ||
            picture->channels < 1 || picture->channels > 4 || picture->width < 1 ||
            picture->height < 1 || picture->significantBits < 1 || picture->significantBits > 16 ||
            picture->stride < int64_t(picture->width) * picture->channels * 2)
            return Fail("the deep frame handed over is not one this writer reads", 1);
        const SampleView view{picture->width,    picture->height,
                              picture->channels, picture->significantBits,
                              picture->stride,   static_cast<uint16_t *>(picture->data)};
        return static_cast<FrameWriter *>(writer)->AddSamples(view, DelayOf(frame), progress, data)
                   ? 0
                   : 1;
    });
}

HBITMAP DecodeFirstFrame(const WCHAR *path, ProgressCallbackFn progress, int32_t data,
                         DibAllocCallbackFn alloc,
                         std::unique_ptr<FrameReader> (*open)(const WCHAR *path, Sequence *out)) {
    Sequence sequence;
    const std::unique_ptr<FrameReader> reader = open(path, &sequence);
    int32_t delay = 0;
    return reader ? reader->Read(0, &delay, progress, data, alloc) : nullptr;
}

}  // namespace faltrix::kit
