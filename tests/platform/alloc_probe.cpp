#include "alloc_probe.h"

#include <atomic>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FALTRIX_WATCH_CALLOC 0
#else
#define FALTRIX_WATCH_CALLOC 1
#endif

namespace {
std::atomic<size_t> largest{0};
}

#if FALTRIX_WATCH_CALLOC
extern "C" void *__libc_calloc(size_t count, size_t size);

// Interposes calloc for the whole process (the graphics library included) and passes every
// request on to the C library's own.
extern "C" void *calloc(size_t count, size_t size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) bytes = static_cast<size_t>(-1);
    size_t seen = largest.load(std::memory_order_relaxed);
    while (bytes > seen && !largest.compare_exchange_weak(seen, bytes, std::memory_order_relaxed)) {
    }
    return __libc_calloc(count, size);
}
#endif

namespace faltrix::test {

void ResetLargestCalloc() { largest.store(0); }
size_t LargestCalloc() { return largest.load(); }

}  // namespace faltrix::test
