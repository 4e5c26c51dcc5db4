#include "job_slot.h"

#include <condition_variable>
#include <mutex>
#include <exception>
#include <thread>
#include <utility>

#include "faltrix/conversion_job.h"

namespace faltrix {
namespace {

std::mutex g_mutex;
std::condition_variable g_ended;
bool g_running = false;
std::function<void()> g_endedHandler;

}  // namespace

namespace job_slot {

bool TryAcquire() {
    std::lock_guard lock(g_mutex);
    if (g_running) return false;
    g_running = true;
    return true;
}

void Acquire() {
    std::unique_lock lock(g_mutex);
    g_ended.wait(lock, [] { return !g_running; });
    g_running = true;
}

void Release(bool jobRan) {
    std::function<void()> handler;
    {
        std::lock_guard lock(g_mutex);
        g_running = false;
        handler = g_endedHandler;
    }
    g_ended.notify_all();
    if (jobRan && handler) handler();
}

bool StartThread(std::function<void()> job) {
    try {
        // Nothing waits for the thread itself: the slot tells when the job has ended.
        std::thread([job = std::move(job)] {
            job();
            Release();
        }).detach();
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

}  // namespace job_slot

bool JobRunning() {
    std::lock_guard lock(g_mutex);
    return g_running;
}

void WaitForJobEnd() {
    std::unique_lock lock(g_mutex);
    g_ended.wait(lock, [] { return !g_running; });
}

void SetJobEndedHandler(std::function<void()> handler) {
    std::lock_guard lock(g_mutex);
    g_endedHandler = std::move(handler);
}

}  // namespace faltrix
