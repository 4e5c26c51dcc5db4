// ProgressCallback as the resampler and the plug-ins use it: once per pixel, with a front end
// that forwards. Reports nanoseconds per call and how many calls reached the front end.
//
//   build-host/bin/bench_feedback
#include <benchmark/benchmark.h>

#include <atomic>

#include "faltrix/feedback.h"

namespace {

// Forwards by counting; the counter is what a real front end's work stands for.
class CountingFrontEnd : public faltrix::FeedbackFrontEnd {
public:
    void SetStatusText(std::u16string_view) override {}
    void SetProgressPosition(uint32_t position) override {
        forwarded.fetch_add(1, std::memory_order_relaxed);
        benchmark::DoNotOptimize(position);
    }
    void EnableControl(HWND, bool) override {}
    HWND ControlById(HWND, int) override { return nullptr; }
    void ShowMessage(std::u16string_view, std::u16string_view) override {}
    std::atomic<uint64_t> forwarded{0};
};

constexpr int32_t kCalls = 10'000'000;

// One job of 10 million pixels: done runs 1..total, as a per-pixel caller reports.
void BM_ProgressPerPixel(benchmark::State &state) {
    CountingFrontEnd frontEnd;
    faltrix::ScopedFrontEnd installed(&frontEnd);
    for (auto _ : state) {
        for (int32_t done = 1; done <= kCalls; ++done)
            benchmark::DoNotOptimize(faltrix::ProgressCallback(done, kCalls, 0));
        faltrix::ProgressCallback(0, 0, 0);  // the job resets the bar at its end
    }
    const double calls = static_cast<double>(state.iterations()) * kCalls;
    state.counters["ns_per_call"] =
        benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["forwarded_per_job"] =
        static_cast<double>(frontEnd.forwarded.load()) / static_cast<double>(state.iterations());
    state.counters["calls_per_job"] = kCalls;
}
BENCHMARK(BM_ProgressPerPixel)->Unit(benchmark::kMillisecond)->Iterations(3);

// The peer: the same calls with a front end that hears of every one (no change check), to
// show what the check saves. Measured side by side with the one above.
void BM_ForwardEveryCall(benchmark::State &state) {
    CountingFrontEnd frontEnd;
    faltrix::FeedbackFrontEnd *target = &frontEnd;
    benchmark::DoNotOptimize(target);
    for (auto _ : state) {
        for (int32_t done = 1; done <= kCalls; ++done) {
            target->SetProgressPosition(faltrix::ProgressPosition(done, kCalls));
        }
    }
    const double calls = static_cast<double>(state.iterations()) * kCalls;
    state.counters["ns_per_call"] =
        benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["forwarded_per_job"] =
        static_cast<double>(frontEnd.forwarded.load()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ForwardEveryCall)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
