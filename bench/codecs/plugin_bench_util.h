// What the JPEG, TIFF and WebP benchmarks share: the 24-bit 6000 x 4000 picture, the plug-ins
// loaded as the host loads them, a DC holding the picture for SaveDIBPicture, the runs through
// the plug-ins and main().
#pragma once

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "faltrix/plugin.h"

namespace faltrix::bench {

inline constexpr int kWidth = 6000;
inline constexpr int kHeight = 4000;
// Bytes of one row of the picture, padded to 4.
inline constexpr size_t kStride = (static_cast<size_t>(kWidth) * 3 + 3) & ~size_t{3};

// A photograph-like picture: smooth gradients with a little noise and a few sharp edges, as
// a top-down 24-bit DIB section.
struct BenchPicture {
    HBITMAP bitmap = nullptr;
    uint8_t *bits = nullptr;
    size_t stride = 0;
    HDC dc = nullptr;

    BenchPicture() {
        struct {
            BITMAPINFOHEADER h;
        } bmi{};
        bmi.h.biSize = sizeof(BITMAPINFOHEADER);
        bmi.h.biWidth = kWidth;
        bmi.h.biHeight = -kHeight;
        bmi.h.biPlanes = 1;
        bmi.h.biBitCount = 24;
        bmi.h.biXPelsPerMeter = bmi.h.biYPelsPerMeter = 2835;
        void *p = nullptr;
        bitmap = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO *>(&bmi), DIB_RGB_COLORS, &p,
                                  nullptr, 0);
        if (!bitmap) std::abort();
        bits = static_cast<uint8_t *>(p);
        stride = kStride;
        uint32_t seed = 1;
        for (int y = 0; y < kHeight; ++y) {
            uint8_t *row = bits + stride * static_cast<size_t>(y);
            for (int x = 0; x < kWidth; ++x) {
                seed = seed * 1103515245 + 12345;
                const int noise = static_cast<int>((seed >> 16) & 15) - 8;
                const bool edge = ((x / 300) + (y / 300)) & 1;
                auto clamp = [](int v) {
                    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
                };
                row[3 * x] = clamp(x * 255 / kWidth + noise);
                row[3 * x + 1] = clamp(y * 255 / kHeight + noise);
                row[3 * x + 2] = clamp((edge ? 200 : 60) + noise);
            }
        }
        dc = CreateCompatibleDC(nullptr);
        SelectObject(dc, bitmap);
    }
    ~BenchPicture() {
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    const uint8_t *Row(int y) const { return bits + stride * static_cast<size_t>(y); }
};

inline const BenchPicture &Picture() {
    static const BenchPicture picture;
    return picture;
}

// The plug-in library, loaded once and kept.
inline void *Library(const char *path) {
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        std::abort();
    }
    return h;
}
template <class Fn>
Fn Entry(void *library, const char *name) {
    auto fn = reinterpret_cast<Fn>(dlsym(library, name));
    if (!fn) std::abort();
    return fn;
}

inline std::u16string U16(const std::string &s) { return std::u16string(s.begin(), s.end()); }

// A file beside the others of this run, in the folder the benchmark runs in (not /tmp,
// which may be memory), so that both sides write to the same disk.
inline std::string BenchFile(const std::string &name) {
    return "faltrix-bench-" + std::to_string(getpid()) + "-" + name;
}

inline int32_t NoProgress(int32_t, int32_t, int32_t) { return 1; }

// One format's input and output plug-ins, and the file both decoders read: the picture
// stored by the output plug-in with its default settings.
struct CodecPlugins {
    void *input;
    void *output;
    std::string extension;  // "jpg": names this run's files
    std::string encodedFile;

    CodecPlugins(const char *inputPath, const char *outputPath, std::string ext)
        : input(Library(inputPath)), output(Library(outputPath)), extension(std::move(ext)) {
        encodedFile = BenchFile("input." + extension);
        auto save = Entry<SaveDIBPictureFn>(output, "SaveDIBPicture");
        if (save(Picture().dc, U16(encodedFile).c_str(), 0, 0, NoProgress, 0) != 0) std::abort();
    }
};

// Decodes the encoded file through the input plug-in.
inline void DecodeThroughPlugin(benchmark::State &state, const CodecPlugins &plugins) {
    auto decode = Entry<GetPictureDIBFn>(plugins.input, "GetPictureDIB");
    const std::u16string path = U16(plugins.encodedFile);
    for (auto _ : state) {
        HBITMAP b = decode(path.c_str(), 0, 0, NoProgress, 0, CreateDIBSection);
        if (!b) state.SkipWithError("decode failed");
        DeleteObject(b);
    }
}

// Stores the picture through the output plug-in with its default settings.
inline void EncodeThroughPlugin(benchmark::State &state, const CodecPlugins &plugins) {
    auto save = Entry<SaveDIBPictureFn>(plugins.output, "SaveDIBPicture");
    const std::string file = BenchFile("plugin." + plugins.extension);
    const std::u16string path = U16(file);
    for (auto _ : state)
        if (save(Picture().dc, path.c_str(), 0, 0, NoProgress, 0) != 0)
            state.SkipWithError("store failed");
    std::remove(file.c_str());
}

// main(): the plug-ins loaded and the encoded file written before any timing, removed after.
inline int RunBenchmarks(int argc, char **argv, const CodecPlugins &(*plugins)()) {
    benchmark::Initialize(&argc, argv);
    const std::string encoded = plugins().encodedFile;
    benchmark::RunSpecifiedBenchmarks();
    std::remove(encoded.c_str());
    return 0;
}

}  // namespace faltrix::bench
