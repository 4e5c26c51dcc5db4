// The libFuzzer target of every input plug-in: each input is written to a memory file and
// taken through IsSupported, GetPictureInfo, GetPictureDIB and GetPictureMetadata, then,
// where the plug-in has them, through the frame calls, as a conversion job would.
// The plug-in's sources are compiled into its target, so its entry points are plain calls.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "faltrix/plugin.h"

extern "C" {
__attribute__((weak)) int32_t OpenFrames(const WCHAR *path, FrameSequenceInfo *info, void **reader);
__attribute__((weak)) HBITMAP GetFrameDIB(void *reader, int32_t index, FrameInfo *frame,
                                          ProgressCallbackFn progress, int32_t data,
                                          DibAllocCallbackFn alloc);
__attribute__((weak)) void CloseFrames(void *reader);
}

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

// Every item is read to its last byte, as the host copies it.
void ReadItem(void *, const char *, const void *bytes, int32_t size) {
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < size; ++i) sum += static_cast<const uint8_t *>(bytes)[i];
}

// The frames of a plug-in that has the frame calls (weak: the others link without them), in
// order, up to a few, then closed, as a conversion job reads them. Every frame has the canvas's
// size.
void ReadFrames(const std::u16string &path) {
    if (!OpenFrames || !GetFrameDIB || !CloseFrames) return;
    FrameSequenceInfo info{};
    info.size = sizeof info;
    void *reader = nullptr;
    if (OpenFrames(path.c_str(), &info, &reader) != 0) return;
    constexpr int32_t kMostFrames = 16;
    for (int32_t k = 0; k < info.frameCount && k < kMostFrames; ++k) {
        FrameInfo frame{};
        frame.size = sizeof frame;
        HBITMAP bitmap = GetFrameDIB(reader, k, &frame, IgnoreProgress, 0, CreateDIBSection);
        if (!bitmap) break;
        BITMAP bm;
        if (GetObjectW(bitmap, sizeof bm, &bm) != static_cast<int>(sizeof bm) ||
            bm.bmWidth != info.width || bm.bmHeight != info.height)
            abort();
        DeleteObject(bitmap);
    }
    CloseFrames(reader);
    GetPictureMetadata(path.c_str(), ReadItem, nullptr);
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
        BITMAP bm;
        if (infoResult != 0 || GetObjectW(bitmap, sizeof bm, &bm) != static_cast<int>(sizeof bm) ||
            bm.bmWidth != info.width || bm.bmHeight != info.height)
            abort();
        DeleteObject(bitmap);
        GetPictureMetadata(path.c_str(), ReadItem, nullptr);
    }
    ReadFrames(path);
    return 0;
}

}  // namespace faltrix::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return faltrix::fuzz::RunInputPlugin(data, size);
}
