// The libFuzzer target of every input plug-in: each input is written to a memory file and
// taken through IsSupported, GetPictureInfo, GetPictureDIB and GetPictureMetadata, as a
// conversion job would, and, where the plug-in gives frames, through OpenFrames, every
// GetFrameDIB and CloseFrames, and for a deep file once more through GetFrameSamples; a
// plug-in that renders at a size opens its frames at another size too (OpenFramesAtSize).
// The plug-in's sources are compiled into its target, so its entry points are plain calls.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "faltrix/plugin.h"

// The frame calls are optional: weak, so that a plug-in without them links all the same.
#pragma weak OpenFrames
#pragma weak GetFrameDIB
#pragma weak CloseFrames
#pragma weak GetFrameSamples
#pragma weak OpenFramesAtSize

namespace faltrix::fuzz {

// One file per fuzzing process: a memory file, named by its descriptor under /proc/self/fd,
// which the plug-in opens again as a regular file. The name is the same in every run (a
// temporary file's random name is not): the plug-in compares the path's bytes as it converts
// them, libFuzzer takes compared bytes into its mutations, and a name that differed would
// make two runs from the same seed fuzz differently.
int InputDescriptor() {
    static const int fd = [] {
        const int d = memfd_create("faltrix-fuzz", MFD_CLOEXEC);
        if (d < 0) abort();
        return d;
    }();
    return fd;
}

const std::u16string &InputPath() {
    static const std::u16string path = [] {
        const std::string s = "/proc/self/fd/" + std::to_string(InputDescriptor());
        return std::u16string(s.begin(), s.end());
    }();
    return path;
}

int32_t IgnoreProgress(int32_t, int32_t, int32_t) { return 1; }

// A bitmap of the size promised, deleted: anything else ends the run.
void ExpectSize(HBITMAP bitmap, int32_t width, int32_t height) {
    BITMAP bm;
    if (GetObjectW(bitmap, sizeof bm, &bm) != static_cast<int>(sizeof bm) || bm.bmWidth != width ||
        bm.bmHeight != height)
        abort();
    DeleteObject(bitmap);
}

// Every item is read to its last byte, as the host copies it.
void ReadItem(void *, const char *, const void *bytes, int32_t size) {
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < size; ++i) sum += static_cast<const uint8_t *>(bytes)[i];
}

// The first 16 frames, each of the canvas's size, while all of them together stay within one
// picture's pixel limit: the host takes more, but a sequence that large takes longer than a
// fuzzing run may under the sanitizers, and is no different in kind.
void WalkFrames(const std::u16string &path) {
    if (&OpenFrames == nullptr || &GetFrameDIB == nullptr || &CloseFrames == nullptr) return;
    FrameSequenceInfo info{sizeof(FrameSequenceInfo), 0, 0, 0, 0, 0, 0, {}};
    void *reader = nullptr;
    if (OpenFrames(path.c_str(), &info, &reader) != 0) return;
    const uint64_t pixels = uint64_t(info.width) * uint64_t(info.height);
    if (info.frameCount <= FALTRIX_MAX_FRAMES &&
        pixels * uint64_t(info.frameCount) <= FALTRIX_MAX_PICTURE_PIXELS) {
        for (int32_t k = 0; k < info.frameCount && k < 16; ++k) {
            FrameInfo frame{sizeof(FrameInfo), 0, {}};
            HBITMAP bitmap = GetFrameDIB(reader, k, &frame, IgnoreProgress, 0, CreateDIBSection);
            if (!bitmap) break;
            ExpectSize(bitmap, info.width, info.height);
        }
    }
    CloseFrames(reader);
}

// A drawing's or document's first frame rendered at another size, as a conversion that
// resizes asks for it.
void WalkFramesAtSize(const std::u16string &path) {
    if (&OpenFramesAtSize == nullptr || &GetFrameDIB == nullptr || &CloseFrames == nullptr) return;
    FrameSequenceInfo info{sizeof(FrameSequenceInfo), 0, 0, 0, 0, 0, 0, {}};
    void *reader = nullptr;
    if (OpenFramesAtSize(path.c_str(), 37, 23, &info, &reader) != 0) return;
    if (info.width != 37 || info.height != 23) abort();
    FrameInfo frame{sizeof(FrameInfo), 0, {}};
    if (HBITMAP bitmap = GetFrameDIB(reader, 0, &frame, IgnoreProgress, 0, CreateDIBSection))
        ExpectSize(bitmap, 37, 23);
    CloseFrames(reader);
}

// Memory of the exact size for a deep frame, so that a write past it is caught; released by
// the walk below.
void *ExactSamples(SamplePicture *picture) {
    if (picture->channels < 1 || picture->channels > 4 || picture->bits != 16) return nullptr;
    picture->stride = int64_t(picture->width) * picture->channels * 2;
    picture->data = malloc(size_t(picture->stride) * size_t(picture->height));
    return picture->data;
}

// A deep file's frames once more at full depth, as the job reads them for a deep output.
void WalkDeepFrames(const std::u16string &path) {
    if (&OpenFrames == nullptr || &CloseFrames == nullptr || &GetFrameSamples == nullptr) return;
    FrameSequenceInfo info{sizeof(FrameSequenceInfo), 0, 0, 0, 0, 0, 0, {}};
    void *reader = nullptr;
    if (OpenFrames(path.c_str(), &info, &reader) != 0) return;
    const uint64_t pixels = uint64_t(info.width) * uint64_t(info.height);
    if (info.sampleBits > 8 && info.frameCount <= FALTRIX_MAX_FRAMES &&
        pixels * uint64_t(info.frameCount) <= FALTRIX_MAX_PICTURE_PIXELS / 4) {
        int32_t channels = 0;
        for (int32_t k = 0; k < info.frameCount && k < 16; ++k) {
            FrameInfo frame{sizeof(FrameInfo), 0, {}};
            SamplePicture picture{
                sizeof(SamplePicture), info.width, info.height, 0, 0, 0, 0, nullptr, nullptr, {}};
            const int32_t answer =
                GetFrameSamples(reader, k, &frame, &picture, IgnoreProgress, 0, ExactSamples);
            free(picture.data);
            if (answer != 0) break;
            // Every frame of a file has the same channels, and a frame has memory.
            if (picture.data == nullptr || (channels != 0 && picture.channels != channels)) abort();
            channels = picture.channels;
        }
    }
    CloseFrames(reader);
}

int RunInputPlugin(const uint8_t *data, size_t size) {
    const std::u16string &path = InputPath();
    const int fd = InputDescriptor();
    if (ftruncate(fd, 0) != 0 || (size && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        abort();

    IsSupported(path.c_str(), 0, 0);
    PictureInfo info;
    const int32_t infoResult = GetPictureInfo(path.c_str(), 0, 0, &info);
    HBITMAP bitmap = GetPictureDIB(path.c_str(), 0, 0, IgnoreProgress, 0, CreateDIBSection);
    if (bitmap) {
        // A decoded picture has the size its header promised.
        if (infoResult != 0) abort();
        ExpectSize(bitmap, info.width, info.height);
        GetPictureMetadata(path.c_str(), ReadItem, nullptr);
    }
    WalkFrames(path);
    WalkDeepFrames(path);
    WalkFramesAtSize(path);
    return 0;
}

}  // namespace faltrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return faltrix::fuzz::RunInputPlugin(data, size);
}
