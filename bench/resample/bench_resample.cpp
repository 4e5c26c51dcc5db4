// AreaAverageResize on a 24-bit 6000 x 4000 picture, to 1500 x 1000 and to 1234 x 777, with
// the program's own progress callback (no front end installed), reported as megapixels of
// source per second of processor time (the machine may be shared: time on the processor is
// what a busy neighbour does not change). The picture is random, or read from the file named by
// FALTRIX_BENCH_PICTURE (6000 * 4000 * 3 bytes, rows top to bottom, B G R), which compare.sh
// shares with Pillow.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "faltrix/feedback.h"
#include "faltrix/resample.h"
#include "resample_kernel.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

HBITMAP Picture() {
    static HBITMAP picture = [] {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = kWidth;
        info.bmiHeader.biHeight = -kHeight;  // top-down, as the shared file's rows run
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        void *bits = nullptr;
        HBITMAP b = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (b == nullptr) std::abort();
        auto *p = static_cast<uint8_t *>(bits);
        const size_t bytes = size_t{kWidth} * 3 * kHeight;  // 18000 bytes a row: no padding
        bool loaded = false;
        if (const char *path = std::getenv("FALTRIX_BENCH_PICTURE")) {
            if (FILE *f = std::fopen(path, "rb")) {
                loaded = std::fread(p, 1, bytes, f) == bytes;
                std::fclose(f);
            }
            if (!loaded) std::fprintf(stderr, "cannot read %s; using a random picture\n", path);
        }
        if (!loaded) {
            std::mt19937 random(1);
            for (size_t i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(random());
        }
        return b;
    }();
    return picture;
}

void Resize(benchmark::State &state, bool generic) {
    const auto width = static_cast<double>(state.range(0));
    const auto height = static_cast<double>(state.range(1));
    HBITMAP source = Picture();
    faltrix::resample_detail::UseGenericKernel(generic);
    for (auto _ : state) {
        HBITMAP result = faltrix::AreaAverageResize(source, width / kWidth, height / kHeight,
                                                    faltrix::ProgressCallback);
        if (result == nullptr) state.SkipWithError("no result");
        benchmark::DoNotOptimize(result);
        DeleteObject(result);
    }
    faltrix::resample_detail::UseGenericKernel(false);
    state.counters["source_MP/s"] = benchmark::Counter(
        kWidth * double{kHeight} / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_AreaAverageResize(benchmark::State &state) { Resize(state, false); }
void BM_AreaAverageResizeGenericKernel(benchmark::State &state) { Resize(state, true); }

BENCHMARK(BM_AreaAverageResize)
    ->Args({1500, 1000})
    ->Args({1234, 777})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AreaAverageResizeGenericKernel)
    ->Args({1500, 1000})
    ->Args({1234, 777})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
