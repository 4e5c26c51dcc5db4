// StretchBlt of a 24-bit 6000 x 4000 picture (72 MB) to 1500 x 1000 and to its own size,
// run beside a memcpy of the same 72 MB: the copy is the physical limit of the same-size
// case. Rates: MPix/s counts destination pixels (and source pixels, for the reduction).
//
//   bench_gdi --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "faltrix/dib_layout.h"
#include "faltrix/gdi.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

struct Picture {
    HBITMAP bitmap = nullptr;
    HDC dc = nullptr;
    uint8_t *bits = nullptr;

    Picture(int bitCount, int width, int height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = static_cast<WORD>(bitCount);
        void *p = nullptr;
        bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &p, nullptr, 0);
        bits = static_cast<uint8_t *>(p);
        dc = CreateCompatibleDC(nullptr);
        SelectObject(dc, bitmap);
        if (bits == nullptr) std::abort();
    }
    ~Picture() {
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
};

Picture &Source() {
    static Picture *source = [] {
        auto *p = new Picture(24, kWidth, kHeight);
        const size_t bytes = size_t{faltrix::DibStride(kWidth, 24)} * kHeight;
        uint32_t x = 12345;
        for (size_t i = 0; i < bytes; ++i) {
            x = x * 1664525u + 1013904223u;
            p->bits[i] = static_cast<uint8_t>(x >> 24);
        }
        return p;
    }();
    return *source;
}

void SetRates(benchmark::State &state, double dstPixels, double srcPixels) {
    const double n = static_cast<double>(state.iterations());
    state.counters["dst_MPix/s"] =
        benchmark::Counter(n * dstPixels / 1e6, benchmark::Counter::kIsRate);
    state.counters["src_MPix/s"] =
        benchmark::Counter(n * srcPixels / 1e6, benchmark::Counter::kIsRate);
}

void BM_StretchBlt_24_Reduce_6000x4000_to_1500x1000(benchmark::State &state) {
    Picture &src = Source();
    Picture dst(24, 1500, 1000);
    for (auto _ : state) {
        if (!StretchBlt(dst.dc, 0, 0, 1500, 1000, src.dc, 0, 0, kWidth, kHeight, SRCCOPY))
            std::abort();
        benchmark::ClobberMemory();
    }
    SetRates(state, 1500.0 * 1000, double{kWidth} * kHeight);
}

void BM_StretchBlt_24_SameSize_6000x4000(benchmark::State &state) {
    Picture &src = Source();
    Picture dst(24, kWidth, kHeight);
    for (auto _ : state) {
        if (!StretchBlt(dst.dc, 0, 0, kWidth, kHeight, src.dc, 0, 0, kWidth, kHeight, SRCCOPY))
            std::abort();
        benchmark::ClobberMemory();
    }
    SetRates(state, double{kWidth} * kHeight, double{kWidth} * kHeight);
    state.SetBytesProcessed(state.iterations() * int64_t{faltrix::DibStride(kWidth, 24)} * kHeight);
}

// The same copy into a top-down section: rows in the other memory order, copied one by one.
void BM_StretchBlt_24_SameSize_6000x4000_IntoTopDown(benchmark::State &state) {
    Picture &src = Source();
    Picture dst(24, kWidth, -kHeight);
    for (auto _ : state) {
        if (!StretchBlt(dst.dc, 0, 0, kWidth, kHeight, src.dc, 0, 0, kWidth, kHeight, SRCCOPY))
            std::abort();
        benchmark::ClobberMemory();
    }
    SetRates(state, double{kWidth} * kHeight, double{kWidth} * kHeight);
    state.SetBytesProcessed(state.iterations() * int64_t{faltrix::DibStride(kWidth, 24)} * kHeight);
}

void BM_Memcpy_SameBytes_72MB(benchmark::State &state) {
    Picture &src = Source();
    const size_t bytes = size_t{faltrix::DibStride(kWidth, 24)} * kHeight;
    std::vector<uint8_t> dst(bytes, 1);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.bits, bytes);
        benchmark::ClobberMemory();
    }
    SetRates(state, double{kWidth} * kHeight, double{kWidth} * kHeight);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

// The preview's case: 24 bits into the 32-bit screen format, fitted into 1500 x 1000.
void BM_StretchBlt_24_to_32_Reduce_6000x4000_to_1500x1000(benchmark::State &state) {
    Picture &src = Source();
    HBITMAP b = CreateCompatibleBitmap(nullptr, 1500, 1000);
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, b);
    for (auto _ : state) {
        if (!StretchBlt(dc, 0, 0, 1500, 1000, src.dc, 0, 0, kWidth, kHeight, SRCCOPY)) std::abort();
        benchmark::ClobberMemory();
    }
    SetRates(state, 1500.0 * 1000, double{kWidth} * kHeight);
    DeleteDC(dc);
    DeleteObject(b);
}

BENCHMARK(BM_StretchBlt_24_Reduce_6000x4000_to_1500x1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StretchBlt_24_SameSize_6000x4000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StretchBlt_24_SameSize_6000x4000_IntoTopDown)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_SameBytes_72MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StretchBlt_24_to_32_Reduce_6000x4000_to_1500x1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
