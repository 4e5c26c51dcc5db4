// What the JPEG XL plug-ins share: their information answers, with the libjxl found at run
// time in the description, and the thread pool libjxl spreads its work over.
#pragma once

#include <jxl/thread_parallel_runner.h>

#include "faltrix/kit/kit.h"

namespace faltrix::jxl {

// "JPEG XL (libjxl 0.7.0)", patterns *.jxl.
kit::FormatInfo Format();

// The cores this process may run on (its CPU affinity), at least 1.
size_t Cores();

// libjxl's thread pool with a worker per core, destroyed with the guard; null runner when it
// cannot be made (libjxl then works on the calling thread).
struct RunnerGuard {
    void *runner = JxlThreadParallelRunnerCreate(nullptr, Cores());
    RunnerGuard() = default;
    ~RunnerGuard() {
        if (runner) JxlThreadParallelRunnerDestroy(runner);
    }
    RunnerGuard(const RunnerGuard &) = delete;
    RunnerGuard &operator=(const RunnerGuard &) = delete;
};

}  // namespace faltrix::jxl
