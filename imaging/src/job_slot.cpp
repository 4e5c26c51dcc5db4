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

// The thread of the last job started. A job frees the slot just before its thread returns, and
// what the thread still does then (its captures destroyed, its own clean-up) must not run on
// into whatever comes next: the thread is joined when the next job starts and at the program's
// exit, where a thread half-way through its end races with the clean-up there.
class LastJobThread {
public:
    LastJobThread() = default;
    LastJobThread(const LastJobThread &) = delete;
    LastJobThread &operator=(const LastJobThread &) = delete;
    // Called with the slot held, so the previous job has freed it and its thread is ending.
    void Replace(std::thread next) {
        if (thread_.joinable()) thread_.join();
        thread_ = std::move(next);
    }
    // At exit, a job that still runs keeps running detached, as it would without this object;
    // the job's own thread never waits for itself.
    ~LastJobThread() {
        if (!thread_.joinable()) return;
        if (!JobRunning() && thread_.get_id() != std::this_thread::get_id()) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }

private:
    std::thread thread_;
};
LastJobThread g_last_thread;

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
        // The slot tells when the job has ended; the thread itself is joined later.
        g_last_thread.Replace(std::thread([job = std::move(job)] {
            job();
            Release();
        }));
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
