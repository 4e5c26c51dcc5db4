#include "job_slot.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "faltrix/conversion_job.h"

namespace faltrix {
namespace {

std::mutex g_mutex;
std::condition_variable g_ended;
bool g_running = false;

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

void Release() {
    {
        std::lock_guard lock(g_mutex);
        g_running = false;
    }
    g_ended.notify_all();
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

bool StartJob(const ControlSet &controls, const std::function<void()> &write,
              std::function<void()> job) {
    if (!TryAcquire()) return false;
    write();
    EnableControlSet(controls, false);
    if (StartThread(std::move(job))) return true;
    EnableControlSet(controls, true);
    Release();
    return false;
}

JobPath CopyJobPath(const char16_t (&buffer)[kPathBufferLength]) {
    JobPath copy{};
    std::copy(buffer, buffer + kPathBufferLength - 1, copy.begin());
    return copy;
}

}  // namespace job_slot

bool SetJobPath(char16_t (&buffer)[kPathBufferLength], std::u16string_view path) {
    if (path.size() > kPathBufferLength - 1) return false;
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = u'\0';
    return true;
}

bool JobRunning() {
    std::lock_guard lock(g_mutex);
    return g_running;
}

void WaitForJobEnd() {
    std::unique_lock lock(g_mutex);
    g_ended.wait(lock, [] { return !g_running; });
}

}  // namespace faltrix
