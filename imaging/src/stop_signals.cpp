// The one handler of stop and fault signals; see stop_signals.h.
#include "faltrix/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <iterator>

namespace faltrix {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

bool IsStopSignal(int signal) { return signal == SIGINT || signal == SIGTERM || signal == SIGHUP; }

// The hooks, added from one thread and read by the handler: a slot's hook is written before
// the count that makes it visible.
struct Hook {
    std::atomic<StopHook> run{nullptr};
    std::atomic<bool> faults{false};
};
Hook g_hooks[4];
std::atomic<int> g_hookCount{0};

// Each handled signal's action before the handler took it over, by signal number; `taken`
// says which numbers the handler holds.
constexpr int kSignalNumbers = 32;
static_assert(SIGINT < kSignalNumbers && SIGTERM < kSignalNumbers && SIGHUP < kSignalNumbers &&
              SIGSEGV < kSignalNumbers && SIGBUS < kSignalNumbers && SIGILL < kSignalNumbers &&
              SIGFPE < kSignalNumbers && SIGABRT < kSignalNumbers);
struct sigaction g_before[kSignalNumbers];
std::atomic<bool> g_taken[kSignalNumbers];

volatile sig_atomic_t g_deferred = 0;  // the stop signal noted while deferring
std::atomic<bool> g_deferring{false};
int g_wakePipe[2] = {-1, -1};

void OnSignal(int signal, siginfo_t *info, void *) {
    const int saved = errno;
    const bool stop = IsStopSignal(signal);
    if (stop && g_deferring.load()) {
        if (g_deferred == 0) g_deferred = signal;
        const char byte = 1;
        (void)!::write(g_wakePipe[1], &byte, 1);
        errno = saved;
        return;
    }
    for (int i = 0; i < g_hookCount.load(std::memory_order_acquire); ++i) {
        if (stop || g_hooks[i].faults.load()) g_hooks[i].run.load()(signal);
    }
    ::sigaction(signal, &g_before[signal], nullptr);
    g_taken[signal].store(false);
    // A fault of the code happens again on return, now with the earlier action (which then
    // sees the fault's own details); any other signal is raised again, pending until this
    // handler returns.
    const bool fault = !stop && signal != SIGABRT;
    if (!fault || info == nullptr || info->si_code <= 0 || info->si_code == SI_KERNEL)
        ::raise(signal);
    errno = saved;
}

// Puts the handler in place for `signal`, keeping the action before, unless it holds the
// signal already or the signal is ignored.
void Take(int signal) {
    if (g_taken[signal].load()) return;
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) return;
    g_before[signal] = before;
    struct sigaction action {};
    action.sa_sigaction = OnSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    g_taken[signal].store(true);
    ::sigaction(signal, &action, nullptr);
}

}  // namespace

bool AddStopHook(StopHook hook, bool faults) {
    const int count = g_hookCount.load();
    bool known = false;
    for (int i = 0; i < count; ++i) {
        if (g_hooks[i].run.load() != hook) continue;
        known = true;
        if (faults) g_hooks[i].faults.store(true);
    }
    if (!known) {
        if (count == static_cast<int>(std::size(g_hooks))) return false;
        g_hooks[count].run.store(hook);
        g_hooks[count].faults.store(faults);
        g_hookCount.store(count + 1, std::memory_order_release);
    }
    for (int signal : kStopSignals) Take(signal);
    if (faults) {
        for (int signal : kFaultSignals) Take(signal);
    }
    return true;
}

int DeferStopSignals() {
    if (g_wakePipe[0] < 0 && ::pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_wakePipe[0] = g_wakePipe[1] = -1;
    g_deferring.store(true);
    for (int signal : kStopSignals) Take(signal);
    return g_wakePipe[0];
}

int DeferredStopSignal() { return g_deferred; }

void EndByStopSignal() {
    const int signal = g_deferred;
    if (signal == 0) return;
    g_deferring.store(false);
    ::raise(signal);
    // The earlier course was a handler that returned: end as a shell would report the signal.
    std::_Exit(128 + signal);
}

void ResetStopSignals() {
    g_hookCount.store(0);
    g_deferring.store(false);
    g_deferred = 0;
    for (int signal : kStopSignals) {
        if (g_taken[signal].exchange(false)) ::sigaction(signal, &g_before[signal], nullptr);
    }
}

}  // namespace faltrix
